// SPDX-License-Identifier: GPL-3.0-or-later
#include <cerrno>

#include "platform/error.h"

namespace platform {

Status ErrorFromErrno(int err) {
  switch (err) {
    case 0: return kStatusOk;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM: return kStatusOutOfMemory;
    case EROFS: return kErrorWriteProtect;
    case ENOSPC:
    case EDQUOT: return kErrorDiskFull;
    case EBUSY: return kErrorBusy;
    case EEXIST: return kErrorAlreadyExists;
    case EINVAL: return kStatusInvalidParameter;
    case ENAMETOOLONG: return kErrorFilenameTooLong;
    case EIO: return kErrorIoDevice;
    case ENODEV:
    case ENXIO:
    case ENOMEDIUM: return kErrorDeviceRemoved;
    default: return kErrorGenFailure;
  }
}

Status LastError() {
  return ErrorFromErrno(errno);
}

std::string ErrorText(Status status) {
  // The system's own wording (glibc's, for the errno each status stands
  // for), and ours for the engine's own codes.
  switch (status) {
    case kStatusOk: return "Success";
    case kErrorFileNotFound: return "No such file or directory";
    case kErrorPathNotFound: return "Not a directory";
    case kErrorAccessDenied: return "Permission denied";
    case kErrorInvalidHandle: return "Bad file descriptor";
    case kErrorInvalidData: return "The data is not what the file claims to hold";
    case kStatusOutOfMemory: return "Cannot allocate memory";
    case kErrorWriteProtect: return "Read-only file system";
    case kStatusWriteFault: return "The cluster size of the item is too large to copy";
    case kStatusReadFault: return "The device returned no data where it should";
    case kErrorGenFailure: return "The operation failed";
    case kErrorFileExists: return "File exists";
    case kErrorNotSupported: return "Operation not supported";
    case kStatusInvalidParameter: return "Invalid argument";
    case kErrorDiskFull: return "No space left on device";
    case kErrorBusy: return "Device or resource busy";
    case kErrorAlreadyExists: return "File exists";
    case kErrorFilenameTooLong: return "File name too long";
    case kErrorIoDevice: return "Input/output error";
    case kErrorDeviceRemoved: return "No such device";
    case kErrorTimeout: return "Timer expired";
    case kStatusCancelled: return "Cancelled by the user";
    default: return "Error " + std::to_string(status);
  }
}

}  // namespace platform

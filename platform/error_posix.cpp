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
  switch (status) {
    case kStatusOk: return "The operation completed successfully.";
    case kErrorFileNotFound: return "The system cannot find the file specified.";
    case kErrorPathNotFound: return "The system cannot find the path specified.";
    case kErrorAccessDenied: return "Access is denied.";
    case kErrorInvalidHandle: return "The handle is invalid.";
    case kErrorInvalidData: return "The data is invalid.";
    case kStatusOutOfMemory: return "Not enough memory is available to complete this operation.";
    case kErrorWriteProtect: return "The media is write protected.";
    case kStatusWriteFault: return "The cluster size of the item is too large to copy.";
    case kStatusReadFault: return "The system cannot read from the specified device.";
    case kErrorGenFailure: return "A device attached to the system is not functioning.";
    case kErrorFileExists: return "The file exists.";
    case kErrorNotSupported: return "The request is not supported.";
    case kStatusInvalidParameter: return "The parameter is incorrect.";
    case kErrorDiskFull: return "There is not enough space on the disk.";
    case kErrorBusy: return "The requested resource is in use.";
    case kErrorAlreadyExists: return "Cannot create a file when that file already exists.";
    case kErrorFilenameTooLong: return "The filename or extension is too long.";
    case kErrorIoDevice: return "The request could not be performed because of an I/O device error.";
    case kErrorDeviceRemoved: return "The device has been removed.";
    case kErrorTimeout: return "This operation returned because the timeout period expired.";
    case kStatusCancelled: return "The operation was cancelled by the user.";
    default: return "Error " + std::to_string(status) + ".";
  }
}

}  // namespace platform

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>

namespace platform {

// Statuses returned by every storage and engine operation. Callers and stored
// results rely on these exact values; anything else is a Windows-style system
// code produced by ErrorFromErrno().
using Status = int32_t;

inline constexpr Status kStatusOk = 0;
inline constexpr Status kStatusOutOfMemory = 8;
inline constexpr Status kStatusWriteFault = 29;        // cluster size beyond 100 MiB
inline constexpr Status kStatusReadFault = 30;         // a read returned no data
inline constexpr Status kStatusInvalidParameter = 87;  // also: past the end, item not found
inline constexpr Status kStatusCancelled = -9527;      // a progress callback asked to stop

// Windows-style system codes that callers test by value.
inline constexpr Status kErrorFileNotFound = 2;
inline constexpr Status kErrorPathNotFound = 3;
inline constexpr Status kErrorAccessDenied = 5;
inline constexpr Status kErrorInvalidHandle = 6;
inline constexpr Status kErrorInvalidData = 13;  // a file's content cannot be read as what it claims to be
inline constexpr Status kErrorWriteProtect = 19;
inline constexpr Status kErrorGenFailure = 31;
inline constexpr Status kErrorNotSupported = 50;  // also: a path that is neither a file nor a block device
inline constexpr Status kErrorFileExists = 80;
inline constexpr Status kErrorDiskFull = 112;
inline constexpr Status kErrorBusy = 170;
inline constexpr Status kErrorAlreadyExists = 183;
inline constexpr Status kErrorFilenameTooLong = 206;
inline constexpr Status kErrorIoDevice = 1117;
inline constexpr Status kErrorDeviceRemoved = 1617;  // the device is gone (unplugged, media out)
inline constexpr Status kErrorTimeout = 1460;  // a helper program ran too long and was ended

}  // namespace platform

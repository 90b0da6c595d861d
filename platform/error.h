// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>

#include "platform/status.h"

namespace platform {

// Maps an errno value to the Windows-style code callers test (ENOENT 2,
// ENOTDIR 3, EACCES/EPERM 5, EBADF 6, ENOMEM 8, EROFS 19, ENOSPC 112,
// EBUSY 170, EEXIST 183, EINVAL 87, ENAMETOOLONG 206, EIO 1117, else 31).
Status ErrorFromErrno(int err);

// ErrorFromErrno(errno) of the calling thread's last failed system call.
Status LastError();

// English text for a status in the system's own wording ("No such file or
// directory", "Permission denied"), and for the engine's own codes. The
// front ends show it translated (jobs::ErrorText).
std::string ErrorText(Status status);

}  // namespace platform

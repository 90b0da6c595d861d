// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace platform {

// Turns SIGTERM, SIGHUP and SIGINT (a logout, a closed terminal, Ctrl-C) into
// a byte on a descriptor that a window's event loop can watch, so that the
// program ends in order (its players ended, its temporary files deleted)
// instead of being killed where it stands. The handler only writes that
// byte (async-signal-safe). Call once, on the main thread. Returns the
// descriptor to watch for reading, or -1 when it could not be set up (the
// signals then keep their usual effect).
int InstallTerminationNotice();

// The signal waiting on the descriptor (read and taken away), or 0 when none.
int TakeTerminationNotice(int fd);

}  // namespace platform

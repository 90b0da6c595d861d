// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>

namespace storage {

// The last failed read of an image container in this process, as text that
// names the file and the offset. Engines own their sources and report only
// a status (30); a front end takes this note to tell the user why. Every
// function is thread-safe.
void NoteSourceFailure(const std::string& text);

// Returns the note and clears it; empty when no read failed since the last call.
std::string TakeSourceFailure();

}  // namespace storage

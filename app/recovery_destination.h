// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "jobs/job_view.h"
#include "jobs/text_source.h"
#include "platform/file_time.h"

namespace app {

// The folder a recovery offers first: a new folder in the home folder named
// by the window text "RecoveredFolder" ("Recovered files %s") with the
// date as YYYY-MM-DD; " (2)", " (3)", ... are added while exists() says
// the name is taken. Never the home folder itself. No trailing "/".
std::string DefaultRecoveryFolder(std::string_view home, const jobs::ITextSource* texts,
                                  const platform::SystemTime& today,
                                  const std::function<bool(const std::string&)>& exists);

// The folder the files are written to when the user chose chosen: chosen
// itself, without a trailing "/", unless it is the home folder or the file
// system's root (where category folders would mix with the user's own):
// then proposed, the default folder (which lies below the home folder).
std::string RecoveryFolderFor(std::string_view chosen, std::string_view home, std::string_view proposed);

// The path of a recovered file as the recovery window lists it: below the
// output folder ("photo/IMG_0001.JPG"); other paths stay whole.
std::string PathBelowFolder(std::string_view path, std::string_view folder);

// How a recovery ended, for the window's last line (section
// "RecoverProcessWnd"): "DoneAll" ("%s files recovered to %s"),
// "DoneOne" ("1 file recovered to %s"), "DoneSome" ("%s of %s files
// recovered to %s; %s could not be recovered (red in the list)"),
// "DoneNone" ("No file could be recovered (see the list).") and
// "DoneCancelled" ("Stopped: %s files recovered to %s."). recovered and
// failed count files.
std::string RecoveryEndText(jobs::JobResult result, int64_t recovered, int64_t failed, std::string_view folder,
                            const jobs::ITextSource* texts, const std::function<std::string(uint64_t)>& count);

}  // namespace app

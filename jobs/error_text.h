// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>
#include <string_view>

#include "jobs/text_source.h"
#include "platform/status.h"

namespace jobs {

// The language file's section of status texts: key "E" and the status
// ("E2", "E112", "E-9527").
inline constexpr std::string_view kErrorsSection = "Errors";

// The text of a status for the user, in the language of texts: its key in
// the "Errors" section, else the system's own wording (platform::ErrorText).
// texts may be null. Any thread.
std::string ErrorText(const ITextSource* texts, platform::Status status);

}  // namespace jobs

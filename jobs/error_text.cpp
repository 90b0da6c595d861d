// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/error_text.h"

#include "platform/error.h"

namespace jobs {

std::string ErrorText(const ITextSource* texts, platform::Status status) {
  if (texts != nullptr) {
    std::string text = texts->Text(kErrorsSection, "E" + std::to_string(status));
    if (!text.empty()) return text;
  }
  return platform::ErrorText(status);
}

}  // namespace jobs

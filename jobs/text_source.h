// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>
#include <string_view>

namespace jobs {

// Where the jobs take the texts the user reads: the language file, by
// section and key (app::CTextTable implements it). Jobs use the section
// "Messages" and keys "MSG" followed by four digits.
class ITextSource {
 public:
  virtual ~ITextSource() = default;
  // The text of key in section; empty when either is missing (never fails).
  // Called from job worker threads while the front end may read too: an
  // implementation must allow concurrent calls.
  virtual std::string Text(std::string_view section, std::string_view key) const = 0;
};

inline constexpr std::string_view kMessagesSection = "Messages";

// texts->Text("Messages", key), or empty when texts is null.
std::string MessageText(const ITextSource* texts, std::string_view key);

}  // namespace jobs

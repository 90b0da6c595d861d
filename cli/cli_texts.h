// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "jobs/text_format.h"
#include "jobs/text_source.h"

namespace cli {

// The command line's own texts live in the section "CommandLine" of the
// language file; the jobs' in "Messages".
inline constexpr std::string_view kCliSection = "CommandLine";

// Loads the language: name when given (--lang), else the user's or the
// shipped default. Returns false with *problem (an English text: no
// language file could be read) when the table is empty; a language asked
// for but missing falls back to the default with *problem set.
bool LoadLanguage(const std::string& name, std::string* problem);

// The process's text table.
const jobs::ITextSource& Texts();

// A "CommandLine" text, formatted with checked placeholders.
std::string Tr(std::string_view key, std::initializer_list<jobs::TextArg> args = {});
// A "Messages" text, formatted likewise.
std::string Msg(std::string_view key, std::initializer_list<jobs::TextArg> args = {});

}  // namespace cli

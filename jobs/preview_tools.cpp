// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/preview_tools.h"

#include <algorithm>

#include "platform/error.h"

namespace jobs {
namespace {

// The first line of a helper's complaint, for a message.
std::string FirstLine(const std::string& text) {
  size_t start = 0;
  while (start < text.size() && (text[start] == '\n' || text[start] == '\r' || text[start] == ' ')) ++start;
  const size_t end = text.find_first_of("\r\n", start);
  std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
  if (line.size() > 200) line.resize(200);
  return line;
}

}  // namespace

PreviewTools DefaultPreviewTools() {
  PreviewTools tools;
  tools.videoPlayer = ParseToolChoices("mpv --no-terminal --force-window=yes -- %f | xdg-open %f");
  tools.audioPlayer = ParseToolChoices("mpv --no-terminal --force-window=yes -- %f | xdg-open %f");
  tools.pdfRenderer = ParseToolChoices("pdftoppm");
  tools.archiveTool = ParseToolChoices("7z | 7zz");
  tools.wordText = ParseToolChoices("catdoc -w -d utf-8");
  tools.sheetText = ParseToolChoices("xls2csv -d utf-8");
  tools.slideText = ParseToolChoices("catppt -d utf-8");
  tools.heifDecoder = ParseToolChoices("heif-convert");
  tools.webpDecoder = ParseToolChoices("dwebp -quiet");
  tools.rawPreview = ParseToolChoices("dcraw -e");
  return tools;
}

ToolChoices ParseToolChoices(std::string_view text) {
  ToolChoices choices(1);
  std::string word;
  bool inWord = false;
  char quote = 0;
  auto endWord = [&] {
    if (!inWord) return;
    if (word == "|") {
      choices.emplace_back();
    } else {
      choices.back().push_back(word);
    }
    word.clear();
    inWord = false;
  };
  for (char c : text) {
    if (quote != 0) {
      if (c == quote) {
        quote = 0;
      } else {
        word.push_back(c);
      }
    } else if (c == '"' || c == '\'') {
      quote = c;
      inWord = true;
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      endWord();
    } else {
      word.push_back(c);
      inWord = true;
    }
  }
  endWord();
  choices.erase(std::remove_if(choices.begin(), choices.end(), [](const ToolCommand& c) { return c.empty(); }),
                choices.end());
  return choices;
}

std::string ToolName(const ToolChoices& choices) {
  return choices.empty() ? std::string("(none)") : choices.front().front();
}

CToolRunner::CToolRunner(const PreviewTools& tools, std::function<bool()> stop)
    : m_tools(tools),
      m_stop(std::move(stop)),
      m_deadline(std::chrono::steady_clock::now() + 2 * std::max(tools.watchdog, std::chrono::milliseconds(1))) {}

bool CToolRunner::OutOfTime() const {
  return std::chrono::steady_clock::now() >= m_deadline || (m_stop && m_stop());
}

platform::Status CToolRunner::Run(const ToolChoices& choices, const std::vector<std::string>& args,
                                  platform::ProcessResult* result, std::string* problem) {
  problem->clear();
  if (m_stop && m_stop()) return platform::kStatusCancelled;
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) {
    *problem = ToolName(choices) + ": " + platform::ErrorText(platform::kErrorTimeout);
    return platform::kErrorTimeout;
  }
  platform::ProcessLimits limits;
  limits.watchdog = std::min(m_tools.watchdog, left);
  limits.stop = m_stop;
  platform::Status status = platform::kErrorFileNotFound;
  for (const ToolCommand& choice : choices) {
    std::vector<std::string> argv = choice;
    argv.insert(argv.end(), args.begin(), args.end());
    status = platform::RunProcess(argv, limits, result);
    if (status == platform::kStatusOk) {
      switch (result->end) {
        case platform::ProcessEnd::kExited:
          if (result->exitCode == 0) return platform::kStatusOk;
          *problem = choice.front() + " ended with code " + std::to_string(result->exitCode);
          if (std::string why = FirstLine(result->errors); !why.empty()) *problem += ": " + why;
          return platform::kErrorInvalidData;
        case platform::ProcessEnd::kOutputCut: return platform::kStatusOk;  // what it said first is kept
        case platform::ProcessEnd::kStopped: return platform::kStatusCancelled;
        case platform::ProcessEnd::kWatchdog:
          *problem = choice.front() + " was ended after " + std::to_string(limits.watchdog.count()) + " ms";
          return platform::kErrorTimeout;
        case platform::ProcessEnd::kSignalled:
          *problem = choice.front() + " was ended by a signal";
          return platform::kErrorInvalidData;
      }
    }
    if (status != platform::kErrorFileNotFound) break;  // it exists but cannot be run
  }
  *problem = ToolName(choices) + ": " + platform::ErrorText(status);
  return status;
}

}  // namespace jobs

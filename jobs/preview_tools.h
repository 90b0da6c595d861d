// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process.h"
#include "platform/status.h"

namespace jobs {

// One way to run a helper program: the program and the arguments it always
// gets, as words (never a shell line). In a player's command the word "%f"
// stands for the file; a command without it gets the file last.
using ToolCommand = std::vector<std::string>;
// Ways to run one helper, tried in order until one can be started.
using ToolChoices = std::vector<ToolCommand>;

// The helper programs of the preview, as config.ini names them (section
// "Preview"); the defaults work with the Debian packages poppler-utils,
// 7zip (or p7zip-full), catdoc, mpv, libheif-examples, webp and dcraw. A missing program never is an
// error: the preview shows the character dump instead.
struct PreviewTools {
  ToolChoices videoPlayer;  // mpv, then xdg-open
  ToolChoices audioPlayer;  // mpv, then xdg-open
  ToolChoices pdfRenderer;  // pdftoppm; gets -f 1 -l 1 -png -singlefile -- FILE ROOT
  ToolChoices archiveTool;  // 7z, then 7zz; lists archives and reads the parts of office files
  ToolChoices wordText;     // catdoc for .doc and .rtf
  ToolChoices sheetText;    // xls2csv for .xls
  ToolChoices slideText;    // catppt for .ppt
  ToolChoices heifDecoder;  // heif-convert for .heic, .heif and .avif; gets FILE OUT.png
  ToolChoices webpDecoder;  // dwebp for .webp; gets FILE -o OUT.png
  ToolChoices rawPreview;   // dcraw -e for camera RAW files; gets FILE, writes its embedded JPEG beside it
  // How long one helper may run before it is killed.
  std::chrono::milliseconds watchdog{6000};
};

PreviewTools DefaultPreviewTools();

// Parses a configured command: words separated by blanks ("..." or '...'
// keep blanks inside a word), alternatives separated by a "|" word:
// "mpv --no-terminal -- %f | xdg-open %f". Empty alternatives are dropped.
ToolChoices ParseToolChoices(std::string_view text);
// The words of the first choice joined for a message ("pdftoppm").
std::string ToolName(const ToolChoices& choices);

// Runs helper programs for one conversion on the calling (worker) thread:
// each run under the watchdog, all runs of one conversion within one
// watchdog period plus one, stopped at once when stop() says so. Not
// thread-safe; one per conversion.
class CToolRunner {
 public:
  CToolRunner(const PreviewTools& tools, std::function<bool()> stop);

  // Runs the first of choices that can be started, with args after its own
  // words. 0 when the program ran and exited with 0 (its output in
  // *result); kErrorFileNotFound when none of the choices exists;
  // kErrorTimeout when it was killed by the watchdog; -9527 when stopped;
  // kErrorInvalidData when it exited with another code (*result holds what
  // it said). *problem tells the user which program and what happened.
  [[nodiscard]] platform::Status Run(const ToolChoices& choices, const std::vector<std::string>& args,
                                     platform::ProcessResult* result, std::string* problem);
  // True once the conversion's time is up or stop() said so.
  bool OutOfTime() const;

  const PreviewTools& Tools() const { return m_tools; }

 private:
  const PreviewTools& m_tools;
  std::function<bool()> m_stop;
  std::chrono::steady_clock::time_point m_deadline;
};

}  // namespace jobs

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "jobs/preview_tools.h"
#include "platform/status.h"

namespace jobs {

// Most text a converter hands to the preview pane.
inline constexpr size_t kMaxPreviewTextBytes = 1u << 20;

// What a converter made of a document.
struct ConversionOutput {
  std::string text;         // a text converter's text, or the archive listing
  std::string picturePath;  // CPDF: the first page as a picture file in the session folder
  std::string problem;      // after a failure: which program and what went wrong, for the user
};

// Turns one previewed document into text or a picture, through the helper
// programs of a CToolRunner (each under its watchdog). The document is the
// temporary copy in the session folder. Converters look at the content
// (a ZIP container, an OLE2 compound file, RTF), not at the name, before
// handing anything to a program. One operation; used once on the worker
// thread of the preview job.
class IDocumentConverter {
 public:
  virtual ~IDocumentConverter() = default;
  // 0 with *out filled; otherwise why not (out->problem says it in words):
  // kErrorFileNotFound when the helper program is missing, kErrorTimeout
  // when it was killed by the watchdog, kErrorInvalidData when the document
  // cannot be read or holds no text, -9527 when stopped. The caller then
  // shows the dump of the document's first 8,192 bytes.
  [[nodiscard]] virtual platform::Status Convert(const std::string& path, ConversionOutput* out) = 0;
};

// The converter a previewed document gets, chosen by its extension
// (lower-cased, a substring of the list) in this order: word-processor,
// presentation, spreadsheet, "pdf", archive; none when in no list.
enum class ConverterKind { kNone, kWord, kPresentation, kSpreadsheet, kPdf, kArchive, kPicture };
ConverterKind ConverterFor(std::string_view extension);
// "CWord", "CPPT", "CExcel", "CPDF", "CZIP", "CPicture" or "none": for messages and tests.
std::string_view ConverterName(ConverterKind kind);

// A new converter of kind (null for kNone); a picture converter decodes by
// extension. runner must outlive it.
std::unique_ptr<IDocumentConverter> MakeConverter(ConverterKind kind, CToolRunner& runner,
                                                  std::string_view extension = {});

// The members of a ZIP container (an office file) and their bytes, read
// through the configured archive tool ("7z l -slt", "7z x -so -spd"); a
// member name never reaches a shell, and wildcards in it mean nothing.
class CZipParts {
 public:
  CZipParts(CToolRunner& runner, std::string path) : m_runner(runner), m_path(std::move(path)) {}
  // The member names, in archive order.
  [[nodiscard]] platform::Status List(std::vector<std::string>* names, std::string* problem);
  // The bytes of member (at most 16 MiB).
  [[nodiscard]] platform::Status Read(const std::string& member, std::string* bytes, std::string* problem);

 private:
  CToolRunner& m_runner;
  std::string m_path;
};

}  // namespace jobs

// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/document_converter.h"

#include "engine/categories.h"
#include "jobs/office_converters.h"
#include "jobs/pdf_converter.h"
#include "jobs/picture_converter.h"
#include "jobs/zip_converter.h"
#include "platform/utf.h"

namespace jobs {

ConverterKind ConverterFor(std::string_view extension) {
  if (engine::ExtensionInList(extension, engine::kWordPreviewList)) return ConverterKind::kWord;
  if (engine::ExtensionInList(extension, engine::kPresentationPreviewList)) return ConverterKind::kPresentation;
  if (engine::ExtensionInList(extension, engine::kSpreadsheetPreviewList)) return ConverterKind::kSpreadsheet;
  if (engine::ExtensionInList(extension, engine::kPdfPreviewList)) return ConverterKind::kPdf;
  if (engine::ExtensionInList(extension, engine::kArchiveList)) return ConverterKind::kArchive;
  return ConverterKind::kNone;
}

std::string_view ConverterName(ConverterKind kind) {
  switch (kind) {
    case ConverterKind::kWord: return "CWord";
    case ConverterKind::kPresentation: return "CPPT";
    case ConverterKind::kSpreadsheet: return "CExcel";
    case ConverterKind::kPdf: return "CPDF";
    case ConverterKind::kArchive: return "CZIP";
    case ConverterKind::kPicture: return "CPicture";
    case ConverterKind::kNone: break;
  }
  return "none";
}

std::unique_ptr<IDocumentConverter> MakeConverter(ConverterKind kind, CToolRunner& runner, std::string_view extension) {
  switch (kind) {
    case ConverterKind::kWord: return std::make_unique<CWord>(runner);
    case ConverterKind::kPresentation: return std::make_unique<CPPT>(runner);
    case ConverterKind::kSpreadsheet: return std::make_unique<CExcel>(runner);
    case ConverterKind::kPdf: return std::make_unique<CPDF>(runner);
    case ConverterKind::kArchive: return std::make_unique<CZIP>(runner);
    case ConverterKind::kPicture: return std::make_unique<CPicture>(runner, platform::AsciiLower(extension));
    case ConverterKind::kNone: break;
  }
  return nullptr;
}

platform::Status CZipParts::List(std::vector<std::string>* names, std::string* problem) {
  names->clear();
  platform::ProcessResult result;
  const platform::Status s =
      m_runner.Run(m_runner.Tools().archiveTool, {"l", "-slt", "-ba", "--", m_path}, &result, problem);
  if (s != platform::kStatusOk) return s;
  constexpr std::string_view kPath = "Path = ";
  size_t start = 0;
  const std::string& out = result.output;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    std::string_view line(out.data() + start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.starts_with(kPath)) names->emplace_back(line.substr(kPath.size()));
    start = end + 1;
  }
  return platform::kStatusOk;
}

platform::Status CZipParts::Read(const std::string& member, std::string* bytes, std::string* problem) {
  bytes->clear();
  platform::ProcessResult result;
  const platform::Status s =
      m_runner.Run(m_runner.Tools().archiveTool, {"x", "-so", "-spd", "--", m_path, member}, &result, problem);
  if (s == platform::kStatusOk) *bytes = std::move(result.output);
  return s;
}

}  // namespace jobs

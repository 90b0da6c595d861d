// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/office_converters.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "jobs/xml_text.h"
#include "platform/raw_file.h"

namespace jobs {
namespace {

// Most sheets and slides read from one document (each is one run of the archive tool).
constexpr size_t kMaxParts = 64;
constexpr size_t kMaxSharedStrings = 1u << 20;
constexpr size_t kSniffBytes = 8192;

enum class Content { kZip, kOle, kRtf, kText, kOther };

// What the file holds, from its first bytes.
platform::Status ContentOf(const std::string& path, Content* kind, std::string* head) {
  if (platform::Status s = platform::ReadWholeFile(path, head, kSniffBytes); s != platform::kStatusOk) return s;
  static constexpr unsigned char kOle[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  if (head->starts_with(std::string_view("PK\x03\x04", 4))) {
    *kind = Content::kZip;
  } else if (head->size() >= sizeof kOle && std::memcmp(head->data(), kOle, sizeof kOle) == 0) {
    *kind = Content::kOle;
  } else if (head->starts_with("{\\rtf")) {
    *kind = Content::kRtf;
  } else if (!head->empty() && head->find('\0') == std::string::npos) {
    *kind = Content::kText;
  } else {
    *kind = Content::kOther;
  }
  return platform::kStatusOk;
}

bool Has(const std::vector<std::string>& names, std::string_view member) {
  return std::find(names.begin(), names.end(), member) != names.end();
}

// The members prefix + N + ".xml" (N a plain number), by N, at most kMaxParts.
std::vector<std::string> NumberedParts(const std::vector<std::string>& names, std::string_view prefix) {
  std::vector<std::pair<uint64_t, std::string>> found;
  for (const auto& name : names) {
    if (!name.starts_with(prefix) || !name.ends_with(".xml")) continue;
    const std::string_view digits = std::string_view(name).substr(prefix.size(), name.size() - prefix.size() - 4);
    if (digits.empty() || digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    found.emplace_back(std::stoull(std::string(digits)), name);
  }
  std::sort(found.begin(), found.end());
  if (found.size() > kMaxParts) found.resize(kMaxParts);
  std::vector<std::string> parts;
  for (auto& f : found) parts.push_back(std::move(f.second));
  return parts;
}

// The conversion's end: text, or "no text" as a failure (the dump says more).
platform::Status Finish(std::string text, ConversionOutput* out) {
  if (text.size() > kMaxPreviewTextBytes) text.resize(kMaxPreviewTextBytes);
  if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
    out->problem = "the document holds no text that could be read";
    return platform::kErrorInvalidData;
  }
  out->text = std::move(text);
  return platform::kStatusOk;
}

// One of the old-format tools ("catdoc -- FILE").
platform::Status RunTextTool(CToolRunner& runner, const ToolChoices& tool, const std::string& path,
                             ConversionOutput* out) {
  platform::ProcessResult result;
  if (platform::Status s = runner.Run(tool, {"--", path}, &result, &out->problem); s != platform::kStatusOk) return s;
  return Finish(std::move(result.output), out);
}

// The text of one XML part of the container.
platform::Status PartText(CZipParts& zip, const std::string& member, ConversionOutput* out) {
  std::string xml;
  if (platform::Status s = zip.Read(member, &xml, &out->problem); s != platform::kStatusOk) return s;
  return Finish(TextOfDocumentXml(xml, kMaxPreviewTextBytes), out);
}

// The text of numbered parts, a blank line between them.
platform::Status PartsText(CZipParts& zip, const std::vector<std::string>& parts, ConversionOutput* out) {
  std::string text;
  for (const auto& part : parts) {
    if (text.size() >= kMaxPreviewTextBytes) break;
    std::string xml;
    if (platform::Status s = zip.Read(part, &xml, &out->problem); s != platform::kStatusOk) return s;
    const std::string piece = TextOfDocumentXml(xml, kMaxPreviewTextBytes);
    if (piece.empty()) continue;
    if (!text.empty()) text += "\n\n";
    text += piece;
  }
  return Finish(std::move(text), out);
}

platform::Status NotReadable(ConversionOutput* out) {
  out->problem = "the content is not a document of this kind";
  return platform::kErrorInvalidData;
}

}  // namespace

platform::Status CWord::Convert(const std::string& path, ConversionOutput* out) {
  *out = {};
  Content kind;
  std::string head;
  if (platform::Status s = ContentOf(path, &kind, &head); s != platform::kStatusOk) return s;
  if (kind == Content::kOle || kind == Content::kRtf)
    return RunTextTool(m_runner, m_runner.Tools().wordText, path, out);
  if (kind != Content::kZip) return NotReadable(out);
  CZipParts zip(m_runner, path);
  std::vector<std::string> names;
  if (platform::Status s = zip.List(&names, &out->problem); s != platform::kStatusOk) return s;
  if (Has(names, "word/document.xml")) return PartText(zip, "word/document.xml", out);
  if (Has(names, "content.xml")) return PartText(zip, "content.xml", out);
  return NotReadable(out);
}

platform::Status CExcel::Convert(const std::string& path, ConversionOutput* out) {
  *out = {};
  Content kind;
  std::string head;
  if (platform::Status s = ContentOf(path, &kind, &head); s != platform::kStatusOk) return s;
  if (kind == Content::kOle) return RunTextTool(m_runner, m_runner.Tools().sheetText, path, out);
  if (kind == Content::kText) {
    std::string text;
    if (platform::Status s = platform::ReadWholeFile(path, &text, kMaxPreviewTextBytes); s != platform::kStatusOk) {
      return s;
    }
    return Finish(std::move(text), out);
  }
  if (kind != Content::kZip) return NotReadable(out);
  CZipParts zip(m_runner, path);
  std::vector<std::string> names;
  if (platform::Status s = zip.List(&names, &out->problem); s != platform::kStatusOk) return s;
  const std::vector<std::string> sheets = NumberedParts(names, "xl/worksheets/sheet");
  if (sheets.empty()) {
    if (Has(names, "content.xml")) return PartText(zip, "content.xml", out);
    return NotReadable(out);
  }
  std::vector<std::string> shared;
  if (Has(names, "xl/sharedStrings.xml")) {
    std::string xml;
    if (platform::Status s = zip.Read("xl/sharedStrings.xml", &xml, &out->problem); s != platform::kStatusOk) return s;
    shared = SharedStringsOf(xml, kMaxSharedStrings);
  }
  std::string text;
  for (const auto& sheet : sheets) {
    if (text.size() >= kMaxPreviewTextBytes) break;
    std::string xml;
    if (platform::Status s = zip.Read(sheet, &xml, &out->problem); s != platform::kStatusOk) return s;
    const std::string piece = TextOfSheetXml(xml, shared, kMaxPreviewTextBytes);
    if (piece.empty()) continue;
    if (!text.empty()) text += "\n\n";
    text += piece;
  }
  return Finish(std::move(text), out);
}

platform::Status CPPT::Convert(const std::string& path, ConversionOutput* out) {
  *out = {};
  Content kind;
  std::string head;
  if (platform::Status s = ContentOf(path, &kind, &head); s != platform::kStatusOk) return s;
  if (kind == Content::kOle) return RunTextTool(m_runner, m_runner.Tools().slideText, path, out);
  if (kind != Content::kZip) return NotReadable(out);
  CZipParts zip(m_runner, path);
  std::vector<std::string> names;
  if (platform::Status s = zip.List(&names, &out->problem); s != platform::kStatusOk) return s;
  const std::vector<std::string> slides = NumberedParts(names, "ppt/slides/slide");
  if (!slides.empty()) return PartsText(zip, slides, out);
  if (Has(names, "content.xml")) return PartText(zip, "content.xml", out);
  return NotReadable(out);
}

}  // namespace jobs

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>

#include "jobs/document_converter.h"

namespace jobs {

// The three office converters. Each reads the document's content kind
// first: a ZIP container gives the text of its XML parts (Office Open XML
// or OpenDocument, through the archive tool); an OLE2 compound file (the
// old binary formats) goes to the configured text tool; anything else is
// not read (kErrorInvalidData) and the dump is shown. A conversion that
// yields no text counts as failed too.

// Word processing: word/document.xml, or content.xml of an OpenDocument
// text; "catdoc" for .doc and RTF.
class CWord final : public IDocumentConverter {
 public:
  explicit CWord(CToolRunner& runner) : m_runner(runner) {}
  [[nodiscard]] platform::Status Convert(const std::string& path, ConversionOutput* out) override;

 private:
  CToolRunner& m_runner;
};

// Spreadsheets: the sheets xl/worksheets/sheetN.xml with their shared
// strings (one line per row, tab-separated cells, a blank line between
// sheets), or content.xml of an OpenDocument spreadsheet; "xls2csv" for
// .xls; a plain-text file (csv, ics, vcf) is shown as it is.
class CExcel final : public IDocumentConverter {
 public:
  explicit CExcel(CToolRunner& runner) : m_runner(runner) {}
  [[nodiscard]] platform::Status Convert(const std::string& path, ConversionOutput* out) override;

 private:
  CToolRunner& m_runner;
};

// Presentations: the slides ppt/slides/slideN.xml in slide order (a blank
// line between slides), or content.xml of an OpenDocument presentation;
// "catppt" for .ppt.
class CPPT final : public IDocumentConverter {
 public:
  explicit CPPT(CToolRunner& runner) : m_runner(runner) {}
  [[nodiscard]] platform::Status Convert(const std::string& path, ConversionOutput* out) override;

 private:
  CToolRunner& m_runner;
};

}  // namespace jobs

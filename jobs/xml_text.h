// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace jobs {

// The readable text of the XML parts of office documents (Office Open XML
// and OpenDocument). The bytes come from a found file and are untrusted:
// the reader never recurses, never reads past the input, keeps at most
// maxBytes of text, and takes malformed markup as far as it makes sense
// (an unclosed tag ends the text). Entities (&amp; &#233; &#x263A;) are
// decoded to UTF-8; code points that are not characters are dropped.
// Pure functions; thread-safe.

// Text of a document part: word/document.xml (w:t runs, w:p paragraphs,
// w:tab, w:br), a slide ppt/slides/slideN.xml (a:t, a:p), or an
// OpenDocument content.xml (text:p, text:h, text:span, text:s, text:tab,
// text:line-break). A paragraph ends its line; table cells are separated
// by tabs and rows by line breaks.
std::string TextOfDocumentXml(std::string_view xml, size_t maxBytes);

// The strings of xl/sharedStrings.xml in order (each "si": its "t" runs
// joined). At most maxCount strings.
std::vector<std::string> SharedStringsOf(std::string_view xml, size_t maxCount);

// A worksheet xl/worksheets/sheetN.xml as text: one line per row, cells
// separated by tabs; a shared-string cell (t="s") shows its string, an
// inline string its text, any other cell its value as stored.
std::string TextOfSheetXml(std::string_view xml, const std::vector<std::string>& shared, size_t maxBytes);

}  // namespace jobs

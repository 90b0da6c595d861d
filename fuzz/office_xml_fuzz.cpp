// SPDX-License-Identifier: GPL-3.0-or-later
// Reads arbitrary bytes as the XML parts of an office document: document
// text, shared strings, and a sheet that uses them.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "jobs/xml_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view xml(reinterpret_cast<const char*>(data), size);
  (void)jobs::TextOfDocumentXml(xml, 4096);
  const auto shared = jobs::SharedStringsOf(xml, 1024);
  (void)jobs::TextOfSheetXml(xml, shared, 4096);
  return 0;
}

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>
#include <string_view>

#include "jobs/document_converter.h"

namespace jobs {

// Photos the preview pane cannot draw as they are: HEIF/HEIC and AVIF
// (decoded by the configured HEIF decoder, "heif-convert FILE OUT.png"),
// WebP ("dwebp FILE -o OUT.png") and camera RAW files (their embedded JPEG,
// "dcraw -e FILE", which writes FILE's name with ".thumb.jpg"). The picture
// then replaces "tmp.jpg" in the session folder, as the PDF's first page
// does. A decoder that fails or writes nothing is a failure.
class CPicture final : public IDocumentConverter {
 public:
  CPicture(CToolRunner& runner, std::string extension) : m_runner(runner), m_extension(std::move(extension)) {}
  [[nodiscard]] platform::Status Convert(const std::string& path, ConversionOutput* out) override;

 private:
  CToolRunner& m_runner;
  std::string m_extension;
};

// True for the photo extensions CPicture converts: whole entries of its
// lists (lower or upper case).
bool NeedsPictureConversion(std::string_view extension);

}  // namespace jobs

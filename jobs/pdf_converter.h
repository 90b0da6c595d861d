// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>

#include "jobs/document_converter.h"

namespace jobs {

// The first page of a PDF as a picture: the configured renderer
// ("pdftoppm -f 1 -l 1 -png -singlefile -- FILE ROOT") writes ROOT.png
// into the session folder, which then replaces "tmp.jpg" there (the
// preview's picture file; the pane decodes it by its content). A renderer
// that fails or writes no picture (a damaged PDF) is a failure.
class CPDF final : public IDocumentConverter {
 public:
  explicit CPDF(CToolRunner& runner) : m_runner(runner) {}
  [[nodiscard]] platform::Status Convert(const std::string& path, ConversionOutput* out) override;

 private:
  CToolRunner& m_runner;
};

}  // namespace jobs

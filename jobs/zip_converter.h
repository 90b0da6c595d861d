// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>

#include "jobs/document_converter.h"

namespace jobs {

// The member listing of an archive (zip, 7z, rar, tar, gz, cab, iso, ...):
// the configured archive tool's "l -- FILE" output from its first
// "-------------------" line to the end. Output without that line is a
// failure; a listing of a damaged archive that still has it is shown.
class CZIP final : public IDocumentConverter {
 public:
  explicit CZIP(CToolRunner& runner) : m_runner(runner) {}
  [[nodiscard]] platform::Status Convert(const std::string& path, ConversionOutput* out) override;

 private:
  CToolRunner& m_runner;
};

}  // namespace jobs

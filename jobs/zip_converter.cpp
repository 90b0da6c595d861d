// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/zip_converter.h"

namespace jobs {

platform::Status CZIP::Convert(const std::string& path, ConversionOutput* out) {
  *out = {};
  constexpr std::string_view kMark = "-------------------";
  platform::ProcessResult result;
  const platform::Status ran = m_runner.Run(m_runner.Tools().archiveTool, {"l", "--", path}, &result, &out->problem);
  // A damaged archive makes the tool end with an error after listing what it could.
  if (ran != platform::kStatusOk && ran != platform::kErrorInvalidData) return ran;
  const size_t mark = result.output.find(kMark);
  if (mark == std::string::npos) {
    if (out->problem.empty()) out->problem = ToolName(m_runner.Tools().archiveTool) + " listed no members";
    return platform::kErrorInvalidData;
  }
  out->text = result.output.substr(mark);
  if (out->text.size() > kMaxPreviewTextBytes) out->text.resize(kMaxPreviewTextBytes);
  out->problem.clear();
  return platform::kStatusOk;
}

}  // namespace jobs

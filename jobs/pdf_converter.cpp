// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/pdf_converter.h"

#include "platform/error.h"
#include "platform/folders.h"

namespace jobs {

platform::Status CPDF::Convert(const std::string& path, ConversionOutput* out) {
  *out = {};
  std::string folder;
  if (platform::Status s = platform::SessionFolder(&folder); s != platform::kStatusOk) {
    out->problem = platform::ErrorText(s);
    return s;
  }
  const std::string root = folder + "page";
  const std::string rendered = root + ".png";
  const std::string picture = folder + "tmp.jpg";
  // Only a picture this run writes counts.
  if (platform::Status s = platform::RemoveFile(rendered);
      s != platform::kStatusOk && s != platform::kErrorFileNotFound) {
    return s;
  }
  platform::ProcessResult result;
  const platform::Status ran =
      m_runner.Run(m_runner.Tools().pdfRenderer, {"-f", "1", "-l", "1", "-png", "-singlefile", "--", path, root},
                   &result, &out->problem);
  if (ran != platform::kStatusOk) {
    (void)platform::RemoveFile(rendered);  // a killed renderer may have left half a picture
    return ran;
  }
  if (platform::KindOfPath(rendered) != platform::PathKind::kRegularFile) {
    out->problem = ToolName(m_runner.Tools().pdfRenderer) + " wrote no picture of the first page";
    return platform::kErrorInvalidData;
  }
  if (platform::Status s = platform::RenameFile(rendered, picture); s != platform::kStatusOk) {
    out->problem = platform::ErrorText(s);
    return s;
  }
  out->picturePath = picture;
  return platform::kStatusOk;
}

}  // namespace jobs

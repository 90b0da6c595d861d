// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/picture_converter.h"

#include "engine/categories.h"
#include "platform/error.h"
#include "platform/folders.h"
#include "platform/utf.h"

namespace jobs {
namespace {

constexpr std::string_view kHeifList = "*.heic|*.heif|*.avif";
constexpr std::string_view kWebpList = "*.webp";
constexpr std::string_view kRawList =
    "*.cr2|*.cr3|*.nef|*.nrw|*.arw|*.srf|*.sr2|*.dng|*.orf|*.rw2|*.pef|*.raf|*.crw|*.kdc|*.dcr|*.mrw|*.x3f|*.erf|*.mef";

}  // namespace

bool NeedsPictureConversion(std::string_view extension) {
  return engine::ExtensionIsEntryOf(extension, kHeifList) || engine::ExtensionIsEntryOf(extension, kWebpList) ||
         engine::ExtensionIsEntryOf(extension, kRawList);
}

platform::Status CPicture::Convert(const std::string& path, ConversionOutput* out) {
  *out = {};
  std::string folder;
  if (platform::Status s = platform::SessionFolder(&folder); s != platform::kStatusOk) {
    out->problem = platform::ErrorText(s);
    return s;
  }
  const PreviewTools& tools = m_runner.Tools();
  const ToolChoices* tool = &tools.rawPreview;
  std::string written;
  std::vector<std::string> args;
  if (engine::ExtensionIsEntryOf(m_extension, kHeifList)) {
    tool = &tools.heifDecoder;
    written = folder + "picture.png";
    args = {path, written};
  } else if (engine::ExtensionIsEntryOf(m_extension, kWebpList)) {
    tool = &tools.webpDecoder;
    written = folder + "picture.png";
    args = {path, "-o", written};
  } else {
    // The embedded preview lands beside the file: "tmp.jpg" gives "tmp.thumb.jpg".
    const size_t dot = path.rfind('.');
    written = (dot == std::string::npos || dot < path.rfind('/') ? path : path.substr(0, dot)) + ".thumb.jpg";
    args = {path};
  }
  // Only a picture this run writes counts.
  if (platform::Status s = platform::RemoveFile(written);
      s != platform::kStatusOk && s != platform::kErrorFileNotFound) {
    return s;
  }
  platform::ProcessResult result;
  if (platform::Status ran = m_runner.Run(*tool, args, &result, &out->problem); ran != platform::kStatusOk) {
    (void)platform::RemoveFile(written);
    return ran;
  }
  if (platform::KindOfPath(written) != platform::PathKind::kRegularFile) {
    out->problem = ToolName(*tool) + " wrote no picture";
    return platform::kErrorInvalidData;
  }
  const std::string picture = folder + "tmp.jpg";
  if (platform::Status s = platform::RenameFile(written, picture); s != platform::kStatusOk) {
    out->problem = platform::ErrorText(s);
    return s;
  }
  out->picturePath = picture;
  return platform::kStatusOk;
}

}  // namespace jobs

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "jobs/preview_tools.h"
#include "jobs/scan_source.h"
#include "platform/status.h"

namespace app {

// What a thumbnail of a found file is made from.
enum class ThumbnailKind {
  kNone,       // no thumbnail: the grid shows the kind's icon
  kPicture,    // the file's own bytes, decoded by the window's image reader
  kVideo,      // a frame of the file, written as a picture by the frame helper
  kConverted,  // a photo the window cannot read (HEIC, AVIF, WebP, camera RAW), turned into a
               // picture by the preview's decoders (jobs::CPicture)
};

// The helper that takes a video's first frame, from the section "Preview"
// of config.ini (key "VideoFrame"; the shipped and the user's file as for
// the preview's helpers, app::LoadPreviewTools), and the limits. "%f"
// stands for the video file; the helper writes one picture (PNG) to its
// standard output. It runs under the preview's watchdog ("WatchdogMs").
struct ThumbnailTools {
  jobs::ToolChoices videoFrame;
  jobs::PreviewTools preview;  // the decoders of HEIC, AVIF, WebP and RAW photos
  std::chrono::milliseconds watchdog{6000};
  uint64_t maxPictureBytes = 64ull << 20;  // larger pictures get the kind's icon
  uint64_t maxVideoBytes = 1ull << 30;     // a video is copied whole for its frame
};
ThumbnailTools DefaultThumbnailTools();
ThumbnailTools LoadThumbnailTools();
ThumbnailTools LoadThumbnailTools(const std::vector<std::string>& programFolders, const std::string& userConfigPath);

// The kind of thumbnail of item: kPicture when pictureReadable says the
// window can decode the name's extension (lower case, without "."),
// kConverted for the photos the preview converts, kVideo for the video
// category, else kNone; also kNone for folders and files over the limits
// or of size 0.
ThumbnailKind ThumbnailKindOf(const engine::ItemRecord& item, const ThumbnailTools& tools,
                              const std::function<bool(std::string_view extension)>& pictureReadable);

// The bytes a thumbnail is made from: the picture file itself, the
// decoder's picture of a photo the window cannot read, or the frame
// helper's picture of a video. A converted photo's picture passes through
// the session folder's "tmp.jpg" (the preview's): the window holds this
// worker while a preview runs and until it is shown. The file is copied out by its engine
// (RecoverItem, so every engine serves it alike) into workFolder (private
// to this process: the session folder, kept off every source being
// recovered), read back and deleted. The caller holds found.source->inUse.
// stop is polled while the file is copied and while the helper runs.
// 0; -9527 when stopped; kErrorFileTooLarge-like 87 for kNone; the engine's
// or the helper's status otherwise (*problem says what happened).
[[nodiscard]] platform::Status ThumbnailBytes(const jobs::FoundItem& found, ThumbnailKind kind,
                                              const ThumbnailTools& tools, const std::string& workFolder,
                                              const std::function<bool()>& stop, std::string* bytes,
                                              std::string* problem);

}  // namespace app

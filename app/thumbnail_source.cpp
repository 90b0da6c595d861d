// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/thumbnail_source.h"

#include "engine/categories.h"
#include "engine/output_path.h"
#include "jobs/file_category.h"
#include "jobs/picture_converter.h"
#include "platform/folders.h"
#include "platform/process.h"
#include "platform/raw_file.h"

namespace app {
namespace {

// The copy's progress callback: stops the engine when the thumbnail is no
// longer wanted.
int32_t OnCopy(void* userData, int32_t, int32_t, int32_t, const char*) {
  const auto* stop = static_cast<const std::function<bool()>*>(userData);
  return (*stop && (*stop)()) ? platform::kStatusCancelled : 0;
}

// A decoder's picture is uncompressed more or less: room for a large photo's pixels.
constexpr uint64_t kMaxDecodedBytes = 256ull << 20;

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

}  // namespace

ThumbnailTools DefaultThumbnailTools() {
  ThumbnailTools tools;
  tools.preview = jobs::DefaultPreviewTools();
  tools.videoFrame = jobs::ParseToolChoices(
      "ffmpeg -v error -nostdin -i %f -frames:v 1 -vf scale=w=320:h=320:force_original_aspect_ratio=decrease "
      "-f image2pipe -c:v png -");
  return tools;
}

ThumbnailKind ThumbnailKindOf(const engine::ItemRecord& item, const ThumbnailTools& tools,
                              const std::function<bool(std::string_view extension)>& pictureReadable) {
  const uint64_t size = item.size;
  if (item.isFolder != 0 || size == 0) return ThumbnailKind::kNone;
  const std::string extension = Lower(engine::ExtensionOf(item.Name()));
  if (!extension.empty() && pictureReadable && pictureReadable(extension)) {
    return size <= tools.maxPictureBytes ? ThumbnailKind::kPicture : ThumbnailKind::kNone;
  }
  if (!extension.empty() && jobs::NeedsPictureConversion(extension)) {
    return size <= tools.maxPictureBytes ? ThumbnailKind::kConverted : ThumbnailKind::kNone;
  }
  if (jobs::CategoryOf(item.Name()) == jobs::FileCategory::kVideo && !tools.videoFrame.empty()) {
    return size <= tools.maxVideoBytes ? ThumbnailKind::kVideo : ThumbnailKind::kNone;
  }
  return ThumbnailKind::kNone;
}

platform::Status ThumbnailBytes(const jobs::FoundItem& found, ThumbnailKind kind, const ThumbnailTools& tools,
                                const std::string& workFolder, const std::function<bool()>& stop, std::string* bytes,
                                std::string* problem) {
  bytes->clear();
  problem->clear();
  if (kind == ThumbnailKind::kNone || !found.source || !found.source->engine || workFolder.empty()) {
    return platform::kStatusInvalidParameter;
  }
  // The copy goes to a fixed name in the private work folder: a found name never chooses a path.
  std::string root = workFolder;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  const std::string path = root + "/item";
  if (platform::Status s = platform::RemoveFile(path); s != platform::kStatusOk && s != platform::kErrorFileNotFound) {
    return s;
  }
  engine::IFileRecoveryParse& engine = *found.source->engine;
  platform::Status status =
      engine.SetProgressCallbacks(nullptr, OnCopy, const_cast<std::function<bool()>*>(&stop), 100);
  if (status == platform::kStatusOk) status = engine.RecoverItem(&found.item, path, engine::SeparatorCount(root));
  if (engine.SetProgressCallbacks(nullptr, nullptr, nullptr, 100) != platform::kStatusOk) {
    // Taking the callback away cannot change what was copied.
  }
  if (status == platform::kStatusOk) {
    if (kind == ThumbnailKind::kPicture) {
      status = platform::ReadWholeFile(path, bytes, tools.maxPictureBytes);
    } else if (kind == ThumbnailKind::kConverted) {
      jobs::PreviewTools preview = tools.preview;
      preview.watchdog = tools.watchdog;
      jobs::CToolRunner runner(preview, stop);
      jobs::CPicture picture(runner, Lower(engine::ExtensionOf(found.item.Name())));
      jobs::ConversionOutput out;
      status = picture.Convert(path, &out);
      *problem = out.problem;
      if (status == platform::kStatusOk) {
        status = platform::ReadWholeFile(out.picturePath, bytes, kMaxDecodedBytes);
        (void)platform::RemoveFile(out.picturePath);  // the picture is in memory now
      }
    } else {
      platform::ProcessLimits limits;
      limits.watchdog = tools.watchdog;
      limits.stop = stop;
      status = platform::kErrorFileNotFound;
      for (const jobs::ToolCommand& choice : tools.videoFrame) {
        std::vector<std::string> argv;
        bool placed = false;
        for (const std::string& word : choice) {
          argv.push_back(word == "%f" ? path : word);
          placed = placed || word == "%f";
        }
        if (!placed) argv.push_back(path);
        platform::ProcessResult result;
        status = platform::RunProcess(argv, limits, &result);
        if (status == platform::kErrorFileNotFound) continue;  // the next choice
        if (status != platform::kStatusOk) break;
        if (result.end == platform::ProcessEnd::kStopped) {
          status = platform::kStatusCancelled;
        } else if (result.end != platform::ProcessEnd::kExited || result.exitCode != 0 || result.output.empty()) {
          *problem = choice.front() +
                     (result.end == platform::ProcessEnd::kWatchdog ? " was ended by its watchdog" : " gave no frame");
          status = platform::kErrorInvalidData;
        } else {
          *bytes = std::move(result.output);
        }
        break;
      }
      if (status == platform::kErrorFileNotFound) *problem = jobs::ToolName(tools.videoFrame) + " is not installed";
    }
  }
  (void)platform::RemoveFile(path);  // a copy that is gone already is fine
  if (status != platform::kStatusOk) bytes->clear();
  return status;
}

}  // namespace app

// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/verify_command.h"

#include <cstdio>

#include "cli/commands.h"
#include "cli/cli_view.h"
#include "cli/progress_line.h"
#include "platform/error.h"
#include "storage/image_container.h"
#include "storage/media_hash.h"

namespace cli {
namespace {

std::string Mebibytes(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return text;
}

// Prints one stored/computed pair; true when they agree or nothing is stored.
bool Compare(const char* name, const std::string& computed, const std::string& stored) {
  std::printf("computed %-5s %s\n", name, computed.c_str());
  if (stored.empty()) {
    std::printf("stored %-7s (none)\n", name);
    return true;
  }
  const bool match = computed == stored;
  std::printf("stored %-7s %s  %s\n", name, stored.c_str(), match ? "match" : "MISMATCH");
  return match;
}

}  // namespace

VerifyCommand::VerifyCommand(CLI::App& app)
    : m_command(app.add_subcommand("verify", "Hash the media of an image (E01) and compare with its stored hashes")) {
  m_command->add_option("FILE", m_path, "image file: the first segment of an E01 set, or any image")->required();
}

int VerifyCommand::Run() const {
  storage::OpenedImage image;
  std::string error;
  if (platform::Status s = storage::OpenImageDevice(m_path, &image, &error); s != platform::kStatusOk) {
    std::fprintf(stderr, "quellmoor: %s\n", error.c_str());
    return kExitFailed;
  }
  const storage::ContainerInfo& info = image.info;
  std::string kind = storage::ContainerKindName(info.kind);
  if (!info.detail.empty()) kind += ", " + info.detail;
  std::printf("image: %s (%s), media %llu bytes\n", m_path.c_str(), kind.c_str(),
              static_cast<unsigned long long>(info.mediaBytes));
  if (!info.damage.empty()) std::printf("warning: %s\n", info.damage.c_str());
  std::fflush(stdout);

  InstallInterruptHandler();
  ProgressLine line;
  const std::string total = Mebibytes(info.mediaBytes);
  uint64_t nextShown = 0;
  auto progress = [&](uint64_t done) {
    if (done >= nextShown || done == info.mediaBytes) {
      const int percent = info.mediaBytes == 0 ? 100 : static_cast<int>(done * 100 / info.mediaBytes);
      line.Show("verifying: " + std::to_string(percent) + "% (" + Mebibytes(done) + " of " + total + " MiB)");
      nextShown = done + (4u << 20);
    }
    return !InterruptFlag().load();
  };
  storage::MediaHashes hashes;
  platform::Status s = storage::HashMedia(*image.device, info.mediaBytes, progress, &hashes, &error);
  line.Clear();
  if (s == platform::kStatusCancelled) {
    std::fprintf(stderr, "quellmoor: verify cancelled\n");
    return kExitCancelled;
  }
  if (s != platform::kStatusOk) {
    std::fprintf(stderr, "quellmoor: verify failed: %s\n", error.c_str());
    return kExitFailed;
  }
  bool match = Compare("MD5", hashes.md5, info.storedMd5);
  match = Compare("SHA1", hashes.sha1, info.storedSha1) && match;
  if (info.storedMd5.empty() && info.storedSha1.empty()) {
    std::printf("not verified: '%s' stores no hash of its media\n", m_path.c_str());
    return kExitFailed;
  }
  std::printf(match ? "verified: the media matches every stored hash\n"
                    : "MISMATCH: the media differs from what was acquired\n");
  return match ? kExitOk : kExitFailed;
}

}  // namespace cli

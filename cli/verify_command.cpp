// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/verify_command.h"

#include <chrono>
#include <cstdio>

#include "cli/cli_texts.h"
#include "cli/cli_view.h"
#include "cli/commands.h"
#include "cli/progress_line.h"
#include "jobs/display_text.h"
#include "storage/image_container.h"
#include "storage/media_hash.h"

namespace cli {
namespace {

// Prints one stored/computed pair; true when they agree or nothing is stored.
bool Compare(const char* name, const std::string& computed, const std::string& stored) {
  std::printf("%s\n", Tr("HashComputed", {name, computed}).c_str());
  if (stored.empty()) {
    std::printf("%s\n", Tr("HashStoredNone", {name}).c_str());
    return true;
  }
  const bool match = computed == stored;
  std::printf("%s\n", Tr(match ? "HashStoredMatch" : "HashStoredMismatch", {name, stored}).c_str());
  return match;
}

}  // namespace

VerifyCommand::VerifyCommand(CLI::App& app) : m_command(app.add_subcommand("verify", Tr("HelpVerify"))) {
  m_command->add_option("FILE", m_path, Tr("OptVerifyFile"))->required();
  m_command->footer(Tr("ExampleVerify"));
}

int VerifyCommand::Run() const {
  storage::OpenedImage image;
  std::string error;
  if (platform::Status s = storage::OpenImageDevice(m_path, &image, &error); s != platform::kStatusOk) {
    PrintError(error);
    return kExitFailed;
  }
  const storage::ContainerInfo& info = image.info;
  std::string kind = storage::ContainerKindName(info.kind);
  if (!info.detail.empty()) kind += ", " + info.detail;
  std::printf("%s\n", Tr("VerifyImage", {m_path, kind, static_cast<unsigned long long>(info.mediaBytes)}).c_str());
  if (!info.damage.empty()) std::printf("%s\n", Tr("Warning", {info.damage}).c_str());
  std::fflush(stdout);

  // Percent, bytes, speed and time left, on a terminal.
  InstallInterruptHandler();
  ProgressLine line;
  const std::string total = jobs::SizeText(info.mediaBytes);
  const auto start = std::chrono::steady_clock::now();
  auto lastShown = start - std::chrono::seconds(1);
  auto progress = [&](uint64_t done) {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastShown >= std::chrono::milliseconds(200) || done == info.mediaBytes) {
      lastShown = now;
      const int percent = info.mediaBytes == 0 ? 100 : static_cast<int>(done * 100 / info.mediaBytes);
      std::string text = Tr("VerifyProgress", {percent, jobs::SizeText(done), total});
      const double seconds = std::chrono::duration<double>(now - start).count();
      if (seconds >= 1.0 && done > 0) {
        const double speed = static_cast<double>(done) / seconds;
        const auto left = static_cast<int64_t>(static_cast<double>(info.mediaBytes - done) / speed);
        text += "  " + Tr("SpeedAndTimeLeft",
                          {jobs::SizeText(static_cast<uint64_t>(speed)), jobs::DurationText(left, &Texts())});
      }
      line.Show(text);
    }
    return !InterruptFlag().load();
  };
  storage::MediaHashes hashes;
  platform::Status s = storage::HashMedia(*image.device, info.mediaBytes, progress, &hashes, &error);
  line.Clear();
  if (s == platform::kStatusCancelled) {
    PrintError(Tr("VerifyCancelled"));
    return kExitCancelled;
  }
  if (s != platform::kStatusOk) {
    PrintError(Tr("VerifyFailed", {error}));
    return kExitFailed;
  }
  bool match = Compare("MD5", hashes.md5, info.storedMd5);
  match = Compare("SHA1", hashes.sha1, info.storedSha1) && match;
  if (info.storedMd5.empty() && info.storedSha1.empty()) {
    std::printf("%s\n", Tr("NotVerified", {m_path}).c_str());
    return kExitFailed;
  }
  std::printf("%s\n", Tr(match ? "Verified" : "VerifyMismatch").c_str());
  return match ? kExitOk : kExitFailed;
}

}  // namespace cli

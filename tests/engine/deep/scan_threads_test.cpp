// SPDX-License-Identifier: GPL-3.0-or-later
// The deep scan finds the same whatever the number of threads that classify:
// the same items with the same ids and places, the same kept state, and a
// scan stopped by one number of threads and continued by another gives what
// one pass gives.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/deep/deep_scan_state.h"
#include "tests/engine/deep/deep_scan_util.h"
#include "tests/engine/signatures/carve_corpus.h"

namespace engine::deep_testing {
namespace {

// Every listed item, field by field, and the kept state's files.
struct Outcome {
  Status status = kStatusOk;
  std::vector<std::string> items;
  std::string state;
  std::string replay;
  uint64_t taken = 0;
};

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int32_t CancelAtSixty(void*, int32_t percent, int32_t weight, int32_t, uint64_t, uint64_t, uint64_t, int32_t) {
  return weight == 90 && percent >= 60 ? kStatusCancelled : 0;
}

// Scans bytes with threads (previous: the kept scan to continue, or null for
// a new one in a new folder); stop: cancel at 60 % of the pass.
Outcome Scan(const std::vector<uint8_t>& bytes, uint32_t threads, const char* previous = nullptr, bool stop = false) {
  DeepRun run;
  storage::OpenMemorySource(run.source, bytes);
  if (previous == nullptr) {
    EXPECT_EQ(store::ScanIndex::Instance().NewScanFolder(), kStatusOk);
  }
  EXPECT_EQ(run.engine->OpenSharedSource(run.source, 0, 0, 'D'), kStatusOk);
  run.engine->SetScanThreads(threads);
  (void)run.engine->SetProgressCallbacks(stop ? CancelAtSixty : nullptr, nullptr, nullptr, 100);
  Outcome out;
  out.status = run.engine->Scan(previous);
  out.taken = run.engine->MeasuredAheadTaken();
  for (const Listed& l : ListEverything(*run.engine)) {
    const ItemRecord& r = l.record;
    out.items.push_back(l.path + "|" + std::to_string(+r.sourceKind) + "|" + std::to_string(+r.id) + "|" +
                        std::to_string(+r.size) + "|" + std::to_string(+r.isIntact) + "|" +
                        std::to_string(+r.entrySector) + "|" + std::to_string(+r.clusterBytes) + "|" +
                        std::to_string(+r.modified));
  }
  const std::string folder = store::ScanIndex::Instance().CurrentScanFolder();
  out.state = FileText(folder + deep::kDeepStateName);
  out.replay = FileText(folder + deep::kDeepReplayName);
  return out;
}

std::vector<std::string> Volumes() {
  std::vector<std::string> names{"corpus"};
#ifdef QUELLMOOR_FEW_VOLUMES
  // Under a thread checker every scan is slow: a volume of each kind.
  return {"corpus", "fat32_quick", "ntfs_reformat_same", "exfat_formatted", "text_ext4"};
#endif
  const std::string manifest = testing_support::FixturePath("fat12.manifest.tsv");
  const auto folder = std::filesystem::path(manifest).parent_path();
  if (!std::filesystem::is_directory(folder)) return names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string file = entry.path().filename().string();
    if (file.size() > 7 && file.compare(file.size() - 7, 7, ".img.gz") == 0) names.push_back(file.substr(0, file.size() - 7));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<uint8_t> VolumeBytes(const std::string& name) {
  if (name == "corpus") {
    static const auto corpus = carve_corpus::LoadCorpus(testing_support::FixturePath("carve_corpus.tar.gz"));
    return corpus.empty() ? std::vector<uint8_t>() : carve_corpus::LayOut(corpus, 5).bytes;
  }
  const std::string path = testing_support::UnpackedFixture(name + ".img.gz");
  return path.empty() ? std::vector<uint8_t>() : testing_support::ReadFileBytes(path);
}

class ScanThreadsTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override { store::ScanIndex::Instance().Load(); }
  testing_support::ScopedDataHome m_home;
};

TEST_P(ScanThreadsTest, OneTwoAndFourThreadsFindTheSameAndKeepTheSameState) {
  const std::vector<uint8_t> bytes = VolumeBytes(GetParam());
  if (bytes.empty()) GTEST_SKIP() << "volume " << GetParam() << " is not available";
  const Outcome alone = Scan(bytes, 1);
  ASSERT_EQ(alone.status, kStatusOk);
  EXPECT_EQ(alone.taken, 0u);
  for (const uint32_t threads : {2u, 4u}) {
    const Outcome many = Scan(bytes, threads);
    ASSERT_EQ(many.status, kStatusOk) << threads << " threads";
    EXPECT_EQ(many.items, alone.items) << threads << " threads";
    EXPECT_EQ(many.state, alone.state) << threads << " threads";
    EXPECT_EQ(many.replay, alone.replay) << threads << " threads";
  }
  // Stopped with four threads, continued with two: the result of one pass.
  const Outcome stopped = Scan(bytes, 4, nullptr, true);
  if (stopped.status == kStatusCancelled) {
    const Outcome continued = Scan(bytes, 2, "continue");
    ASSERT_EQ(continued.status, kStatusOk);
    EXPECT_EQ(continued.items, alone.items);
  }
}

INSTANTIATE_TEST_SUITE_P(Volumes, ScanThreadsTest, ::testing::ValuesIn(Volumes()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
}  // namespace engine::deep_testing

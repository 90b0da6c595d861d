// SPDX-License-Identifier: GPL-3.0-or-later
// The deep scan as a whole, on real volumes: quick-formatted FAT, NTFS
// formatted over, a volume of no file system at all, damaged and unreadable
// media; every item served by the engine that found it, and a file several
// engines found shown once.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>

#include "engine/categories.h"
#include "engine/fat_dir_entry.h"
#include "engine/ntfs/mft_record.h"
#include "engine/signatures/carve_context.h"
#include "engine/signatures/carve_sector.h"
#include "tests/engine/deep/deep_scan_util.h"
#include "tests/engine/signatures/carve_corpus.h"

namespace engine::deep_testing {
namespace {

using testing_support::ManifestRow;

std::vector<uint8_t> FixtureBytes(const std::string& name) {
  const std::string path = testing_support::UnpackedFixture(name + ".img.gz");
  return path.empty() ? std::vector<uint8_t>() : testing_support::ReadFileBytes(path);
}

std::vector<ManifestRow> Manifest(const std::string& name) {
  return testing_support::ReadManifest(testing_support::FixturePath(name + ".manifest.tsv"));
}

// How many files of each content the volume held.
std::map<std::string, int> ManifestContents(const std::vector<ManifestRow>& rows) {
  std::map<std::string, int> count;
  for (const auto& row : rows) {
    if (row.size != "-" && row.size != "0") ++count[row.sha256];
  }
  return count;
}

// Browsing and searching everything reach the same files.
void ExpectBrowsingFindsWhatSearchFinds(deep::CProfessionalRecovery& engine, const std::vector<Listed>& all) {
  std::vector<ItemRecord> browsed;
  for (const Listed& l : all) browsed.push_back(l.record);
  std::vector<ItemRecord> searched;
  const std::string everything = EveryListPattern() + "|.other";
  EXPECT_EQ(engine.Search(everything, searched), 1);
  EXPECT_EQ(FileKeys(browsed), FileKeys(searched));
  int32_t counted = 0;
  EXPECT_EQ(engine.CountFiles(nullptr, 0, &counted), kStatusOk);
  EXPECT_EQ(static_cast<size_t>(counted), FileKeys(browsed).size());
}

class DeepScanTest : public ::testing::Test {
 protected:
  void SetUp() override { store::ScanIndex::Instance().Load(); }
  testing_support::ScopedDataHome m_home;
  testing_support::TempDir m_out;
};

class QuickFormattedFatTest : public DeepScanTest, public ::testing::WithParamInterface<const char*> {};

// Files of subfolders come back byte-exact after a quick format; no content
// is listed more often than the volume held it.
TEST_P(QuickFormattedFatTest, FilesComeBackOnceAndByteExact) {
  std::vector<uint8_t> bytes = FixtureBytes(GetParam());
  if (bytes.empty()) GTEST_SKIP() << "fixture " << GetParam() << " is not available";
  auto run = DeepScanBytes(std::move(bytes));
  ASSERT_EQ(run->status, kStatusOk);
  EXPECT_TRUE(run->engine->Finished());
  const auto all = ListEverything(*run->engine);
  const auto copied = CopiedContents(*run->engine, all, m_out.path());
  std::map<std::string, int> listed;
  for (const auto& [path, hash] : copied) ++listed[hash];
  const auto rows = Manifest(GetParam());
  const auto held = ManifestContents(rows);
  int checked = 0;
  for (const auto& row : rows) {
    if (row.size == "-" || row.size == "0" || row.path.find('/', 1) == std::string::npos) continue;
    // A format leaves no chain: a fragmented file, or one written over, cannot come back whole.
    if (row.note.find("fragmented") != std::string::npos || row.note.find("overwritten") != std::string::npos) continue;
    EXPECT_GE(listed[row.sha256], 1) << row.path << " " << row.note;
    ++checked;
  }
  EXPECT_GE(checked, 10);
  for (const auto& [hash, count] : listed) {
    auto it = held.find(hash);
    if (it != held.end()) {
      EXPECT_LE(count, it->second) << "content " << hash << " listed more than once";
    }
  }
  ExpectBrowsingFindsWhatSearchFinds(*run->engine, all);
}

INSTANTIATE_TEST_SUITE_P(Volumes, QuickFormattedFatTest, ::testing::Values("fat32_quick", "fat16_quick"));

class ReformattedNtfsTest : public DeepScanTest, public ::testing::WithParamInterface<const char*> {};

// The old volume's records are found in the new one's free space: the files
// the professional NTFS engine gives when it is handed every record of the
// volume come back, in the same folders, with the same bytes.
TEST_P(ReformattedNtfsTest, OldFilesComeBackInTheirFolders) {
  std::vector<uint8_t> bytes = FixtureBytes(GetParam());
  if (bytes.empty()) GTEST_SKIP() << "fixture " << GetParam() << " is not available";
  // The engine alone, handed every record.
  std::map<std::string, std::string> direct;
  {
    EXPECT_EQ(store::ScanIndex::Instance().NewScanFolder(), kStatusOk);
    ntfs::CProfessionalNtfsRecovery engine;
    storage::SectorSource source;
    storage::OpenMemorySource(source, bytes);
    ASSERT_EQ(engine.OpenSharedSource(source, 512, 0, 0, 'P'), kStatusOk);
    ASSERT_EQ(engine.Begin(nullptr), kStatusOk);
    for (size_t at = 0; at + 1024 <= bytes.size(); at += 512) {
      if (ntfs::IsPlausibleFileRecord(ByteView(bytes.data() + at, 1024), 1024)) {
        (void)engine.HandleRecord(bytes.data() + at, 1024, at / 512);
      }
    }
    ASSERT_EQ(engine.Finish(), kStatusOk);
    testing_support::TempDir out;
    direct = CopiedContents(engine, ListEverything(engine), out.path());
  }
  auto run = DeepScanBytes(bytes);
  ASSERT_EQ(run->status, kStatusOk);
  EXPECT_TRUE(run->engine->HasFastEngine());
  EXPECT_TRUE(run->engine->ScannedFreeSpaceOnly());
  const auto all = ListEverything(*run->engine);
  const auto copied = CopiedContents(*run->engine, all, m_out.path());
  int same = 0;
  for (const auto& [path, hash] : direct) {
    // The new file system's own files lie in its allocated space, which a deep scan leaves to it.
    if (path.find("/$") != std::string::npos) continue;
    auto it = copied.find(path);
    if (it == copied.end()) {
      ADD_FAILURE() << path << " is not listed";
      continue;
    }
    EXPECT_EQ(it->second, hash) << path;
    ++same;
  }
  EXPECT_GE(same, 20);
  ExpectBrowsingFindsWhatSearchFinds(*run->engine, all);
}

INSTANTIATE_TEST_SUITE_P(Volumes, ReformattedNtfsTest, ::testing::Values("ntfs_reformat_same", "ntfs_reformat_4k"));

const std::vector<carve_corpus::CorpusFile>& Corpus() {
  static const std::vector<carve_corpus::CorpusFile> corpus =
      carve_corpus::LoadCorpus(testing_support::FixturePath("carve_corpus.tar.gz"));
  return corpus;
}

// A volume of no file system (real files between random bytes) is read whole
// and every sample is carved byte-exact.
TEST_F(DeepScanTest, AVolumeWithoutAFileSystemIsCarvedWhole) {
  if (Corpus().empty()) GTEST_SKIP() << "the carve corpus is not available";
  const carve_corpus::Image image = carve_corpus::LayOut(Corpus(), 11);
  auto run = DeepScanBytes(image.bytes);
  ASSERT_EQ(run->status, kStatusOk);
  EXPECT_FALSE(run->engine->HasFastEngine());
  EXPECT_FALSE(run->engine->ScannedFreeSpaceOnly());
  EXPECT_EQ(run->engine->SectorsDone(), image.bytes.size() / 512);
  const auto all = ListEverything(*run->engine);
  const auto copied = CopiedContents(*run->engine, all, m_out.path());
  // A carved file is named by its own metadata when it has some: found by its first sector and extension.
  std::map<uint64_t, std::string> pathOfSector;
  for (const Listed& l : all) {
    const uint64_t sector = l.record.entrySector;  // a copy: the record's fields are not aligned
    pathOfSector[sector] = l.path;
  }
  int exact = 0;
  for (const carve_corpus::Placed& p : image.placed) {
    const auto& file = Corpus()[p.file];
    const std::string path = pathOfSector.count(p.sector) != 0 ? pathOfSector[p.sector] : std::string();
    const bool named = path.size() > file.kind.size() && path.compare(path.size() - file.kind.size() - 1,
                                                                       std::string::npos, "." + file.kind) == 0;
    auto it = copied.find(path);
    if (named && it != copied.end() && it->second == testing_support::Sha256OfBytes(file.bytes)) {
      ++exact;
    } else {
      ADD_FAILURE() << file.name << " at sector " << p.sector << " is not carved byte-exact";
    }
  }
  EXPECT_EQ(exact, static_cast<int>(image.placed.size()));
}

// Renames a deleted FAT entry's extension (its 8.3 name and its long name)
// so that the same data is listed under another kind of name.
// shortName11 is the entry's 8.3 name as it was before the deletion.
void RetypeDeletedEntry(std::vector<uint8_t>& bytes, const char* shortName11, const char* from, const char* to) {
  size_t at = 0;
  for (size_t i = 0; i + 32 <= bytes.size(); i += 32) {
    if (bytes[i] == 0xE5 && std::memcmp(bytes.data() + i + 1, shortName11 + 1, 10) == 0) {
      at = i;
      break;
    }
  }
  ASSERT_NE(at, 0u) << shortName11;
  std::memcpy(bytes.data() + at + 8, to, 3);
  uint8_t name11[11];
  std::memcpy(name11, bytes.data() + at, 11);
  name11[0] = static_cast<uint8_t>(shortName11[0]);
  const uint8_t checksum = ShortNameChecksum(name11);
  // The long-name entries before it, nearest first, hold characters 13 apiece.
  static constexpr size_t kChars[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  std::vector<uint8_t*> slots;
  for (size_t e = at; e >= 32 && bytes[e - 32 + 11] == 0x0F; e -= 32) {
    uint8_t* entry = bytes.data() + e - 32;
    entry[13] = checksum;
    for (size_t c : kChars) slots.push_back(entry + c);
  }
  std::string name;
  for (uint8_t* slot : slots) {
    if (slot[0] == 0 && slot[1] == 0) break;
    name.push_back(static_cast<char>(slot[0]));
  }
  const size_t dot = name.rfind(std::string(".") + from);
  ASSERT_NE(dot, std::string::npos) << name;
  for (int k = 0; k < 3; ++k) slots[dot + 1 + k][0] = static_cast<uint8_t>(std::tolower(to[k]));
}

// A deleted file the fast engine lists is not listed again by carving; a
// carved JPEG where a camera thumbnail (".thm") begins is the thumbnail, a
// carved PNG there is not.
TEST_F(DeepScanTest, AFileFoundByTheFileSystemIsNotListedAgainWhenCarved) {
  std::vector<uint8_t> bytes = FixtureBytes("fat16");
  if (bytes.empty()) GTEST_SKIP() << "fixture fat16 is not available";
  RetypeDeletedEntry(bytes, "DELETE~1JPG", "jpg", "THM");
  RetypeDeletedEntry(bytes, "VACATI~1PNG", "png", "THM");
  auto run = DeepScanBytes(bytes);
  ASSERT_EQ(run->status, kStatusOk);
  const auto all = ListEverything(*run->engine);
  std::map<std::string, const Listed*> byPath;
  for (const Listed& l : all) byPath[l.path] = &l;
  ASSERT_EQ(byPath.count("/Deleted Photo.thm"), 1u);
  ASSERT_EQ(byPath.count("/Photos/Vacation Picture.thm"), 1u);
  uint64_t thumb = 0, renamed = 0;
  ASSERT_TRUE(run->engine->FirstDataByte(byPath["/Deleted Photo.thm"]->record, &thumb));
  ASSERT_TRUE(run->engine->FirstDataByte(byPath["/Photos/Vacation Picture.thm"]->record, &renamed));
  EXPECT_EQ(byPath.count("/" + std::to_string(thumb / 512) + ".jpg"), 0u);
  EXPECT_EQ(byPath.count("/" + std::to_string(renamed / 512) + ".png"), 1u);
  // Every other deleted photo, PDF and ZIP is listed once, by the fast engine.
  const auto copied = CopiedContents(*run->engine, all, m_out.path());
  std::map<std::string, int> listed;
  for (const auto& [path, hash] : copied) ++listed[hash];
  for (const auto& row : Manifest("fat16")) {
    if (row.state != "deleted" || row.size == "-" || row.size == "0") continue;
    if (row.path == "/Photos/Vacation Picture.png") {
      EXPECT_EQ(listed[row.sha256], 2) << row.path;  // as the renamed file and as the carved PNG
    } else {
      EXPECT_EQ(listed[row.sha256], 1) << row.path;
    }
  }
  for (const Listed& l : all) {
    if (l.record.sourceKind == static_cast<int32_t>(SourceKind::kProfessionalFat)) {
      ADD_FAILURE() << l.path << ": the fast engine walked that directory";
    }
  }
  ExpectBrowsingFindsWhatSearchFinds(*run->engine, all);
}

// A file record that begins in a piece's last sector is read again whole.
TEST_F(DeepScanTest, ARecordAtAPiecesEndIsReadWhole) {
  const std::vector<uint8_t> ntfs = FixtureBytes("ntfs_512");
  if (ntfs.empty()) GTEST_SKIP() << "fixture ntfs_512 is not available";
  size_t record = 0;
  uint32_t number = 0;
  for (size_t at = 0; at + 1024 <= ntfs.size(); at += 1024) {
    const ByteView view(ntfs.data() + at, 1024);
    if (!ntfs::IsPlausibleFileRecord(view, 1024) || (view.U16(0x16) & 0x03) != 0x01) continue;
    number = view.U32(0x2C);
    if (number < 70) continue;
    record = at;
    break;
  }
  ASSERT_NE(record, 0u);
  std::vector<uint8_t> bytes(4u << 20);
  std::mt19937_64 rng(5);
  carve_corpus::FillRandom(bytes.data(), bytes.size(), rng);
  std::memcpy(bytes.data() + 127 * 512, ntfs.data() + record, 1024);  // sectors 127 and 128
  auto run = DeepScanBytes(bytes);
  ASSERT_EQ(run->status, kStatusOk);
  bool found = false;
  for (const Listed& l : ListEverything(*run->engine)) {
    found = found || (l.record.sourceKind == static_cast<int32_t>(SourceKind::kProfessionalNtfs) &&
                      +l.record.locator == static_cast<int32_t>(number) && l.record.entrySector == 127);
  }
  EXPECT_TRUE(found) << "record " << number;
}

struct Stopper {
  int32_t stopAt = 0;  // percent (as reported, 10..110) at which to cancel; 0: never
  int32_t calls = 0;
  int32_t lastPercent = -1;
  bool decreased = false;
};

int32_t StopAt(void* user, int32_t percent, int32_t weight, int32_t, uint64_t, uint64_t, uint64_t, int32_t) {
  auto* s = static_cast<Stopper*>(user);
  ++s->calls;
  const int32_t shown = percent * weight / 100;
  if (shown < s->lastPercent) {
    s->decreased = true;
    std::fprintf(stderr, "progress went from %d to %d (%d x %d)\n", s->lastPercent, shown, percent, weight);
  }
  s->lastPercent = shown;
  return s->stopAt != 0 && weight == 90 && percent >= s->stopAt ? kStatusCancelled : 0;
}

// What a listing shows, by path, size and content.
std::multiset<std::string> Shown(IFileRecoveryParse& engine, const std::string& out) {
  const auto all = ListEverything(engine);
  std::multiset<std::string> shown;
  const auto copied = CopiedContents(engine, all, out);
  for (const Listed& l : all) {
    shown.insert(l.path + "|" + std::to_string(+l.record.size) + "|" + std::to_string(+l.record.sourceKind));
  }
  for (const auto& [path, hash] : copied) shown.insert(path + "|" + hash);
  return shown;
}

class ResumeTest : public DeepScanTest, public ::testing::WithParamInterface<const char*> {};

// A scan cancelled half-way and continued shows what one scan shows.
TEST_P(ResumeTest, CancelledAtHalfAndContinuedFindsTheSameAsOneScan) {
  std::vector<uint8_t> bytes;
  if (std::string(GetParam()) == "corpus") {
    if (Corpus().empty()) GTEST_SKIP() << "the carve corpus is not available";
    bytes = carve_corpus::LayOut(Corpus(), 3).bytes;
  } else {
    bytes = FixtureBytes(GetParam());
  }
  if (bytes.empty()) GTEST_SKIP() << "fixture " << GetParam() << " is not available";
  Stopper whole;
  auto once = DeepScanBytes(bytes, 512, {}, StopAt, &whole);
  ASSERT_EQ(once->status, kStatusOk);
  EXPECT_FALSE(whole.decreased);
  EXPECT_EQ(whole.lastPercent, 100);
  testing_support::TempDir first;
  const auto expected = Shown(*once->engine, first.path());

  Stopper half{60};
  auto stopped = DeepScanBytes(bytes, 512, {}, StopAt, &half);
  ASSERT_EQ(stopped->status, kStatusCancelled);
  EXPECT_FALSE(stopped->engine->Finished());
  const uint64_t doneBefore = stopped->engine->SectorsDone();
  EXPECT_GT(doneBefore, 0u);
  EXPECT_LT(doneBefore, stopped->engine->SectorsTotal());
  stopped.reset();

  // Continued and cancelled at once: the replay of what the engines were
  // handed stops on the cancel, and the kept scan stays as it was.
  {
    DeepRun cancelled;
    storage::OpenMemorySource(cancelled.source, bytes);
    ASSERT_EQ(cancelled.engine->OpenSharedSource(cancelled.source, 0, 0, 'D'), kStatusOk);
    Stopper atOnce{1};
    (void)cancelled.engine->SetProgressCallbacks(StopAt, nullptr, &atOnce, 100);
    ASSERT_EQ(cancelled.engine->Scan("continue"), kStatusCancelled);
    // Stopped before the pass went on (a volume whose engines were handed
    // nothing: at the end of its first piece, at most 1 MiB on).
    EXPECT_LE(cancelled.engine->SectorsDone(), doneBefore + 2048);
    if (std::string(GetParam()).rfind("ntfs", 0) == 0) {
      EXPECT_EQ(cancelled.engine->SectorsDone(), doneBefore);
    }
  }

  // The same volume opened again and continued in the same scan folder.
  DeepRun again;
  storage::OpenMemorySource(again.source, bytes);
  ASSERT_EQ(again.engine->OpenSharedSource(again.source, 0, 0, 'D'), kStatusOk);
  Stopper rest;
  (void)again.engine->SetProgressCallbacks(StopAt, nullptr, &rest, 100);
  ASSERT_EQ(again.engine->Scan("continue"), kStatusOk);
  EXPECT_TRUE(again.engine->Finished());
  EXPECT_EQ(again.engine->SectorsDone(), again.engine->SectorsTotal());
  EXPECT_GE(rest.lastPercent, 99);
  testing_support::TempDir second;
  EXPECT_EQ(Shown(*again.engine, second.path()), expected);

  // A finished scan reopened reads nothing and shows the same.
  DeepRun reopened;
  storage::MemorySourceOptions counting;
  counting.pieceSizes = std::make_shared<std::vector<size_t>>();
  storage::OpenMemorySource(reopened.source, bytes, counting);
  ASSERT_EQ(reopened.engine->OpenSharedSource(reopened.source, 0, 0, 'D'), kStatusOk);
  const size_t readsAtOpen = counting.pieceSizes->size();
  ASSERT_EQ(reopened.engine->Scan("reuse"), kStatusOk);
  EXPECT_LT(counting.pieceSizes->size() - readsAtOpen, 64u);
  testing_support::TempDir third;
  EXPECT_EQ(Shown(*reopened.engine, third.path()), expected);
}

INSTANTIATE_TEST_SUITE_P(Volumes, ResumeTest,
                         ::testing::Values("fat32_quick", "ntfs_reformat_same", "exfat_formatted", "corpus", "fat32_tree",
                                           "deleted_tree_plain_fat"));

// Unreadable sectors in the middle: the scan goes on past them, counts them,
// and what lies behind them is found.
TEST_F(DeepScanTest, UnreadableSectorsAreCountedAndPassed) {
  if (Corpus().empty()) GTEST_SKIP() << "the carve corpus is not available";
  const carve_corpus::Image image = carve_corpus::LayOut(Corpus(), 11);
  storage::MemorySourceOptions faults;
  const uint64_t middle = image.bytes.size() / 512 / 2;
  for (uint64_t s = middle; s < middle + 5; ++s) faults.faultSectors.insert(s);
  auto run = DeepScanBytes(image.bytes, 512, faults);
  ASSERT_EQ(run->status, kStatusOk);
  EXPECT_EQ(run->engine->UnreadableSectors(), 5u);
  EXPECT_EQ(run->engine->SectorsDone(), image.bytes.size() / 512);
  const auto all = ListEverything(*run->engine);
  const carve_corpus::Placed& last = image.placed.back();
  bool lastFound = false;
  for (const Listed& l : all) lastFound = lastFound || l.record.entrySector == last.sector;
  EXPECT_TRUE(lastFound);
}

// Files measured across an unreadable sector end where the carver alone
// ends them on the same medium: the zeros that stand for that sector in the
// pass's chunk are no data to measure with.
TEST_F(DeepScanTest, FilesMeasuredAcrossAnUnreadableSectorEndAsTheCarverAloneEndsThem) {
  if (Corpus().empty()) GTEST_SKIP() << "the carve corpus is not available";
  const carve_corpus::Image image = carve_corpus::LayOut(Corpus(), 5);
  storage::MemorySourceOptions faults;
  for (const carve_corpus::Placed& p : image.placed) {
    if (Corpus()[p.file].bytes.size() >= 8 * 512) faults.faultSectors.insert(p.sector + 4);
  }
  ASSERT_FALSE(faults.faultSectors.empty());
  storage::SectorSource source;
  storage::OpenMemorySource(source, image.bytes, faults);
  signatures::CarveContext alone;
  alone.Attach(&source, 512);
  auto run = DeepScanBytes(image.bytes, 512, faults);
  ASSERT_EQ(run->status, kStatusOk);
  int compared = 0;
  for (const Listed& l : ListEverything(*run->engine)) {
    if (faults.faultSectors.count(l.record.entrySector + 4) == 0) continue;
    signatures::CarvedFile file;
    const uint8_t* first = image.bytes.data() + l.record.entrySector * 512;
    if (signatures::CarveSector(alone, first, 512, l.record.entrySector, {}, &file) != kStatusOk) continue;
    EXPECT_EQ(+l.record.size, file.size) << l.path;
    ++compared;
  }
  EXPECT_GT(compared, 0);
}

// A device that goes away stops the scan with an error, never "finished".
class VanishingDevice final : public storage::ISourceDevice {
 public:
  VanishingDevice(std::vector<uint8_t> bytes, uint64_t goneAt) : m_bytes(std::move(bytes)), m_goneAt(goneAt) {}
  Status ReadAt(uint64_t offset, void* buffer, size_t count, size_t* got) override {
    *got = 0;
    if (offset + count > m_goneAt) return platform::kErrorDeviceRemoved;
    std::memcpy(buffer, m_bytes.data() + offset, count);
    *got = count;
    return kStatusOk;
  }

 private:
  std::vector<uint8_t> m_bytes;
  uint64_t m_goneAt;
};

TEST_F(DeepScanTest, ADeviceThatGoesAwayIsAnErrorAndTheScanCanBeContinued) {
  std::vector<uint8_t> bytes = FixtureBytes("fat32_quick");
  if (bytes.empty()) GTEST_SKIP() << "fixture fat32_quick is not available";
  DeepRun run;
  run.source.totalSectors = bytes.size() / 512;
  run.source.handle = std::make_unique<VanishingDevice>(bytes, bytes.size() / 2);
  ASSERT_EQ(store::ScanIndex::Instance().NewScanFolder(), kStatusOk);
  ASSERT_EQ(run.engine->OpenSharedSource(run.source, 0, 0, 'V'), kStatusOk);
  EXPECT_EQ(run.engine->Scan(nullptr), platform::kErrorDeviceRemoved);
  EXPECT_FALSE(run.engine->Finished());
  EXPECT_GT(run.engine->SectorsDone(), 0u);
  deep::DeepScanState state;
  ASSERT_EQ(deep::ReadDeepScanState(store::ScanIndex::Instance().CurrentScanFolder(), &state), kStatusOk);
  EXPECT_FALSE(state.finished);
}

// Volumes of garbage: random bytes, plausible "FILE" records over random
// attributes, copies of one FAT directory sector everywhere. The scan ends,
// and what it lists can be browsed and searched.
TEST_F(DeepScanTest, GarbageVolumesAreScannedToTheEnd) {
  std::mt19937_64 rng(9);
  std::vector<uint8_t> random(8u << 20);
  carve_corpus::FillRandom(random.data(), random.size(), rng);

  std::vector<uint8_t> records = random;
  for (size_t at = 0; at + 1024 <= records.size(); at += 1024) {
    uint8_t* r = records.data() + at;
    std::memcpy(r, "FILE", 4);
    r[4] = 0x30;  // update sequence at 0x30, 3 entries
    r[5] = 0;
    r[6] = 3;
    r[7] = 0;
    r[0x14] = 0x38;
    r[0x15] = 0;
    std::memcpy(r + 0x18, "\x00\x04\x00\x00", 4);  // in use 1024
    std::memcpy(r + 0x1C, "\x00\x04\x00\x00", 4);  // allocated 1024
    std::memcpy(r + 0x1FE, r + 0x30, 2);
    std::memcpy(r + 0x3FE, r + 0x30, 2);
  }

  std::vector<uint8_t> directories(4u << 20, 0);
  uint8_t sector[512] = {};
  for (int e = 0; e < 16; ++e) {
    uint8_t* entry = sector + e * 32;
    std::memcpy(entry, "FILE    TXT", 11);
    entry[0] = static_cast<uint8_t>('A' + e);
    entry[26] = static_cast<uint8_t>(3 + e);
    entry[28] = 100;
  }
  for (size_t at = 0; at < directories.size(); at += 512) std::memcpy(directories.data() + at, sector, 512);

  for (const auto* volume : {&random, &records, &directories}) {
    auto run = DeepScanBytes(*volume);
    EXPECT_EQ(run->status, kStatusOk);
    EXPECT_EQ(run->engine->SectorsDone(), volume->size() / 512);
    const auto all = ListEverything(*run->engine);
    ExpectBrowsingFindsWhatSearchFinds(*run->engine, all);
  }
}

// Items are served by the engine that found them; anything else is refused.
TEST_F(DeepScanTest, ItemsOfNoEngineAreRefused) {
  std::vector<uint8_t> bytes = FixtureBytes("fat12");
  if (bytes.empty()) GTEST_SKIP() << "fixture fat12 is not available";
  auto run = DeepScanBytes(bytes);
  ASSERT_EQ(run->status, kStatusOk);
  ItemRecord stranger = ZeroRecord();
  stranger.sourceKind = 9;
  SetItemName(stranger, "x.txt");
  std::vector<ItemRecord> out;
  std::string path;
  EXPECT_EQ(run->engine->ListChildren(&stranger, 1, out), kStatusInvalidParameter);
  EXPECT_EQ(run->engine->ListChildren(nullptr, 1, out), kStatusInvalidParameter);
  EXPECT_EQ(run->engine->GetItemPath(&stranger, path), kStatusInvalidParameter);
  EXPECT_EQ(run->engine->RecoverItem(&stranger, m_out.path() + "x", 0), kStatusInvalidParameter);
  EXPECT_EQ(run->engine->RecoverItem(nullptr, m_out.path() + "x", 0), kStatusInvalidParameter);
  uint32_t length = 0;
  EXPECT_EQ(run->engine->ExtractItem(&stranger, path, nullptr, &length, nullptr, nullptr), kStatusInvalidParameter);
  EXPECT_FALSE(std::filesystem::exists(m_out.path() + "x"));
}

}  // namespace
}  // namespace engine::deep_testing

// SPDX-License-Identifier: GPL-3.0-or-later
// The signature scanner fed sector by sector as the deep-scan coordinator
// feeds it: real files carved, named after their absolute sector, skipped
// over, listed, copied out byte-exact and previewed; never a byte past the
// volume; two scans in one process keep their own carving state.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/deep/file_type_recovery.h"
#include "engine/output_path.h"
#include "platform/folders.h"
#include "tests/engine/deep/deep_test_util.h"
#include "tests/engine/fat/fat_test_util.h"
#include "tests/engine/signatures/carve_corpus.h"
#include "tests/support/test_support.h"

namespace engine::deep_testing {
namespace {

using fat_testing::ScanHome;

const std::vector<carve_corpus::CorpusFile>& Corpus() {
  static const std::vector<carve_corpus::CorpusFile> corpus =
      carve_corpus::LoadCorpus(testing_support::FixturePath("carve_corpus.tar.gz"));
  return corpus;
}

const carve_corpus::CorpusFile* Sample(const std::string& name) {
  for (const auto& file : Corpus()) {
    if (file.name == name) return &file;
  }
  return nullptr;
}

#define QM_SAMPLE_OR_SKIP(var, name)                  \
  const carve_corpus::CorpusFile* var = Sample(name); \
  if (var == nullptr) GTEST_SKIP() << "carve corpus sample " << (name) << " is not available"

// A volume of `sectors` sectors of random bytes at volumeStart of a source of
// volumeStart + sectors + tail sectors, with files laid at relative sectors.
struct Layout {
  std::vector<uint8_t> bytes;
  uint64_t volumeStart = 0;
  uint64_t sectors = 0;
};

Layout MakeVolume(uint64_t volumeStart, uint64_t sectors, const std::map<uint64_t, const std::vector<uint8_t>*>& files,
                  uint32_t seed = 7, uint64_t tail = 16) {
  Layout layout;
  layout.volumeStart = volumeStart;
  layout.sectors = sectors;
  layout.bytes.resize((volumeStart + sectors + tail) * 512);
  std::mt19937_64 rng(seed);
  carve_corpus::FillRandom(layout.bytes.data(), layout.bytes.size(), rng);
  for (const auto& [sector, bytes] : files) {
    std::memcpy(layout.bytes.data() + (volumeStart + sector) * 512, bytes->data(), bytes->size());
  }
  return layout;
}

std::vector<ItemRecord> RootItems(IFileRecoveryParse& engine) {
  std::vector<ItemRecord> items;
  EXPECT_EQ(engine.ListChildren(nullptr, 0, items), kStatusOk);
  return items;
}

const ItemRecord* ByName(const std::vector<ItemRecord>& items, const std::string& name) {
  for (const ItemRecord& item : items) {
    if (item.Name() == name) return &item;
  }
  return nullptr;
}

class SignatureScannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Corpus().empty()) GTEST_SKIP() << "tests/fixtures/carve_corpus.tar.gz is missing";
    m_home = std::make_unique<ScanHome>();
  }
  // Opens m_engine on layout's volume and feeds all of it.
  FeedResult OpenAndFeed(const Layout& layout) {
    storage::OpenMemorySource(m_source, layout.bytes);
    EXPECT_EQ(m_engine.OpenSharedSource(m_source, 512, layout.volumeStart, layout.sectors, 'K'), kStatusOk);
    m_engine.ClearStreamExtents();
    return FeedWhole(m_source, layout.volumeStart, layout.sectors, nullptr, &m_engine);
  }

  std::unique_ptr<ScanHome> m_home;
  testing_support::TempDir m_out;
  storage::SectorSource m_source;
  deep::CFileTypeRecovery m_engine;
};

TEST_F(SignatureScannerTest, CarvedFilesAreNamedAfterTheirAbsoluteSector) {
  QM_SAMPLE_OR_SKIP(png, "image.png");
  QM_SAMPLE_OR_SKIP(jpg, "photo.jpg");
  const Layout layout = MakeVolume(2048, 1200, {{100, &png->bytes}, {900, &jpg->bytes}});
  const FeedResult fed = OpenAndFeed(layout);
  EXPECT_EQ(fed.status, kStatusOk);
  const std::vector<ItemRecord> items = RootItems(m_engine);
  ASSERT_EQ(items.size(), 2u);
  const ItemRecord* first = ByName(items, "2148.png");
  const ItemRecord* second = ByName(items, "2948.jpg");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(+first->entrySector, 2148u);
  EXPECT_EQ(+first->size, png->bytes.size());
  EXPECT_EQ(+first->sourceKind, 4);
  EXPECT_EQ(+first->clusterBytes, -1);
  EXPECT_EQ(+first->isFolder, 0);
  EXPECT_EQ(+first->isIntact, 1);
  EXPECT_EQ(+first->locator, 0);
  EXPECT_EQ(+first->driveLetter, 'K');
  EXPECT_EQ(Recover(m_engine, *first, m_out.path()), png->bytes);
  EXPECT_EQ(Recover(m_engine, *second, m_out.path()), jpg->bytes);
  EXPECT_EQ(m_engine.GetItemCount(), 2u);
  EXPECT_EQ(m_engine.StoreBaseName().rfind("File_Type_2048_", 0), 0u) << m_engine.StoreBaseName();
}

TEST_F(SignatureScannerTest, MovesOnByTheWholeFileOrOneSectorForContainers) {
  QM_SAMPLE_OR_SKIP(frame, "frame.jpg");
  QM_SAMPLE_OR_SKIP(bmp, "image.bmp");
  // A real JPEG grown to exactly 10,000 bytes by a comment segment after its JFIF header.
  ASSERT_EQ(frame->bytes[3], 0xE0);
  const size_t head = 4 + (size_t{frame->bytes[4]} << 8 | frame->bytes[5]);
  const size_t comment = 10000 - frame->bytes.size() - 4;
  std::vector<uint8_t> jpg(10000, 'c');
  std::memcpy(jpg.data(), frame->bytes.data(), head);
  const uint8_t marker[4] = {0xFF, 0xFE, static_cast<uint8_t>((comment + 2) >> 8), static_cast<uint8_t>(comment + 2)};
  std::memcpy(jpg.data() + head, marker, 4);
  std::memcpy(jpg.data() + head + 4 + comment, frame->bytes.data() + head, frame->bytes.size() - head);
  const Layout layout = MakeVolume(0, 400, {{100, &jpg}, {300, &bmp->bytes}});
  storage::OpenMemorySource(m_source, layout.bytes);
  ASSERT_EQ(m_engine.OpenSharedSource(m_source, 512, 0, 400, 'K'), kStatusOk);
  uint64_t skip = 0;
  uint64_t found = 5;
  ASSERT_EQ(m_engine.CarveAndRecord(512, layout.bytes.data() + 100 * 512, 512, 100, {100, 400, -1, 5}, &m_source, &skip,
                                    &found),
            kStatusOk);
  EXPECT_EQ(100 + skip, 120u);  // the scan goes on right after the picture
  EXPECT_EQ(found, 6u);
  ASSERT_EQ(m_engine.CarveAndRecord(512, layout.bytes.data() + 300 * 512, 512, 300, {300, 400, -1, 6}, &m_source, &skip,
                                    &found),
            kStatusOk);
  EXPECT_EQ(skip, 1u);  // a bitmap may hold other files: the scan looks inside
  EXPECT_EQ(found, 7u);
  // Nothing recognised: 87, outputs untouched.
  skip = 99;
  EXPECT_EQ(m_engine.CarveAndRecord(512, layout.bytes.data() + 10 * 512, 512, 10, {}, &m_source, &skip, &found),
            kStatusInvalidParameter);
  EXPECT_EQ(skip, 99u);
  EXPECT_EQ(found, 7u);
  const std::vector<ItemRecord> items = RootItems(m_engine);
  ASSERT_NE(ByName(items, "100.jpg"), nullptr);
  EXPECT_EQ(+ByName(items, "100.jpg")->size, 10000u);
}

TEST_F(SignatureScannerTest, CopyReadsWholeSectorsAndWritesExactlyTheSize) {
  QM_SAMPLE_OR_SKIP(zip, "archive.zip");  // 962 bytes: two sectors
  QM_SAMPLE_OR_SKIP(db, "store.sqlite");
  const Layout layout = MakeVolume(0, 64, {{10, &zip->bytes}, {20, &db->bytes}});
  auto pieces = std::make_shared<std::vector<size_t>>();
  storage::OpenMemorySource(m_source, layout.bytes, {{}, pieces});
  ASSERT_EQ(m_engine.OpenSharedSource(m_source, 512, 0, 64, 'K'), kStatusOk);
  (void)FeedWhole(m_source, 0, 64, nullptr, &m_engine);
  const std::vector<ItemRecord> items = RootItems(m_engine);
  const ItemRecord* item = ByName(items, "10.zip");
  ASSERT_NE(item, nullptr);
  pieces->clear();
  const std::vector<uint8_t> copy = Recover(m_engine, *item, m_out.path());
  EXPECT_EQ(copy, zip->bytes);
  ASSERT_EQ(pieces->size(), 1u);
  EXPECT_EQ(pieces->front(), 1024u);
  // A kind without a preview goes into a buffer: at most its size.
  const ItemRecord* database = ByName(items, "20.db");
  ASSERT_NE(database, nullptr);
  std::vector<uint8_t> buffer(500);
  uint32_t length = 500;
  std::string temp;
  ASSERT_EQ(m_engine.ExtractItem(database, temp, buffer.data(), &length, nullptr, nullptr), kStatusOk);
  EXPECT_TRUE(temp.empty());
  EXPECT_EQ(length, 500u);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), db->bytes.begin()));
}

TEST_F(SignatureScannerTest, CopyNeverReadsPastTheVolume) {
  QM_SAMPLE_OR_SKIP(png, "image.png");
  const Layout layout = MakeVolume(0, 200, {{150, &png->bytes}}, 3, 0);
  const std::string image = m_out.path() + "volume.img";
  testing_support::WriteFileBytes(image, layout.bytes);
  ASSERT_EQ(m_engine.OpenImage(image, 'K'), kStatusOk);
  storage::SectorSource source;
  ASSERT_EQ(storage::OpenImageSource(source, image), kStatusOk);
  (void)FeedWhole(source, 0, 200, nullptr, &m_engine);
  const std::string log = m_engine.StoreBaseName();
  ASSERT_NE(ByName(RootItems(m_engine), "150.png"), nullptr);

  // The same scan reopened on a volume that ends inside the picture: no copy
  // pulls in bytes that are not the volume's.
  std::vector<uint8_t> cut(layout.bytes.begin(), layout.bytes.begin() + 160 * 512);
  const std::string shorter = m_out.path() + "shorter.img";
  testing_support::WriteFileBytes(shorter, cut);
  deep::CFileTypeRecovery reopened;
  ASSERT_EQ(reopened.ReopenImageLog(512, log, 'K', shorter), kStatusOk);
  const std::vector<ItemRecord> items = RootItems(reopened);
  const ItemRecord* item = ByName(items, "150.png");
  ASSERT_NE(item, nullptr);
  Status status = kStatusOk;
  EXPECT_TRUE(Recover(reopened, *item, m_out.path(), &status).empty());
  EXPECT_EQ(status, kStatusReadFault);
  std::vector<uint8_t> buffer(64);
  uint32_t length = 64;
  std::string temp;
  EXPECT_EQ(reopened.ExtractItem(item, temp, nullptr, &length, nullptr, nullptr), kStatusReadFault);
  EXPECT_EQ(reopened.ReopenImageLog(512, "", 'K', shorter), kStatusInvalidParameter);
}

TEST_F(SignatureScannerTest, PreviewsGoWhereTheirKindBelongs) {
  QM_SAMPLE_OR_SKIP(png, "gradient.png");
  QM_SAMPLE_OR_SKIP(mp4, "clip.mp4");
  QM_SAMPLE_OR_SKIP(pdf, "letter.pdf");
  QM_SAMPLE_OR_SKIP(zip, "notes.zip");
  QM_SAMPLE_OR_SKIP(db, "store.sqlite");
  const Layout layout = MakeVolume(
      0, 200, {{8, &png->bytes}, {24, &mp4->bytes}, {64, &pdf->bytes}, {120, &zip->bytes}, {140, &db->bytes}});
  (void)OpenAndFeed(layout);
  const std::vector<ItemRecord> items = RootItems(m_engine);
  auto preview = [&](const std::string& name, std::string* temp, std::vector<uint8_t>* buffer) {
    // "<first sector>.<extension>": a file its metadata names otherwise is found by its sector.
    const ItemRecord* item = ByName(items, name);
    for (const ItemRecord& r : items) {
      const std::string_view n = r.Name();
      const std::string ext = name.substr(name.find('.'));
      if (item == nullptr && std::to_string(r.entrySector) + ext == name && n.size() > ext.size() &&
          n.substr(n.size() - ext.size()) == ext) {
        item = &r;
      }
    }
    if (item == nullptr) return kStatusInvalidParameter;
    uint32_t length = buffer != nullptr ? static_cast<uint32_t>(buffer->size()) : 0;
    const Status s =
        m_engine.ExtractItem(item, *temp, buffer != nullptr ? buffer->data() : nullptr, &length, nullptr, nullptr);
    if (buffer != nullptr) buffer->resize(length);
    return s;
  };
  std::string temp;
  ASSERT_EQ(preview("8.png", &temp, nullptr), kStatusOk);
  EXPECT_EQ(temp, testing_support::SessionFile("tmp.jpg"));
  EXPECT_EQ(testing_support::ReadFileBytes(temp), png->bytes);
  ASSERT_EQ(preview("24.mp4", &temp, nullptr), kStatusOk);
  EXPECT_EQ(temp, testing_support::SessionFile("tmp.avi"));
  EXPECT_EQ(testing_support::ReadFileBytes(temp), mp4->bytes);
  ASSERT_EQ(preview("64.pdf", &temp, nullptr), kStatusOk);
  EXPECT_EQ(temp, testing_support::SessionFile("document.pdf"));
  EXPECT_EQ(testing_support::ReadFileBytes(temp), pdf->bytes);
  // Archives are listed from a temporary copy of their own kind.
  ASSERT_EQ(preview("120.zip", &temp, nullptr), kStatusOk);
  EXPECT_EQ(temp, testing_support::SessionFile("document.zip"));
  EXPECT_EQ(testing_support::ReadFileBytes(temp), zip->bytes);
  // A kind without a preview comes in the caller's buffer.
  std::vector<uint8_t> buffer(65536);
  ASSERT_EQ(preview("140.db", &temp, &buffer), kStatusOk);
  EXPECT_TRUE(temp.empty());
  EXPECT_EQ(buffer, db->bytes);
}

TEST_F(SignatureScannerTest, OnlyTheRootHasChildren) {
  QM_SAMPLE_OR_SKIP(png, "frame.png");
  deep::CFileTypeRecovery fresh;
  EXPECT_EQ(fresh.SetSearchCallback(nullptr, nullptr), kStatusInvalidParameter);
  std::vector<ItemRecord> none;
  EXPECT_EQ(fresh.ListChildren(nullptr, 0, none), kStatusInvalidParameter);
  EXPECT_EQ(fresh.GetItemCount(), 0u);

  const Layout layout = MakeVolume(0, 100, {{5, &png->bytes}, {50, &png->bytes}});
  (void)OpenAndFeed(layout);
  EXPECT_EQ(m_engine.SetSearchCallback(nullptr, nullptr), kStatusOk);
  const std::vector<ItemRecord> items = RootItems(m_engine);
  ASSERT_EQ(items.size(), 2u);
  std::vector<ItemRecord> below;
  EXPECT_EQ(m_engine.ListChildren(&items[0], 1, below), kStatusOk);
  EXPECT_TRUE(below.empty());
  EXPECT_EQ(m_engine.ListChildren(nullptr, 3, below), kStatusInvalidParameter);
  int32_t count = -1;
  EXPECT_EQ(m_engine.CountFiles(nullptr, 0, &count), kStatusOk);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(m_engine.CountFiles(&items[0], 1, &count), kStatusOk);
  EXPECT_EQ(count, 0);
  std::string path = "untouched";
  EXPECT_EQ(m_engine.GetItemPath(&items[0], path), kStatusOk);
  EXPECT_EQ(path, "untouched");
  std::vector<ItemRecord> found;
  EXPECT_EQ(m_engine.Search("*.png", found), 1);
  EXPECT_EQ(found.size(), 2u);
  found.clear();
  EXPECT_EQ(m_engine.Search("*.jpg", found), 1);
  EXPECT_TRUE(found.empty());
  uint64_t sector = 0;
  uint64_t sectors = 0;
  EXPECT_EQ(m_engine.GetNextFreeExtent(&sector, &sectors), 0);
}

int32_t CancelAfter(void* userData, int32_t, int32_t, int32_t, uint64_t, uint64_t, uint64_t, int32_t) {
  int* calls = static_cast<int*>(userData);
  return ++*calls >= 1 ? kStatusCancelled : 0;
}

TEST_F(SignatureScannerTest, ReadAheadReportsProgressAndStopsOnCancel) {
  QM_SAMPLE_OR_SKIP(pdf, "letter.pdf");
  const Layout layout = MakeVolume(0, 100, {{4, &pdf->bytes}});
  storage::OpenMemorySource(m_source, layout.bytes);
  ASSERT_EQ(m_engine.OpenSharedSource(m_source, 512, 0, 100, 'K'), kStatusOk);
  int calls = 0;
  ASSERT_EQ(m_engine.SetProgressCallbacks(CancelAfter, nullptr, &calls, 90), kStatusOk);
  uint64_t skip = 0;
  uint64_t found = 0;
  EXPECT_EQ(
      m_engine.CarveAndRecord(512, layout.bytes.data() + 4 * 512, 512, 4, {4, 100, -1, 0}, &m_source, &skip, &found),
      kStatusCancelled);
  EXPECT_GE(calls, 1);
  EXPECT_EQ(found, 0u);
  EXPECT_EQ(m_engine.GetItemCount(), 0u);
  // Without the cancel the same sector is carved.
  ASSERT_EQ(m_engine.SetProgressCallbacks(nullptr, nullptr, nullptr, 90), kStatusOk);
  EXPECT_EQ(
      m_engine.CarveAndRecord(512, layout.bytes.data() + 4 * 512, 512, 4, {4, 100, -1, 0}, &m_source, &skip, &found),
      kStatusOk);
  EXPECT_EQ(found, 1u);
}

TEST_F(SignatureScannerTest, EverySampleOfACarvedKindComesBackByteExact) {
  const auto& corpus = Corpus();
  const carve_corpus::Image image = carve_corpus::LayOut(corpus, 2024);
  Layout layout;
  layout.bytes = image.bytes;
  layout.sectors = image.bytes.size() / 512;
  const FeedResult fed = OpenAndFeed(layout);
  EXPECT_EQ(fed.status, kStatusOk);
  const std::vector<ItemRecord> items = RootItems(m_engine);
  std::map<uint64_t, const ItemRecord*> bySector;
  for (const ItemRecord& item : items) bySector[+item.entrySector] = &item;
  int exact = 0;
  std::string lost;
  for (const carve_corpus::Placed& placed : image.placed) {
    const carve_corpus::CorpusFile& file = corpus[placed.file];
    auto it = bySector.find(placed.sector);
    if (it == bySector.end() || it->second->size != file.bytes.size()) {
      lost += " " + file.name;
      continue;
    }
    EXPECT_EQ(Recover(m_engine, *it->second, m_out.path()), file.bytes) << file.name;
    ++exact;
  }
  // What the size rules allow (the carving yield test holds the same bound).
  EXPECT_GE(exact, 66) << "lost:" << lost;
  // Every carved file copies out whole, the last one included.
  for (const ItemRecord& item : items) {
    Status status = kStatusOk;
    const std::vector<uint8_t> bytes = Recover(m_engine, item, m_out.path(), &status);
    EXPECT_EQ(status, kStatusOk) << item.Name();
    EXPECT_EQ(bytes.size(), +item.size) << item.Name();
  }
}

TEST_F(SignatureScannerTest, TwoScansInOneProcessKeepTheirOwnState) {
  // Two volumes carved alternately, sector by sector, by two engines give
  // what each gives alone: no carving state is shared.
  const carve_corpus::Image a = carve_corpus::LayOut(Corpus(), 11);
  const carve_corpus::Image b = carve_corpus::LayOut(Corpus(), 12);
  struct Run {
    const carve_corpus::Image* image;
    storage::SectorSource source;
    deep::CFileTypeRecovery engine;
    uint64_t next = 0;
    uint64_t found = 0;
    bool Done() const { return next >= image->bytes.size() / 512; }
    void Step() {
      uint64_t skip = 1;
      const Status s =
          engine.CarveAndRecord(512, image->bytes.data() + next * 512, 512, next, {}, &source, &skip, &found);
      next += s == kStatusOk ? skip : 1;
    }
    std::vector<std::pair<std::string, uint64_t>> Items() {
      std::vector<std::pair<std::string, uint64_t>> out;
      for (const ItemRecord& item : RootItems(engine)) out.emplace_back(std::string(item.Name()), +item.size);
      return out;
    }
  };
  auto open = [](Run& run, const carve_corpus::Image& image) {
    run.image = &image;
    storage::OpenMemorySource(run.source, image.bytes);
    EXPECT_EQ(run.engine.OpenSharedSource(run.source, 512, 0, 0, 'A'), kStatusOk);
  };
  Run soloA;
  Run soloB;
  open(soloA, a);
  open(soloB, b);
  while (!soloA.Done()) soloA.Step();
  while (!soloB.Done()) soloB.Step();
  const auto aloneA = soloA.Items();
  const auto aloneB = soloB.Items();

  Run runA;
  Run runB;
  open(runA, a);
  open(runB, b);
  while (!runA.Done() || !runB.Done()) {
    if (!runA.Done()) runA.Step();
    if (!runB.Done()) runB.Step();
  }
  EXPECT_EQ(runA.Items(), aloneA);
  EXPECT_EQ(runB.Items(), aloneB);
  EXPECT_GE(aloneA.size(), 60u);
}

}  // namespace
}  // namespace engine::deep_testing

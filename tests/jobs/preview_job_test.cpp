// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/item_copy_out.h"
#include "jobs/character_dump.h"
#include "jobs/folder_browser.h"
#include "jobs/preview_job.h"
#include "jobs/scan_job.h"
#include "platform/folders.h"
#include "storage/disk_list.h"
#include "storage/source_resolver.h"
#include "tests/jobs/job_test_util.h"
#include "tests/jobs/preview_test_util.h"
#include "tests/support/test_support.h"

namespace jobs {
namespace {

using std::chrono::milliseconds;
using testing::MapTexts;
using testing::ScriptedView;

MapTexts PreviewTexts() {
  return MapTexts({{"MSG0901", "Preparing:"},
                   {"MSG0902", "Loading"},
                   {"MSG0904", "This is a folder."},
                   {"MSG0905", "This picture cannot be shown."},
                   {"MSG1207", "The video player could not be started."},
                   {"MSG1324", "Could not read it: %s"},
                   {"MSG1325", "Not converted (%s)."}});
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Waits (at most about 10 s) until test says yes.
template <typename Test>
bool Eventually(Test test) {
  for (int i = 0; i < 1000; ++i) {
    if (test()) return true;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return test();
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// preview_fat.img scanned once per test: documents, archives, pictures and
// media deleted from a FAT16 volume.
class PreviewJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string image = testing_support::UnpackedFixture("preview_fat.img.gz");
    if (image.empty()) GTEST_SKIP() << "tests/fixtures/preview_fat.img.gz is missing";
    storage::VolumeEntry volume;
    ASSERT_EQ(storage::DescribeImageVolume(image, &volume), 0);
    m_sources = MakeScanSources({volume});
    ScriptedView view;
    CScanJob scan({m_sources, ScanMode::kFast, ReusePolicy::kFresh}, view, &m_texts);
    ASSERT_EQ(scan.Start(), 0);
    ASSERT_EQ(scan.Wait(), JobResult::kFinished);
    for (const auto& row : testing_support::ReadManifest(testing_support::FixturePath("preview_fat.manifest.tsv"))) {
      m_sha[row.path] = row.sha256;
    }
    m_session = std::make_unique<CPreviewSession>(DefaultPreviewTools());
  }
  void TearDown() override {
    m_session.reset();
    m_sources.clear();
  }

  FoundItem Item(const std::string& folder, const std::string& name) {
    std::vector<FoundItem> items;
    EXPECT_EQ(ListFolderAt(m_sources[0], folder, &items), 0);
    for (const auto& f : items) {
      if (f.item.Name() == name) return f;
    }
    ADD_FAILURE() << "no " << name << " in /" << folder;
    return {};
  }

  // Runs the preparation job of item to its end.
  JobResult Preview(const FoundItem& item, PreviewProduct* product, ScriptedView* view = nullptr,
                    std::function<void(CPreviewJob&)> whileRunning = {}) {
    ScriptedView own;
    ScriptedView& v = view != nullptr ? *view : own;
    PreviewProduct shown;
    std::unique_ptr<CPreviewJob> job = m_session->Select(item, v, &m_texts, &shown);
    if (!job) {
      *product = shown;
      return JobResult::kNone;
    }
    m_job = job.get();  // before the worker runs: a view hook may cancel it
    EXPECT_EQ(job->Start(), 0);
    if (whileRunning) whileRunning(*job);
    const JobResult result = job->Wait();
    m_job = nullptr;
    *product = job->Product();
    m_record = job->Record();
    return result;
  }

  MapTexts m_texts = PreviewTexts();
  testing_support::ScopedDataHome m_home;
  ScanSourceList m_sources;
  std::map<std::string, std::string> m_sha;
  std::unique_ptr<CPreviewSession> m_session;
  CPreviewJob* m_job = nullptr;
  PreviewRecord m_record;
};

TEST_F(PreviewJobTest, AFolderShowsItsTextAndStartsNoJob) {
  PreviewProduct product;
  EXPECT_EQ(Preview(Item("", "Old Trip"), &product), JobResult::kNone);
  EXPECT_EQ(product.kind, PreviewProductKind::kFolder);
  EXPECT_EQ(product.text, "This is a folder.");
}

TEST_F(PreviewJobTest, PhotosPreviewThroughTmpJpgWithTheirExactBytes) {
  ScriptedView view;
  PreviewProduct product;
  ASSERT_EQ(Preview(Item("Pictures", "Shot.png"), &product, &view), JobResult::kFinished);
  EXPECT_EQ(product.kind, PreviewProductKind::kPicture);
  EXPECT_EQ(product.filePath, testing_support::SessionFile("tmp.jpg"));
  EXPECT_EQ(product.fallbackText, "This picture cannot be shown.");
  EXPECT_EQ(testing_support::Sha256OfFile(product.filePath), m_sha["/Pictures/Shot.png"]);
  EXPECT_EQ(view.LinesOf(ViewLine::kStage), (std::vector<std::string>{"Loading Shot.png"}));
  EXPECT_EQ(view.LinesOf(ViewLine::kPercent).back(), "Preparing: 100%");

  ASSERT_EQ(Preview(Item("Pictures", "!mg_0001.jpg"), &product), JobResult::kFinished);
  EXPECT_EQ(testing_support::Sha256OfFile(product.filePath), m_sha["/Pictures/IMG_0001.JPG"]);
}

TEST_F(PreviewJobTest, OfficeDocumentsShowTheirText) {
  QM_NEED_PROGRAM("7z|7zz");
  QM_NEED_PROGRAM("catdoc");
  QM_NEED_PROGRAM("xls2csv");
  const struct {
    const char* name;
    const char* text;
  } cases[] = {{"Report.docx", "QM-PREVIEW-WORD first paragraph"},
               {"Letter.doc", "QM-PREVIEW-WORD first paragraph"},
               {"Notes.odt", "QM-PREVIEW-WORD first paragraph"},
               {"Sheet.xlsx", "QM-PREVIEW-SHEET\t3\t1.25"},
               {"old sheet.xls", "QM-PREVIEW-SHEET"},
               {"Slides.pptx", "QM-PREVIEW-SLIDE one\n\nQM-PREVIEW-SLIDE two"}};
  for (const auto& c : cases) {
    PreviewProduct product;
    ASSERT_EQ(Preview(Item("Docs", c.name), &product), JobResult::kFinished) << c.name;
    EXPECT_EQ(product.kind, PreviewProductKind::kText) << c.name << ": " << product.note << product.text;
    EXPECT_TRUE(Contains(product.text, c.text)) << c.name << ": " << product.text;
    EXPECT_TRUE(m_record.document);
    EXPECT_EQ(m_record.tempPath.rfind(testing_support::SessionFile("document."), 0), 0u) << m_record.tempPath;
  }
}

TEST_F(PreviewJobTest, APdfShowsItsFirstPageAndADamagedOneItsFirst8192Bytes) {
  QM_NEED_PROGRAM("pdftoppm");
  PreviewProduct product;
  ASSERT_EQ(Preview(Item("Docs", "Paper.pdf"), &product), JobResult::kFinished);
  ASSERT_EQ(product.kind, PreviewProductKind::kPicture) << product.note;
  EXPECT_EQ(product.filePath, testing_support::SessionFile("tmp.jpg"));
  const auto png = testing_support::ReadFileBytes(product.filePath);
  ASSERT_GT(png.size(), 8u);
  EXPECT_EQ(std::string(png.begin() + 1, png.begin() + 4), "PNG");
  EXPECT_TRUE(m_record.pdf);

  ASSERT_EQ(Preview(Item("Docs", "Broken.pdf"), &product), JobResult::kFinished);
  ASSERT_EQ(product.kind, PreviewProductKind::kDump);
  const auto bytes = testing_support::ReadFileBytes(m_record.tempPath);
  EXPECT_EQ(testing_support::Sha256OfBytes(bytes), m_sha["/Docs/Broken.pdf"]);
  ASSERT_GT(bytes.size(), kDumpHeadBytes);
  EXPECT_EQ(product.text, CharacterDump(bytes.data(), kDumpHeadBytes));
  EXPECT_TRUE(Contains(product.note, "Not converted (pdftoppm")) << product.note;
  EXPECT_FALSE(platform::PathExists(testing_support::SessionFile("tmp.jpg"))) << "the old page was not deleted";
}

TEST_F(PreviewJobTest, ArchivesListTheirMembers) {
  QM_NEED_PROGRAM("7z|7zz");
  for (const char* name : {"Bundle.zip", "Bundle.7z"}) {
    PreviewProduct product;
    ASSERT_EQ(Preview(Item("Archives", name), &product), JobResult::kFinished);
    EXPECT_EQ(product.kind, PreviewProductKind::kListing) << name << ": " << product.note;
    EXPECT_EQ(product.text.rfind("-------------------", 0), 0u);
    EXPECT_TRUE(Contains(product.text, "inner_notes.txt")) << product.text;
  }
}

TEST_F(PreviewJobTest, TextWithoutAPreviewKindIsShownAsTheTextItIs) {
  PreviewProduct product;
  ASSERT_EQ(Preview(Item("", "Notes.txt"), &product), JobResult::kFinished);
  EXPECT_EQ(product.kind, PreviewProductKind::kText);
  EXPECT_TRUE(m_record.tempPath.empty());
  ASSERT_EQ(m_record.data.size(), 3000u);
  EXPECT_EQ(testing_support::Sha256OfBytes(m_record.data), m_sha["/Notes.txt"]);
  EXPECT_EQ(product.text, std::string(m_record.data.begin(), m_record.data.end()));
}

TEST_F(PreviewJobTest, HostileNamesNeverReachAProgramOrChooseAPath) {
  QM_NEED_PROGRAM("7z|7zz");
  QM_NEED_PROGRAM("catdoc");
  QM_NEED_PROGRAM("pdftoppm");
  const std::string cwd = std::filesystem::current_path().string();
  PreviewProduct product;
  ASSERT_EQ(Preview(Item("Docs", "$(touch pwned) `id`.pdf"), &product), JobResult::kFinished);
  EXPECT_EQ(product.kind, PreviewProductKind::kPicture) << product.note;
  ASSERT_EQ(Preview(Item("Docs", "-rf --help.docx"), &product), JobResult::kFinished);
  EXPECT_EQ(product.kind, PreviewProductKind::kText) << product.note;
  EXPECT_EQ(m_record.tempPath, testing_support::SessionFile("document.docx"));
  ASSERT_EQ(Preview(Item("Docs", "it's; rm -rf ~ & echo.doc"), &product), JobResult::kFinished);
  EXPECT_EQ(product.kind, PreviewProductKind::kText) << product.note;
  EXPECT_FALSE(platform::PathExists(cwd + "/pwned"));
  std::string folder;
  ASSERT_EQ(platform::SessionFolder(&folder), 0);
  EXPECT_FALSE(platform::PathExists(folder + "pwned"));
}

TEST_F(PreviewJobTest, EachPreviewDeletesThePreviousTemporaryFile) {
  QM_NEED_PROGRAM("7z|7zz");
  PreviewProduct product;
  ASSERT_EQ(Preview(Item("Docs", "Report.docx"), &product), JobResult::kFinished);
  const std::string first = m_record.tempPath;
  ASSERT_TRUE(platform::PathExists(first));
  ASSERT_EQ(Preview(Item("Pictures", "Shot.png"), &product), JobResult::kFinished);
  EXPECT_FALSE(platform::PathExists(first));
  EXPECT_TRUE(platform::PathExists(product.filePath));
  std::string folder;
  ASSERT_EQ(platform::SessionFolder(&folder), 0);
  m_session->Shutdown();  // at exit: everything goes
  EXPECT_FALSE(platform::PathExists(folder));
}

TEST_F(PreviewJobTest, AMissingHelperShowsTheDumpNeverAnError) {
  PreviewTools tools = DefaultPreviewTools();
  tools.archiveTool = ParseToolChoices("quellmoor-no-such-7z");
  tools.wordText = ParseToolChoices("quellmoor-no-such-catdoc");
  m_session = std::make_unique<CPreviewSession>(tools);
  for (const char* name : {"Report.docx", "Letter.doc"}) {
    PreviewProduct product;
    ASSERT_EQ(Preview(Item("Docs", name), &product), JobResult::kFinished);
    EXPECT_EQ(product.kind, PreviewProductKind::kDump) << name;
    EXPECT_EQ(product.status, platform::kErrorFileNotFound);
    EXPECT_TRUE(Contains(product.note, "quellmoor-no-such-")) << product.note;
    EXPECT_FALSE(product.text.empty());
  }
}

TEST_F(PreviewJobTest, AHungConverterIsKilledAndTheDumpShown) {
  testing_support::TempDir dir;
  const std::string pidFile = dir.path() + "pid";
  PreviewTools tools = DefaultPreviewTools();
  tools.wordText = {
      {testing::WriteScript(dir.path() + "hang", "#!/bin/sh\necho $$ > '" + pidFile + "'\nexec sleep 60\n")}};
  tools.watchdog = milliseconds(300);
  m_session = std::make_unique<CPreviewSession>(tools);
  PreviewProduct product;
  ASSERT_EQ(Preview(Item("Docs", "Letter.doc"), &product), JobResult::kFinished);
  EXPECT_EQ(product.kind, PreviewProductKind::kDump);
  EXPECT_EQ(product.status, platform::kErrorTimeout);
  const auto bytes = testing_support::ReadFileBytes(m_record.tempPath);
  EXPECT_EQ(product.text, CharacterDump(bytes.data(), std::min<size_t>(bytes.size(), kDumpHeadBytes)));
  const pid_t pid = static_cast<pid_t>(std::stol(ReadText(pidFile)));
  EXPECT_NE(::kill(pid, 0), 0) << "the hung converter still runs";
}

TEST_F(PreviewJobTest, ACancelDuringExtractionDeletesTheTemporaryFile) {
  ScriptedView view;
  int reports = 0;
  view.onLine = [&](ViewLine line, const std::string&) {
    // The second report comes from inside the extraction, once the data is written (a file of
    // less than a read run comes in one piece).
    if (line == ViewLine::kPercent && ++reports == 2 && m_job != nullptr) m_job->Cancel();
  };
  PreviewProduct product;
  EXPECT_EQ(Preview(Item("Docs", "Slides.ppt"), &product, &view), JobResult::kCancelled);
  EXPECT_FALSE(platform::PathExists(testing_support::SessionFile("document.ppt")));
  EXPECT_EQ(product.kind, PreviewProductKind::kFailed);
  EXPECT_TRUE(product.text.empty());
}

TEST_F(PreviewJobTest, ACancelDuringConversionKillsTheHelperAndDeletesTheFile) {
  testing_support::TempDir dir;
  const std::string pidFile = dir.path() + "pid";
  PreviewTools tools = DefaultPreviewTools();
  tools.wordText = {
      {testing::WriteScript(dir.path() + "hang", "#!/bin/sh\necho $$ > '" + pidFile + "'\nexec sleep 60\n")}};
  tools.watchdog = milliseconds(60000);
  m_session = std::make_unique<CPreviewSession>(tools);
  PreviewProduct product;
  const JobResult result = Preview(Item("Docs", "Letter.doc"), &product, nullptr, [&](CPreviewJob& job) {
    ASSERT_TRUE(Eventually([&] { return !ReadText(pidFile).empty(); }));
    job.BeginCancel();
    job.EndCancel(true);
  });
  EXPECT_EQ(result, JobResult::kCancelled);
  EXPECT_FALSE(platform::PathExists(testing_support::SessionFile("document.doc")));
  const pid_t pid = static_cast<pid_t>(std::stol(ReadText(pidFile)));
  EXPECT_NE(::kill(pid, 0), 0) << "the converter outlived the cancel";
}

TEST_F(PreviewJobTest, MediaGoesToThePlayerAndTheNextPreviewEndsIt) {
  testing_support::TempDir dir;
  const std::string argsFile = dir.path() + "args";
  const std::string player =
      testing::WriteScript(dir.path() + "player", "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done > '" +
                                                      argsFile + "'\nexec sleep 60\n");
  PreviewTools tools = DefaultPreviewTools();
  tools.videoPlayer = ParseToolChoices("quellmoor-no-such-player -- %f | '" + player + "' --flag -- %f");
  m_session = std::make_unique<CPreviewSession>(tools);
  PreviewProduct product;
  ASSERT_EQ(Preview(Item("Media", "Clip.avi"), &product), JobResult::kFinished);
  ASSERT_EQ(product.kind, PreviewProductKind::kMedia);
  EXPECT_FALSE(product.audio);
  EXPECT_EQ(product.filePath, testing_support::SessionFile("tmp.avi"));
  EXPECT_EQ(testing_support::Sha256OfFile(product.filePath), m_sha["/Media/Clip.avi"]);
  ASSERT_EQ(m_session->Play(product), 0);
  ASSERT_TRUE(Eventually([&] { return !ReadText(argsFile).empty(); }));
  EXPECT_EQ(ReadText(argsFile), "[--flag][--][" + product.filePath + "]");
  EXPECT_EQ(m_session->Players().Running(), 1u);

  // The user's own player of the same name is never touched.
  std::string out;
  ASSERT_EQ(testing_support::RunCommand("'" + player + "' x >/dev/null 2>&1 & echo $!", &out), 0);
  const pid_t users = static_cast<pid_t>(std::stol(out));
  ASSERT_EQ(Preview(Item("Pictures", "Shot.png"), &product), JobResult::kFinished);
  EXPECT_EQ(m_session->Players().Running(), 0u);
  EXPECT_EQ(::kill(users, 0), 0) << "a player this program did not start was ended";
  ::kill(users, SIGKILL);
}

TEST_F(PreviewJobTest, NoPlayerThatCanStartIsAStatusForMSG1207) {
  PreviewTools tools = DefaultPreviewTools();
  tools.videoPlayer = ParseToolChoices("quellmoor-no-such-player %f | quellmoor-no-such-opener %f");
  m_session = std::make_unique<CPreviewSession>(tools);
  PreviewProduct product;
  ASSERT_EQ(Preview(Item("Media", "Clip.avi"), &product), JobResult::kFinished);
  EXPECT_EQ(m_session->Play(product), platform::kErrorFileNotFound);
  PreviewProduct folder;
  EXPECT_EQ(m_session->Play(folder), platform::kStatusInvalidParameter);
}

// --- An engine's failure and a carved file ----------------------------------------------------

// An engine that found one carved file (the signature engine names them by
// number) and hands out its bytes from memory; or fails every read.
class CarvedEngine final : public engine::IFileRecoveryParse, private engine::IItemCopySource {
 public:
  CarvedEngine(std::vector<uint8_t> bytes, engine::Status readStatus) : m_bytes(std::move(bytes)), m_read(readStatus) {}
  engine::Status OpenImage(const std::string&, uint16_t) override { return 0; }
  engine::Status OpenPartition(int32_t, uint64_t, uint64_t, uint16_t) override { return 0; }
  engine::Status SetProgressCallbacks(engine::ScanProgressFn, engine::CopyProgressFn, void*, int32_t) override {
    return 0;
  }
  engine::Status Scan(const char*) override { return 0; }
  engine::Status ListChildren(const engine::ItemRecord*, int32_t, std::vector<engine::ItemRecord>&) override {
    return 0;
  }
  engine::Status CountFiles(const engine::ItemRecord*, int32_t, int32_t* n) override {
    *n = 1;
    return 0;
  }
  uint64_t GetItemCount() override { return 1; }
  engine::Status GetItemPath(const engine::ItemRecord*, std::string& out) override {
    out.clear();
    return 0;
  }
  engine::Status RecoverItem(const engine::ItemRecord*, const std::string&, int32_t) override { return 87; }
  int32_t GetNextFreeExtent(uint64_t*, uint64_t*) override { return 0; }
  engine::Status SetSearchCallback(engine::SearchProgressFn, void*) override { return 0; }
  int32_t Search(const std::string&, std::vector<engine::ItemRecord>&) override { return 0; }
  engine::Status BuildAllocationMap() override { return 0; }
  engine::Status ExtractItem(const engine::ItemRecord* item, std::string& outTempPath, uint8_t* buffer,
                             uint32_t* inoutLength, engine::ExtractProgressFn fn, void* userData) override {
    return engine::ExtractItemTo(*this, item, outTempPath, buffer, inoutLength, fn, userData);
  }

 private:
  engine::Status CopyItemData(const engine::ItemRecord&, uint64_t byteCount, engine::ICopySink& sink,
                              const engine::CopyProgress& progress) override {
    if (m_read != 0) return m_read;
    for (uint64_t done = 0; done < byteCount;) {
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(512, byteCount - done));
      if (engine::Status s = sink.Write(m_bytes.data() + done, piece); s != 0) return s;
      done += piece;
      if (int32_t r = progress(done, byteCount); r != 0) return r;
    }
    return 0;
  }
  engine::Status ListFolder(const engine::ItemRecord&, int32_t, std::vector<engine::ItemRecord>&) override { return 0; }

  std::vector<uint8_t> m_bytes;
  engine::Status m_read;
};

class CarvedPreviewTest : public ::testing::Test {
 protected:
  FoundItem Carved(const std::vector<uint8_t>& bytes, engine::Status readStatus,
                   const std::string& name = "00001234.png") {
    storage::VolumeTarget target;
    target.isImage = true;
    target.label = "carved";
    auto source = std::make_shared<ScanSource>(target);
    source->engine = std::make_unique<CarvedEngine>(bytes, readStatus);
    FoundItem f;
    f.source = source;
    f.item = engine::ZeroRecord();
    f.item.sourceKind = static_cast<int32_t>(engine::SourceKind::kSignature);
    f.item.size = bytes.size();
    f.item.clusterBytes = -1;
    engine::SetItemName(f.item, name);
    return f;
  }
  PreviewProduct Run(const FoundItem& item, JobResult* result, PreviewRecord* record = nullptr) {
    ScriptedView view;
    PreviewProduct shown;
    auto job = m_session.Select(item, view, &m_texts, &shown);
    EXPECT_NE(job, nullptr);
    EXPECT_EQ(job->Start(), 0);
    *result = job->Wait();
    if (record != nullptr) *record = job->Record();
    return job->Product();
  }

  testing_support::ScopedDataHome m_home;
  MapTexts m_texts = PreviewTexts();
  CPreviewSession m_session{DefaultPreviewTools()};
};

TEST_F(CarvedPreviewTest, ACarvedPngPreviewsThroughTmpJpg) {
  const std::string docs = testing::PreviewDocs();
  if (docs.empty()) GTEST_SKIP() << "tests/fixtures/preview_docs.tar.gz is missing";
  const auto png = testing_support::ReadFileBytes(docs + "shot.png");
  JobResult result;
  const PreviewProduct product = Run(Carved(png, 0), &result);
  ASSERT_EQ(result, JobResult::kFinished);
  EXPECT_EQ(product.kind, PreviewProductKind::kPicture);
  EXPECT_EQ(product.filePath, testing_support::SessionFile("tmp.jpg"));
  EXPECT_EQ(testing_support::ReadFileBytes(product.filePath), png);
}

// HEIC, HEIF, AVIF, WebP and newer RAW files are photos: extracted to
// tmp.jpg and drawn through the picture converter (the RAW cases have no real
// sample: they show that the converter is reached).
TEST_F(CarvedPreviewTest, NewerPhotoKindsReachThePictureConverter) {
  testing_support::TempDir dir;
  std::string out;
  ASSERT_EQ(testing_support::RunCommand("tar -xzf '" + testing_support::FixturePath("modern_samples.tar.gz") +
                                            "' -C '" + dir.path() + "'",
                                        &out),
            0);
  struct Case {
    const char* name;
    const char* sample;  // in modern_samples, or none
    const char* program;
  };
  for (const Case& c : {Case{"00000010.heic", "photo.heic", "heif-convert"},
                        Case{"00000011.HEIF", "photo.heic", "heif-convert"},
                        Case{"00000012.avif", "photo.avif", "heif-convert"},
                        Case{"00000013.webp", "photo.webp", "dwebp"}, Case{"00000014.cr3", nullptr, "dcraw"},
                        Case{"00000015.rw2", nullptr, "dcraw"}}) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> bytes = c.sample != nullptr
                                           ? testing_support::ReadFileBytes(dir.path() + "modern_samples/" + c.sample)
                                           : std::vector<uint8_t>(8192, 0x5A);
    JobResult result;
    PreviewRecord record;
    const PreviewProduct product = Run(Carved(bytes, 0, c.name), &result, &record);
    ASSERT_EQ(result, JobResult::kFinished);
    EXPECT_EQ(record.tempPath, testing_support::SessionFile("tmp.jpg"));
    EXPECT_EQ(record.converter, ConverterKind::kPicture);
    EXPECT_FALSE(record.media);
    if (c.sample == nullptr || !testing::HaveProgram(c.program)) continue;
    ASSERT_EQ(product.kind, PreviewProductKind::kPicture) << product.note;
    const auto picture = testing_support::ReadFileBytes(product.filePath);
    ASSERT_GE(picture.size(), 8u);
    EXPECT_EQ(std::string(picture.begin() + 1, picture.begin() + 4), "PNG");
  }
  // ".avi" stays a video for the player beside "*.avif".
  PreviewRecord avi;
  ClassifyForPreview("clip.avi", &avi);
  EXPECT_TRUE(avi.media);
  EXPECT_EQ(avi.converter, ConverterKind::kNone);
}

TEST_F(CarvedPreviewTest, ACancelInTheMiddleOfTheExtractionLeavesNoTemporaryFile) {
  ScriptedView view;
  int reports = 0;
  CPreviewJob* running = nullptr;
  view.onLine = [&](ViewLine line, const std::string&) {
    if (line == ViewLine::kPercent && ++reports == 3 && running != nullptr) running->Cancel();
  };
  PreviewProduct shown;
  auto job = m_session.Select(Carved(std::vector<uint8_t>(64 << 10, 7), 0), view, &m_texts, &shown);
  ASSERT_NE(job, nullptr);
  running = job.get();
  ASSERT_EQ(job->Start(), 0);
  EXPECT_EQ(job->Wait(), JobResult::kCancelled);
  EXPECT_LT(view.LinesOf(ViewLine::kPercent).size(), 10u);  // it stopped early
  EXPECT_FALSE(platform::PathExists(testing_support::SessionFile("tmp.jpg")));
}

TEST_F(CarvedPreviewTest, AFailedExtractionShowsTheReasonNotAnEmptyPane) {
  JobResult result;
  const PreviewProduct product = Run(Carved(std::vector<uint8_t>(100, 1), platform::kStatusReadFault), &result);
  EXPECT_EQ(result, JobResult::kFinished);
  EXPECT_EQ(product.kind, PreviewProductKind::kFailed);
  EXPECT_EQ(product.status, platform::kStatusReadFault);
  EXPECT_EQ(product.text, "Could not read it: The device returned no data where it should");
  EXPECT_FALSE(platform::PathExists(testing_support::SessionFile("tmp.jpg")));
}

}  // namespace
}  // namespace jobs

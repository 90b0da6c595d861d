// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

#include "tests/cli/cli_test_util.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using cli_testing::CliResult;

// One shell word holding text as it is.
std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted.push_back(c);
    }
  }
  return quoted + "'";
}

std::set<std::string> FilesIn(const std::string& dir) {
  std::set<std::string> names;
  if (!fs::exists(dir)) return names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

std::string ReadText(const std::string& path) {
  const auto bytes = testing_support::ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

// Whether one of the programs ("7z 7zz") is in PATH.
bool Have(const std::string& programs) {
  std::string out;
  return testing_support::RunCommand("for p in " + programs + "; do command -v \"$p\" && exit 0; done; exit 1", &out) ==
         0;
}

// preview_fat.img copied into the test's folder; the quellmoor command run
// in that folder with its data and config folders below it.
class PreviewCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string fixture = testing_support::UnpackedFixture("preview_fat.img.gz");
    if (fixture.empty()) GTEST_SKIP() << "tests/fixtures/preview_fat.img.gz is missing";
    m_image = m_work.path() + "card.img";
    testing_support::WriteFileBytes(m_image, testing_support::ReadFileBytes(fixture));
    m_before = testing_support::Sha256OfFile(m_image);
    m_out = m_work.path() + "out";
  }
  void TearDown() override {
    if (m_image.empty()) return;
    EXPECT_EQ(testing_support::Sha256OfFile(m_image), m_before) << "the source was written";
    // Nothing of the preview outlives the command.
    for (const auto& name : FilesIn(m_work.path() + "data/Quellmoor")) EXPECT_NE(name.rfind("preview-", 0), 0u) << name;
  }
  CliResult Preview(const std::string& item, const std::string& extra = "") {
    CliResult r;
    r.status = testing_support::RunCommand(
        "cd " + Quote(m_work.path()) + " && QUELLMOOR_DISKS= XDG_DATA_HOME=" + Quote(m_work.path() + "data") +
            " XDG_CONFIG_HOME=" + Quote(m_work.path() + "config") + " " + Quote(testing_support::CliPath()) +
            " preview " + extra + " " + Quote(m_image) + " " + Quote(item) + " --out " + Quote(m_out) + " </dev/null",
        &r.out, &r.err);
    return r;
  }

  testing_support::TempDir m_work;
  std::string m_image, m_before, m_out;
};

TEST_F(PreviewCommandTest, ADocumentsTextIsWrittenAndNamed) {
  if (!Have("7z 7zz")) GTEST_SKIP() << "7z is not installed (scripts/install-deps.sh installs it)";
  // No scan was kept yet: the command scans first.
  const CliResult r = Preview("/Docs/Report.docx");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Text written to " + m_out + "/text.txt\n");
  EXPECT_EQ(ReadText(m_out + "/text.txt"),
            "QM-PREVIEW-WORD first paragraph\nA second paragraph with an ampersand & and <angle> brackets.\n");
  // Again, from the kept results: a second product never replaces the first.
  ASSERT_EQ(Preview("Docs/Report.docx").status, 0);
  EXPECT_EQ(FilesIn(m_out), (std::set<std::string>{"text.txt", "text(1).txt"}));
}

TEST_F(PreviewCommandTest, AnItemNamedByEngineAndId) {
  if (!Have("7z 7zz")) GTEST_SKIP() << "7z is not installed (scripts/install-deps.sh installs it)";
  const CliResult scan = cli_testing::RunCli(m_work.path(), "scan --json " + Quote(m_image));
  ASSERT_EQ(scan.status, 0) << scan.err;
  std::string engineAndId;
  for (const auto& f : nlohmann::json::parse(scan.out)) {
    if (f["path"] == "Archives/Bundle.zip") {
      engineAndId = f["engine"].get<std::string>() + ":" + std::to_string(f["id"].get<int>());
    }
  }
  ASSERT_EQ(engineAndId.rfind("fast-fat:", 0), 0u) << scan.out;
  const CliResult r = Preview(engineAndId);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Archive listing written to " + m_out + "/listing.txt\n");
  const std::string listing = ReadText(m_out + "/listing.txt");
  EXPECT_EQ(listing.rfind("-------------------", 0), 0u) << listing;
  EXPECT_NE(listing.find("inner_notes.txt"), std::string::npos) << listing;
  EXPECT_EQ(Preview("fast-fat:99999").status, 1);
}

TEST_F(PreviewCommandTest, PicturesAndPdfPagesAreWrittenAsPictures) {
  CliResult r = Preview("/Pictures/Shot.png");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Picture written to " + m_out + "/picture.png\n");
  const auto manifest = testing_support::ReadManifest(testing_support::FixturePath("preview_fat.manifest.tsv"));
  for (const auto& row : manifest) {
    if (row.path == "/Pictures/Shot.png") {
      EXPECT_EQ(testing_support::Sha256OfFile(m_out + "/picture.png"), row.sha256);
    }
  }
  if (!Have("pdftoppm")) GTEST_SKIP() << "pdftoppm is not installed (scripts/install-deps.sh installs it)";
  r = Preview("/Docs/$(touch pwned) `id`.pdf");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Picture written to " + m_out + "/picture(1).png\n");
  EXPECT_FALSE(fs::exists(m_work.path() + "pwned"));
}

TEST_F(PreviewCommandTest, ADamagedPdfGivesItsRawFirstBytesAndPlainTextItsText) {
  CliResult r = Preview("/Docs/Broken.pdf");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Raw first bytes written to " + m_out + "/dump.txt\n");
  EXPECT_NE(r.err.find("could not be converted"), std::string::npos) << r.err;
  const std::string dump = ReadText(m_out + "/dump.txt");
  EXPECT_EQ(dump.rfind("%PDF-1.", 0), 0u);
  size_t breaks = 0;
  for (size_t at = dump.find("\r\n"); at != std::string::npos; at = dump.find("\r\n", at + 2)) ++breaks;
  EXPECT_EQ(breaks, 8u);  // 8,192 bytes: a break after every 1,024 characters

  r = Preview("/Notes.txt");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Text written to " + m_out + "/text.txt\n");
  std::string notes;
  for (const auto& row : testing_support::ReadManifest(testing_support::FixturePath("preview_fat.manifest.tsv"))) {
    if (row.path == "/Notes.txt") notes = row.sha256;
  }
  EXPECT_EQ(testing_support::Sha256OfFile(m_out + "/text.txt"), notes);
}

TEST_F(PreviewCommandTest, AMissingHelperDegradesToTheDump) {
  fs::create_directories(m_work.path() + "config/quellmoor");
  const std::string config = "[Preview]\nArchiveTool=quellmoor-no-such-7z\n";
  testing_support::WriteFileBytes(m_work.path() + "config/quellmoor/config.ini",
                                  std::vector<uint8_t>(config.begin(), config.end()));
  const CliResult r = Preview("/Docs/Report.docx");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Raw first bytes written to " + m_out + "/dump.txt\n");
  EXPECT_NE(r.err.find("quellmoor-no-such-7z"), std::string::npos) << r.err;
  EXPECT_EQ(ReadText(m_out + "/dump.txt").rfind("PK", 0), 0u);
}

TEST_F(PreviewCommandTest, FoldersMissingItemsAndUnusableOutputs) {
  CliResult r = Preview("/Old Trip");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "This is a folder. Select a file to see a preview of it.\n");
  EXPECT_TRUE(FilesIn(m_out).empty());

  r = Preview("/Docs/nothing.docx");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no found file '/Docs/nothing.docx'"), std::string::npos) << r.err;

  testing_support::WriteFileBytes(m_out, {'x'});
  r = Preview("/Notes.txt");
  EXPECT_EQ(r.status, 2);
}

TEST_F(PreviewCommandTest, AnAmbiguousPathListsTheEngineAndIdOfEach) {
  const std::string disk3 = testing_support::UnpackedFixture("disk3_mbr.img.gz");
  ASSERT_FALSE(disk3.empty());
  m_image = m_work.path() + "disk3.img";
  testing_support::WriteFileBytes(m_image, testing_support::ReadFileBytes(disk3));
  m_before = testing_support::Sha256OfFile(m_image);
  // Two deleted files CAT.JPG and BAT.JPG both show as "!at.jpg".
  const CliResult r = Preview("/!at.jpg");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("more than one"), std::string::npos) << r.err;
  size_t listed = 0;
  for (size_t at = r.err.find("fast-fat:"); at != std::string::npos; at = r.err.find("fast-fat:", at + 1)) ++listed;
  EXPECT_EQ(listed, 2u) << r.err;
}

}  // namespace

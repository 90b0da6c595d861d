// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <signal.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "jobs/character_dump.h"
#include "jobs/document_converter.h"
#include "jobs/preview_product.h"
#include "jobs/preview_tools.h"
#include "jobs/xml_text.h"
#include "platform/folders.h"
#include "tests/jobs/job_test_util.h"
#include "tests/jobs/preview_test_util.h"
#include "tests/support/test_support.h"

namespace jobs {
namespace {

using std::chrono::milliseconds;
using testing::PreviewDocs;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// --- Character dump -------------------------------------------------------------------------

TEST(CharacterDump, BreaksAfterEvery1024CharactersAndAtTheEnd) {
  std::vector<uint8_t> bytes(3000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>('a' + i % 26);
  bytes[5] = 0;
  const std::string dump = CharacterDump(bytes.data(), bytes.size());
  ASSERT_EQ(dump.size(), 3000u + 3 * 2);
  EXPECT_EQ(dump.substr(1024, 2), "\r\n");
  EXPECT_EQ(dump.substr(1026 + 1024, 2), "\r\n");
  EXPECT_EQ(dump.substr(dump.size() - 2), "\r\n");
  EXPECT_EQ(dump[5], '.');  // a zero byte
  EXPECT_EQ(dump.find("\r\n"), 1024u);
  EXPECT_EQ(CharacterDump(bytes.data(), 1024), std::string(dump, 0, 1026));  // exactly one line: one break
  EXPECT_EQ(CharacterDump(bytes.data(), 0), "");
}

TEST(CharacterDump, HighBytesAreOneCharacterEach) {
  const uint8_t bytes[] = {0x41, 0xE9, 0xFF, 0x00};
  EXPECT_EQ(CharacterDump(bytes, sizeof bytes), "A\xC3\xA9\xC3\xBF.\r\n");
}

TEST(CharacterDump, OfAFileHeadTakesItsFirst8192Bytes) {
  testing_support::TempDir dir;
  std::vector<uint8_t> bytes(10000, 'x');
  bytes[8191] = 'y';
  bytes[8192] = 'z';
  testing_support::WriteFileBytes(dir.path() + "f", bytes);
  std::string dump;
  ASSERT_EQ(DumpOfFileHead(dir.path() + "f", &dump), 0);
  EXPECT_EQ(dump.size(), 8192u + 8 * 2);
  EXPECT_NE(dump.find('y'), std::string::npos);
  EXPECT_EQ(dump.find('z'), std::string::npos);
  EXPECT_EQ(DumpOfFileHead(dir.path() + "missing", &dump), platform::kErrorFileNotFound);
}

// --- Configured commands --------------------------------------------------------------------

TEST(ToolChoices, WordsQuotesAndAlternatives) {
  EXPECT_EQ(ParseToolChoices("mpv --no-terminal -- %f | xdg-open %f"),
            (ToolChoices{{"mpv", "--no-terminal", "--", "%f"}, {"xdg-open", "%f"}}));
  EXPECT_EQ(ParseToolChoices("  \"/opt/my tools/7z\"  'a b' | | 7zz "),
            (ToolChoices{{"/opt/my tools/7z", "a b"}, {"7zz"}}));
  EXPECT_EQ(ParseToolChoices("a|b"), (ToolChoices{{"a|b"}}));  // "|" separates only as a word of its own
  EXPECT_TRUE(ParseToolChoices("   ").empty());
  const PreviewTools tools = DefaultPreviewTools();
  EXPECT_EQ(tools.pdfRenderer, (ToolChoices{{"pdftoppm"}}));
  EXPECT_EQ(tools.archiveTool, (ToolChoices{{"7z"}, {"7zz"}}));
  EXPECT_EQ(tools.videoPlayer.back().front(), "xdg-open");
  EXPECT_EQ(tools.watchdog, milliseconds(6000));
}

TEST(ConverterChoice, NarrowListsInTheirOrder) {
  EXPECT_EQ(ConverterFor("docx"), ConverterKind::kWord);
  EXPECT_EQ(ConverterFor("RTF"), ConverterKind::kWord);
  EXPECT_EQ(ConverterFor("pptx"), ConverterKind::kPresentation);
  EXPECT_EQ(ConverterFor("xls"), ConverterKind::kSpreadsheet);
  EXPECT_EQ(ConverterFor("csv"), ConverterKind::kSpreadsheet);
  EXPECT_EQ(ConverterFor("pdf"), ConverterKind::kPdf);
  EXPECT_EQ(ConverterFor("7z"), ConverterKind::kArchive);
  EXPECT_EQ(ConverterFor("gz"), ConverterKind::kArchive);
  EXPECT_EQ(ConverterFor("do"), ConverterKind::kWord);  // a substring of "*.doc"
  EXPECT_EQ(ConverterFor("jpg"), ConverterKind::kNone);
  EXPECT_EQ(ConverterFor(""), ConverterKind::kNone);
}

TEST(PreviewRecord, FlagsComeFromTheExtension) {
  PreviewRecord r;
  ClassifyForPreview("song.MP3", &r);
  EXPECT_TRUE(r.media && r.audio && !r.document);
  ClassifyForPreview("clip.avi", &r);
  EXPECT_TRUE(r.media && !r.audio);
  ClassifyForPreview("Report.PDF", &r);
  EXPECT_TRUE(r.document && r.pdf && !r.media);
  EXPECT_EQ(r.converter, ConverterKind::kPdf);
  ClassifyForPreview("bundle.zip", &r);
  EXPECT_TRUE(r.document && !r.pdf);
  EXPECT_EQ(r.converter, ConverterKind::kArchive);
  ClassifyForPreview("photo.jpg", &r);
  EXPECT_FALSE(r.media || r.document || r.pdf);
  EXPECT_EQ(r.converter, ConverterKind::kNone);
}

// --- Text of XML parts ----------------------------------------------------------------------

TEST(XmlText, ParagraphsRunsTabsAndEntities) {
  const std::string docx =
      "<?xml version=\"1.0\"?><w:document><w:body>"
      "<w:p><w:pPr><w:tabs><w:tab w:val=\"left\" w:pos=\"720\"/></w:tabs></w:pPr>"
      "<w:r><w:t>Fish &amp; chips</w:t></w:r><w:r><w:tab/><w:t xml:space=\"preserve\"> caf&#233; "
      "&#x263A;</w:t></w:r></w:p>"
      "<!-- <w:t>not this</w:t> --><w:p><w:r><w:t>second</w:t><w:br/><w:t><![CDATA[a<b]]></w:t></w:r></w:p>"
      "<w:tbl><w:tr><w:tc><w:p><w:r><w:t>c1</w:t></w:r></w:p></w:tc><w:tc><w:p><w:r><w:t>c2</w:t></w:r></w:p></w:tc>"
      "</w:tr></w:tbl><w:sectPr><w:pgSz w:w=\"11906\"/></w:sectPr></w:body></w:document>";
  EXPECT_EQ(TextOfDocumentXml(docx, 1 << 20), "Fish & chips\t caf\xC3\xA9 \xE2\x98\xBA\nsecond\na<b\nc1 \tc2");
  const std::string odt =
      "<office:text><text:h>Title</text:h><text:p>one<text:s text:c=\"3\"/>two<text:tab/>"
      "<text:span>three</text:span><text:line-break/>four</text:p><table:table><table:table-row>"
      "<table:table-cell><text:p>x</text:p></table:table-cell><table:table-cell><text:p>y</text:p></table:table-cell>"
      "</table:table-row></table:table></office:text>";
  EXPECT_EQ(TextOfDocumentXml(odt, 1 << 20), "Title\none   two\tthree\nfour\nx \ty");
}

TEST(XmlText, MalformedAndHostileMarkupEndsQuietly) {
  EXPECT_EQ(TextOfDocumentXml("<w:p><w:t>cut", 100), "cut");
  EXPECT_EQ(TextOfDocumentXml("<w:p><w:t>a</w:t", 100), "a");
  EXPECT_EQ(TextOfDocumentXml("</w:t></w:p><w:t>b</w:t>", 100), "b");
  EXPECT_EQ(TextOfDocumentXml("<w:t>&#0;&#xD800;&#1114112;&bogus;&#x41;</w:t>", 100), "&#1114112;&bogus;A");
  EXPECT_EQ(TextOfDocumentXml("<w:t a=\"x>y\">ok</w:t>", 100), "ok");
  EXPECT_EQ(TextOfDocumentXml(std::string(100000, '<'), 100), "");
  std::string deep;
  for (int i = 0; i < 5000; ++i) deep += "<a:p>";
  deep += "<a:t>deep</a:t>";
  EXPECT_EQ(TextOfDocumentXml(deep, 100), "");  // beyond the followed depth nothing is taken
  EXPECT_EQ(TextOfDocumentXml("<w:t>" + std::string(5000, 'x') + "</w:t>", 100).size(), 100u);
}

TEST(XmlText, SheetsResolveSharedStringsAndInlineStrings) {
  const auto shared = SharedStringsOf(
      "<sst><si><t>name</t></si><si><r><t>ri</t></r><r><t>ch</t></r><rPh><t>reading</t></rPh></si><si/></sst>", 10);
  EXPECT_EQ(shared, (std::vector<std::string>{"name", "rich", ""}));
  const std::string sheet =
      "<worksheet><sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"s\"><v>1</v></c></row>"
      "<row r=\"2\"><c r=\"A2\" t=\"n\"><v>1.25</v></c><c t=\"inlineStr\"><is><t>in&amp;line</t></is></c>"
      "<c t=\"s\"><v>99</v></c><c t=\"s\"><v>-1</v></c></row></sheetData></worksheet>";
  EXPECT_EQ(TextOfSheetXml(sheet, shared, 1 << 20), "name\trich\n1.25\tin&line");
}

// --- Converters on documents made by real programs ------------------------------------------

class ConverterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_docs = PreviewDocs();
    if (m_docs.empty()) GTEST_SKIP() << "tests/fixtures/preview_docs.tar.gz is missing";
    m_tools = DefaultPreviewTools();
  }
  platform::Status Convert(ConverterKind kind, const std::string& path, ConversionOutput* out) {
    CToolRunner runner(m_tools, m_stop);
    auto converter = MakeConverter(kind, runner);
    return converter->Convert(path, out);
  }
  std::string Doc(const std::string& name) { return m_docs + name; }

  testing_support::ScopedDataHome m_home;
  std::string m_docs;
  PreviewTools m_tools;
  std::function<bool()> m_stop;
};

TEST_F(ConverterTest, WordDocumentsGiveTheirText) {
  QM_NEED_PROGRAM("7z|7zz");
  ConversionOutput out;
  ASSERT_EQ(Convert(ConverterKind::kWord, Doc("report.docx"), &out), 0) << out.problem;
  EXPECT_EQ(out.text, "QM-PREVIEW-WORD first paragraph\nA second paragraph with an ampersand & and <angle> brackets.");
  ASSERT_EQ(Convert(ConverterKind::kWord, Doc("notes.odt"), &out), 0) << out.problem;
  EXPECT_TRUE(Contains(out.text, "QM-PREVIEW-WORD first paragraph\nA second paragraph")) << out.text;
}

TEST_F(ConverterTest, OldWordDocumentGoesThroughCatdoc) {
  QM_NEED_PROGRAM("catdoc");
  ConversionOutput out;
  ASSERT_EQ(Convert(ConverterKind::kWord, Doc("letter.doc"), &out), 0) << out.problem;
  EXPECT_TRUE(Contains(out.text, "QM-PREVIEW-WORD first paragraph")) << out.text;
  EXPECT_TRUE(Contains(out.text, "ampersand & and <angle>")) << out.text;
}

TEST_F(ConverterTest, SpreadsheetsGiveRowsOfCells) {
  QM_NEED_PROGRAM("7z|7zz");
  QM_NEED_PROGRAM("xls2csv");
  ConversionOutput out;
  ASSERT_EQ(Convert(ConverterKind::kSpreadsheet, Doc("sheet.xlsx"), &out), 0) << out.problem;
  EXPECT_EQ(out.text, "item\tcount\tprice\nQM-PREVIEW-SHEET\t3\t1.25\npear\t5\t0.8");
  ASSERT_EQ(Convert(ConverterKind::kSpreadsheet, Doc("sheet.xls"), &out), 0) << out.problem;
  EXPECT_TRUE(Contains(out.text, "\"QM-PREVIEW-SHEET\",\"3\",\"1.25\"")) << out.text;
}

TEST_F(ConverterTest, PresentationSlidesComeInSlideOrder) {
  QM_NEED_PROGRAM("7z|7zz");
  ConversionOutput out;
  ASSERT_EQ(Convert(ConverterKind::kPresentation, Doc("slides.pptx"), &out), 0) << out.problem;
  EXPECT_EQ(out.text, "QM-PREVIEW-SLIDE one\n\nQM-PREVIEW-SLIDE two");
}

TEST_F(ConverterTest, APresentationWithoutReadableTextIsAFailure) {
  QM_NEED_PROGRAM("catppt");
  // catppt finds no text in the slides LibreOffice writes: that is "no text", shown as the dump.
  ConversionOutput out;
  const platform::Status s = Convert(ConverterKind::kPresentation, Doc("slides.ppt"), &out);
  if (s == 0) {
    EXPECT_TRUE(Contains(out.text, "QM-PREVIEW-SLIDE")) << out.text;
  } else {
    EXPECT_EQ(s, platform::kErrorInvalidData);
    EXPECT_FALSE(out.problem.empty());
  }
}

TEST_F(ConverterTest, PdfFirstPageBecomesAPictureAndADamagedPdfFails) {
  QM_NEED_PROGRAM("pdftoppm");
  ConversionOutput out;
  ASSERT_EQ(Convert(ConverterKind::kPdf, Doc("paper.pdf"), &out), 0) << out.problem;
  EXPECT_EQ(out.picturePath, testing_support::SessionFile("tmp.jpg"));
  const auto picture = testing_support::ReadFileBytes(out.picturePath);
  ASSERT_GE(picture.size(), 8u);
  EXPECT_EQ(std::string(picture.begin() + 1, picture.begin() + 4), "PNG");
  EXPECT_FALSE(platform::PathExists(testing_support::SessionFile("page.png")));

  EXPECT_EQ(Convert(ConverterKind::kPdf, Doc("broken.pdf"), &out), platform::kErrorInvalidData);
  EXPECT_TRUE(out.picturePath.empty());
  EXPECT_TRUE(Contains(out.problem, "pdftoppm")) << out.problem;
}

TEST_F(ConverterTest, ArchivesListTheirMembersFromTheMarkOn) {
  QM_NEED_PROGRAM("7z|7zz");
  for (const char* name : {"bundle.zip", "bundle.7z"}) {
    ConversionOutput out;
    ASSERT_EQ(Convert(ConverterKind::kArchive, Doc(name), &out), 0) << name << ": " << out.problem;
    EXPECT_EQ(out.text.rfind("-------------------", 0), 0u) << out.text;
    EXPECT_TRUE(Contains(out.text, "inner_notes.txt")) << out.text;
    EXPECT_TRUE(Contains(out.text, "readme.txt")) << out.text;
  }
  ConversionOutput out;
  EXPECT_EQ(Convert(ConverterKind::kArchive, Doc("paper.pdf"), &out), platform::kErrorInvalidData);
}

TEST_F(ConverterTest, ContentDecidesNotTheName) {
  // A PDF named .doc is never handed to catdoc (which would print its raw bytes).
  ConversionOutput out;
  EXPECT_EQ(Convert(ConverterKind::kWord, Doc("paper.pdf"), &out), platform::kErrorInvalidData);
  EXPECT_EQ(Convert(ConverterKind::kSpreadsheet, Doc("shot.png"), &out), platform::kErrorInvalidData);
  EXPECT_EQ(Convert(ConverterKind::kPresentation, Doc("notes.txt"), &out), platform::kErrorInvalidData);
}

TEST_F(ConverterTest, AMissingHelperIsAStatusNotAnError) {
  m_tools.archiveTool = ParseToolChoices("quellmoor-no-such-7z | quellmoor-no-such-7zz");
  m_tools.pdfRenderer = ParseToolChoices("quellmoor-no-such-pdftoppm");
  ConversionOutput out;
  EXPECT_EQ(Convert(ConverterKind::kWord, Doc("report.docx"), &out), platform::kErrorFileNotFound);
  EXPECT_TRUE(Contains(out.problem, "quellmoor-no-such-7z")) << out.problem;
  EXPECT_EQ(Convert(ConverterKind::kPdf, Doc("paper.pdf"), &out), platform::kErrorFileNotFound);
}

TEST_F(ConverterTest, AHungHelperIsKilledByTheWatchdog) {
  testing_support::TempDir dir;
  const std::string pidFile = dir.path() + "pid";
  m_tools.wordText = {
      {testing::WriteScript(dir.path() + "hang", "#!/bin/sh\necho $$ > '" + pidFile + "'\nexec sleep 60\n")}};
  m_tools.watchdog = milliseconds(300);
  ConversionOutput out;
  EXPECT_EQ(Convert(ConverterKind::kWord, Doc("letter.doc"), &out), platform::kErrorTimeout);
  std::ifstream in(pidFile);
  pid_t pid = 0;
  in >> pid;
  ASSERT_GT(pid, 0);
  EXPECT_NE(::kill(pid, 0), 0) << "the hung converter still runs";
}

TEST_F(ConverterTest, HostileFileNamesReachTheProgramsAsOneArgument) {
  QM_NEED_PROGRAM("7z|7zz");
  QM_NEED_PROGRAM("pdftoppm");
  testing_support::TempDir dir;
  const std::string docx = dir.path() + "-rf --help.docx";
  const std::string pdf = dir.path() + "$(touch pwned) `touch pwned`; touch pwned; it's \"a\".pdf";
  testing_support::WriteFileBytes(docx, testing_support::ReadFileBytes(Doc("report.docx")));
  testing_support::WriteFileBytes(pdf, testing_support::ReadFileBytes(Doc("paper.pdf")));
  ConversionOutput out;
  // Relative names that start with "-" too: "--" comes first.
  const std::string before = std::filesystem::current_path().string();
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  EXPECT_EQ(Convert(ConverterKind::kWord, "-rf --help.docx", &out), 0) << out.problem;
  EXPECT_TRUE(Contains(out.text, "QM-PREVIEW-WORD"));
  EXPECT_EQ(Convert(ConverterKind::kPdf, pdf, &out), 0) << out.problem;
  EXPECT_EQ(Convert(ConverterKind::kArchive, docx, &out), 0) << out.problem;
  EXPECT_FALSE(platform::PathExists(dir.path() + "pwned"));
  ASSERT_EQ(::chdir(before.c_str()), 0);
}

}  // namespace
}  // namespace jobs

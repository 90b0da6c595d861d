// SPDX-License-Identifier: GPL-3.0-or-later
// The logic of the results page without widgets: the filter box and the
// quick filters, the status line, and what the preview pane says.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "app/main_window_model.h"
#include "app/preview_pane.h"
#include "app/result_filter.h"
#include "app/result_summary.h"
#include "app/result_table.h"
#include "jobs/character_dump.h"
#include "platform/file_time.h"

namespace app {
namespace {

constexpr uint64_t kDay = 864'000'000'000ull;

uint64_t Time(int year, int month, int day, int hour = 12) {
  platform::SystemTime t;
  t.year = year, t.month = month, t.day = day, t.hour = hour;
  uint64_t ft = 0;
  EXPECT_TRUE(platform::SystemTimeToFileTime(t, &ft));
  return ft;
}

jobs::FoundItem Row(const char* name, uint64_t size, uint64_t modified,
                    engine::ItemState state = engine::ItemState::kIntact, bool deleted = true, bool folder = false) {
  jobs::FoundItem f;
  engine::SetItemName(f.item, name);
  f.item.size = size;
  f.item.modified = modified;
  f.item.isDeleted = deleted ? 1 : 0;
  f.item.isFolder = folder ? 1 : 0;
  engine::SetState(f.item, state);
  return f;
}

class Texts final : public jobs::ITextSource {
 public:
  std::map<std::string, std::string> main = {{"StatusFound", "%s files found"},
                                             {"StatusFoundOne", "1 file found"},
                                             {"StatusShown", "%s shown"},
                                             {"StatusChecked", "%s checked (%s)"},
                                             {"StatusNoneChecked", "none checked"},
                                             {"StatusCheckedFolders", "and %s folders"},
                                             {"StatusDrive", "on %s"},
                                             {"TipReassembled", "put together from %s pieces"},
                                             {"NoTextPreview", "No text preview."}};
  std::string Text(std::string_view section, std::string_view key) const override {
    if (section != "MainWnd") return {};
    auto it = main.find(std::string(key));
    return it == main.end() ? std::string() : it->second;
  }
};

std::vector<std::string> Names(const CResultTable& t) {
  std::vector<std::string> out;
  for (size_t i = 0; i < t.RowCount(); ++i) out.emplace_back(t.Row(i).item.Name());
  return out;
}

TEST(ResultFilter, EachQuickFilterKeepsWhatItNames) {
  const uint64_t now = Time(2026, 3, 7, 15);
  std::vector<jobs::FoundItem> rows = {
      Row("Vacation Picture.JPG", 3u << 20, now - 2 * kDay),
      Row("Ärger im Büro.docx", 40u << 10, Time(2026, 3, 7, 9)),
      Row("scan.pdf", 500u << 10, now - 40 * kDay, engine::ItemState::kDamaged),
      Row("clip.mp4", 300u << 20, now - 400 * kDay, engine::ItemState::kOverwritten),
      Row("kept.txt", 10, now - 3 * kDay, engine::ItemState::kIntact, false),
      Row("Holiday", 0, 0, engine::ItemState::kIntact, true, true),
  };
  struct Case {
    const char* what;
    std::function<void(ResultFilter&)> set;
    std::vector<std::string> shown;
  };
  const Case cases[] = {
      {"nothing",
       [](ResultFilter&) {},
       {"Holiday", "Vacation Picture.JPG", "Ärger im Büro.docx", "scan.pdf", "clip.mp4", "kept.txt"}},
      {"name, any case", [](ResultFilter& f) { f.nameContains = "PICTURE.j"; }, {"Vacation Picture.JPG"}},
      {"name, umlauts", [](ResultFilter& f) { f.nameContains = "ÄRGER IM bÜro"; }, {"Ärger im Büro.docx"}},
      {"folders match by name", [](ResultFilter& f) { f.nameContains = "holi"; }, {"Holiday"}},
      {"deleted",
       [](ResultFilter& f) { f.deletedOnly = true; },
       {"Holiday", "Vacation Picture.JPG", "Ärger im Büro.docx", "scan.pdf", "clip.mp4"}},
      {"damaged", [](ResultFilter& f) { f.damagedOnly = true; }, {"Holiday", "scan.pdf"}},
      {"overwritten", [](ResultFilter& f) { f.overwrittenOnly = true; }, {"Holiday", "clip.mp4"}},
      {"damaged or overwritten",
       [](ResultFilter& f) { f.damagedOnly = f.overwrittenOnly = true; },
       {"Holiday", "scan.pdf", "clip.mp4"}},
      {"small", [](ResultFilter& f) { f.SetSize(SizePreset::kSmall); }, {"Holiday", "Ärger im Büro.docx", "kept.txt"}},
      {"medium", [](ResultFilter& f) { f.SetSize(SizePreset::kMedium); }, {"Holiday", "scan.pdf"}},
      {"large", [](ResultFilter& f) { f.SetSize(SizePreset::kLarge); }, {"Holiday", "Vacation Picture.JPG"}},
      {"huge", [](ResultFilter& f) { f.SetSize(SizePreset::kHuge); }, {"Holiday", "clip.mp4"}},
      {"today", [now](ResultFilter& f) { f.SetDate(DatePreset::kToday, now); }, {"Holiday", "Ärger im Büro.docx"}},
      {"last week",
       [now](ResultFilter& f) { f.SetDate(DatePreset::kLastWeek, now); },
       {"Holiday", "Vacation Picture.JPG", "Ärger im Büro.docx", "kept.txt"}},
      {"last year",
       [now](ResultFilter& f) { f.SetDate(DatePreset::kLastYear, now); },
       {"Holiday", "Vacation Picture.JPG", "Ärger im Büro.docx", "scan.pdf", "kept.txt"}},
      {"a range",
       [](ResultFilter& f) { f.fromTime = Time(2026, 1, 1), f.toTime = Time(2026, 3, 1); },
       {"Holiday", "scan.pdf"}},
      {"name and state", [](ResultFilter& f) { f.nameContains = "c", f.overwrittenOnly = true; }, {"clip.mp4"}},
  };
  CResultTable table;
  table.SetRows(rows);
  for (const Case& c : cases) {
    ResultFilter filter;
    c.set(filter);
    table.SetFilter(filter);
    EXPECT_EQ(Names(table), c.shown) << c.what;
    EXPECT_EQ(table.AllRowCount(), rows.size()) << c.what;
    EXPECT_EQ(filter.Active(), std::string(c.what) != "nothing") << c.what;
  }
}

TEST(ResultFilter, SortingAndPagingFollowTheFilter) {
  std::vector<jobs::FoundItem> rows;
  for (int i = 0; i < 25; ++i) {
    rows.push_back(Row((std::string(i % 2 ? "odd" : "even") + std::to_string(i) + ".jpg").c_str(),
                       static_cast<uint64_t>(i), Time(2025, 1, 1 + i)));
  }
  CResultTable table(4);
  table.SetRows(rows);
  table.Sort(ResultColumn::kModified, false);
  ResultFilter odd;
  odd.nameContains = "odd";
  table.SetFilter(odd);
  ASSERT_EQ(table.RowCount(), 12u);
  EXPECT_EQ(table.PageCount(), 3u);
  EXPECT_EQ(std::string(table.Row(0).item.Name()), "odd23.jpg");  // newest first
  EXPECT_EQ(std::string(table.Row(11).item.Name()), "odd1.jpg");
  // A new sort keeps the filter; new rows keep it too.
  table.Sort(ResultColumn::kSize, true);
  EXPECT_EQ(std::string(table.Row(0).item.Name()), "odd1.jpg");
  table.SetRows(rows);
  EXPECT_EQ(table.RowCount(), 12u);
  EXPECT_EQ(table.RowPosition(0), 1u);
  table.SetFilter({});
  EXPECT_EQ(table.RowCount(), 25u);
}

TEST(ResultSummary, TheStatusLineSaysWhatIsFoundCheckedAndWhere) {
  Texts texts;
  NumberTexts numbers{[](uint64_t n) { return std::to_string(n); },
                      [](uint64_t n) { return std::to_string(n) + " B"; }};
  ResultSummary s;
  s.found = 1;
  EXPECT_EQ(StatusLineText(s, &texts, numbers), "1 file found  \u00B7  none checked");
  s.found = 120;
  s.shown = 7;
  s.filtered = true;
  s.checkedFiles = 3;
  s.checkedBytes = 4096;
  s.drive = "card.img";
  EXPECT_EQ(StatusLineText(s, &texts, numbers),
            "120 files found  \u00B7  7 shown  \u00B7  3 checked (4096 B)  \u00B7  on card.img");
  s.checkedFolders = 2;
  s.filtered = false;
  EXPECT_EQ(StatusLineText(s, &texts, numbers),
            "120 files found  \u00B7  3 checked (4096 B) and 2 folders  \u00B7  on card.img");
  // A language without these keys shows nothing rather than bare numbers.
  EXPECT_EQ(StatusLineText(s, nullptr, numbers), "");
}

TEST(ResultTable, AFileShowsItsStateFirstThenThatItWasPutTogether) {
  Texts texts;
  struct Case {
    engine::ItemState state;
    int32_t pieces;
    bool folder;
    RowMark mark;
    std::string tip;
  };
  const Case cases[] = {
      {engine::ItemState::kIntact, 0, false, RowMark::kNone, ""},
      {engine::ItemState::kIntact, 3, false, RowMark::kReassembled, "put together from 3 pieces"},
      {engine::ItemState::kDamaged, 2, false, RowMark::kDamaged, "put together from 2 pieces"},
      {engine::ItemState::kOverwritten, 0, false, RowMark::kOverwritten, ""},
      {engine::ItemState::kIntact, 4, true, RowMark::kNone, ""},
  };
  for (const Case& c : cases) {
    jobs::FoundItem row = Row("a.jpg", 10, 0, c.state, true, c.folder);
    row.reassembledPieces = c.pieces;
    SCOPED_TRACE(c.tip + "/" + std::to_string(static_cast<int>(c.mark)));
    EXPECT_EQ(MarkOf(row), c.mark);
    EXPECT_EQ(MarkTip(row, &texts), c.tip);
    EXPECT_EQ(MarkTip(row, nullptr), "");
  }
}

TEST(ResultSummary, CheckedSizesFollowEveryTickAndUntick) {
  CMainWindowModel m(nullptr);
  jobs::FoundItem a = Row("a.jpg", 100, 0), b = Row("b.jpg", 50, 0), folder = Row("DCIM", 0, 0, {}, true, true);
  a.item.id = 1, b.item.id = 2, folder.item.id = 3;
  m.SetChecked(a, true);
  m.SetChecked(a, true);  // twice is once
  m.SetChecked(b, true);
  m.SetChecked(folder, true);
  EXPECT_EQ(m.CheckedBytes(), 150u);
  EXPECT_EQ(m.CheckedFolderCount(), 1u);
  m.SetChecked(a, false);
  m.SetChecked(folder, false);
  EXPECT_EQ(m.CheckedBytes(), 50u);
  EXPECT_EQ(m.CheckedFolderCount(), 0u);
  m.ClearChecked();
  EXPECT_EQ(m.CheckedBytes(), 0u);
}

TEST(PreviewPane, ABinaryFileNoHelperCouldReadIsNoScreenOfNoise) {
  Texts texts;
  // The head of an OLE2 compound file (an old Word document): signature, zeros, 0xFF runs.
  std::vector<uint8_t> ole = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  ole.resize(512, 0);
  for (size_t i = 76; i < 512; ++i) ole[i] = 0xFF;
  jobs::PreviewProduct binary;
  binary.kind = jobs::PreviewProductKind::kDump;
  binary.text = jobs::CharacterDump(ole.data(), ole.size());
  binary.note = "The document could not be converted (catdoc ended with code 1).";
  EXPECT_FALSE(LooksLikeText(binary.text));
  EXPECT_EQ(PreviewPaneText(binary, &texts), binary.note + "\n\nNo text preview.");

  const std::string letter = "Liebe Grüße aus Köln...\nDas Wetter ist schön.\n\tBis bald!\n";
  jobs::PreviewProduct text;
  text.kind = jobs::PreviewProductKind::kDump;
  text.text = jobs::CharacterDump(reinterpret_cast<const uint8_t*>(letter.data()), letter.size());
  EXPECT_TRUE(LooksLikeText(text.text));
  EXPECT_EQ(PreviewPaneText(text, &texts), text.text);
  EXPECT_TRUE(LooksLikeText("日本語のテキストです。"));

  jobs::PreviewProduct failed;
  failed.kind = jobs::PreviewProductKind::kFailed;
  failed.text = "The file could not be read.";
  EXPECT_EQ(PreviewPaneText(failed, &texts), failed.text);
  jobs::PreviewProduct picture;
  picture.kind = jobs::PreviewProductKind::kPicture;
  EXPECT_EQ(PreviewPaneText(picture, &texts), "");
}

}  // namespace
}  // namespace app

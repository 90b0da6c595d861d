// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <thread>

#include "app/ini_file.h"
#include "app/language_config.h"
#include "app/message_box.h"
#include "app/text_table.h"
#include "cli/cli_text_keys.h"
#include "jobs/message_keys.h"
#include "jobs/text_format.h"
#include "tests/support/test_support.h"

namespace app {
namespace {

namespace fs = std::filesystem;

const std::string kShipped = std::string(QUELLMOOR_SOURCE_DIR) + "/share/";

TEST(IniFile, SectionsKeysCommentsAndQuotes) {
  CIniFile ini;
  ini.Parse(
      "\xEF\xBB\xBF; a comment\n"
      "orphan=ignored\n"
      "[First]\n"
      "  Key = value with spaces  \r\n"
      "# another comment\n"
      "quoted=\"  kept  \"\n"
      "key=second of the same key\n"
      "noequals\n"
      "empty=\n"
      "[second]\n"
      "a=b=c\n"
      "[FIRST]\n"
      "late=joins the first section\n");
  EXPECT_EQ(ini.SectionNames(), (std::vector<std::string>{"First", "second"}));
  EXPECT_EQ(ini.Get("first", "KEY"), "value with spaces");  // case-insensitive; the first key wins
  EXPECT_EQ(ini.Get("First", "quoted"), "  kept  ");
  EXPECT_EQ(ini.Get("First", "empty", "fallback"), "");
  EXPECT_EQ(ini.Get("First", "late"), "joins the first section");
  EXPECT_EQ(ini.Get("Second", "a"), "b=c");
  EXPECT_EQ(ini.Get("Second", "missing", "fallback"), "fallback");
  EXPECT_EQ(ini.Get("Nowhere", "a", "fallback"), "fallback");
  EXPECT_EQ(ini.Section("nowhere"), nullptr);
  ASSERT_NE(ini.Section("first"), nullptr);
  EXPECT_EQ(ini.Section("first")->front().first, "Key");
}

TEST(IniFile, SavingReplacesTheWholeFileAtOnce) {
  testing_support::TempDir dir;
  const std::string path = dir.path() + "config.ini";
  testing_support::WriteFileBytes(path, std::vector<uint8_t>(5000, 'x'));
  CIniFile ini;
  ini.Set("DefaultLanguage", "Default", "Deutsch");
  ini.Set("Other", "keep", "1");
  ini.Set("defaultlanguage", "default", "English");
  ASSERT_EQ(ini.Save(path), 0);
  EXPECT_FALSE(fs::exists(path + ".tmp"));
  CIniFile back;
  ASSERT_EQ(back.Load(path), 0);
  EXPECT_EQ(back.Get("DefaultLanguage", "Default"), "English");
  EXPECT_EQ(back.Get("Other", "keep"), "1");
  EXPECT_EQ(back.Serialize(), ini.Serialize());
  EXPECT_NE(CIniFile().Load(dir.path() + "missing.ini"), 0);
}

class LanguageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_program = m_dir.path() + "program/";
    fs::create_directories(m_program + "Languages");
    Write(m_program + "config.ini", "[DefaultLanguage]\nDefault=One\n[Languages]\nOne=First language\nTwo=Second\n");
    Write(m_program + "Languages/One.ini",
          "[Messages]\nMSG0701=one %c\nOnlyOne=here\n[ScanWnd]\ncancelbtn=Stop\n[CommandLine]\nLines=a\\nb\n");
    Write(m_program + "Languages/Two.ini", "[Messages]\nMSG0701=two %c\n[ScanWnd]\ncancelbtn=Halt\n");
    m_user = m_dir.path() + "user/quellmoor/config.ini";
  }
  static void Write(const std::string& path, const std::string& text) {
    testing_support::WriteFileBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
  }
  testing_support::TempDir m_dir;
  std::string m_program, m_user;
};

TEST_F(LanguageTest, TheShippedConfigNamesTheLanguageAndTheMenu) {
  CLanguageConfig config;
  config.Load({m_program}, m_user);
  EXPECT_EQ(config.CurrentLanguage(), "One");
  ASSERT_EQ(config.Languages().size(), 2u);
  EXPECT_EQ(config.Languages()[0].name, "One");
  EXPECT_EQ(config.Languages()[0].display, "First language");
  EXPECT_EQ(config.Languages()[1].name, "Two");
  CTextTable table;
  ASSERT_EQ(config.LoadTexts(table), 0);
  EXPECT_EQ(table.Text("Messages", "MSG0701"), "one %c");
  EXPECT_EQ(table.Text("messages", "msg0701"), "one %c");
  EXPECT_EQ(table.Text("CommandLine", "Lines"), "a\nb");
  EXPECT_EQ(table.Text("Messages", "MSG9999"), "");  // a missing key is empty, never a failure
  EXPECT_EQ(table.Text("NoSection", "MSG0701"), "");
  EXPECT_EQ(table.Section("ScanWnd").at("cancelbtn"), "Stop");
}

TEST_F(LanguageTest, WithoutAnyConfigTheLanguageIsEnglish) {
  CLanguageConfig config;
  config.Load({m_dir.path() + "nowhere/"}, m_user);
  EXPECT_EQ(config.CurrentLanguage(), "English");
  EXPECT_TRUE(config.Languages().empty());
  CTextTable table;
  EXPECT_NE(config.LoadTexts(table), 0);
  EXPECT_TRUE(table.Empty());
  EXPECT_EQ(table.Text("Messages", "MSG0701"), "");
}

// Switching to another language and back restores every text; a key only
// the first language has is empty while the second is loaded.
TEST_F(LanguageTest, SwitchingLanguagesAndBackRestoresEveryText) {
  CLanguageConfig config;
  config.Load({m_program}, m_user);
  CTextTable table;
  ASSERT_EQ(config.LoadTexts(table), 0);
  const auto messages = table.Section("Messages");
  const auto window = table.Section("ScanWnd");
  ASSERT_EQ(config.SetLanguage("Two", table), 0);
  EXPECT_EQ(config.CurrentLanguage(), "Two");
  EXPECT_EQ(table.Text("Messages", "MSG0701"), "two %c");
  EXPECT_EQ(table.Text("Messages", "OnlyOne"), "");
  EXPECT_EQ(table.Text("ScanWnd", "cancelbtn"), "Halt");
  ASSERT_EQ(config.SetLanguage("One", table), 0);
  EXPECT_EQ(table.Section("Messages"), messages);
  EXPECT_EQ(table.Section("ScanWnd"), window);
}

// The user's choice goes to the user's config folder; the program folder
// (read-only when installed) is never written.
TEST_F(LanguageTest, TheChoiceIsKeptInTheUsersConfigNotBesideTheProgram) {
  const std::string shipped = testing_support::Sha256OfFile(m_program + "config.ini");
  ::chmod(m_program.c_str(), 0555);
  CLanguageConfig config;
  config.Load({m_program}, m_user);
  CTextTable table;
  const platform::Status s = config.SetLanguage("Two", table);
  ::chmod(m_program.c_str(), 0755);
  ASSERT_EQ(s, 0);
  EXPECT_EQ(testing_support::Sha256OfFile(m_program + "config.ini"), shipped);
  CIniFile user;
  ASSERT_EQ(user.Load(m_user), 0);
  EXPECT_EQ(user.Get("DefaultLanguage", "Default"), "Two");
  // A later start reads it back.
  CLanguageConfig later;
  later.Load({m_program}, m_user);
  EXPECT_EQ(later.CurrentLanguage(), "Two");
}

TEST_F(LanguageTest, OnlyPlainNamesOfLanguagesThatExistAreTaken) {
  CLanguageConfig config;
  config.Load({m_program}, m_user);
  CTextTable table;
  ASSERT_EQ(config.LoadTexts(table), 0);
  EXPECT_EQ(config.SetLanguage("Three", table), platform::kStatusInvalidParameter);
  EXPECT_EQ(config.SetLanguage("../program/Languages/One", table), platform::kStatusInvalidParameter);
  EXPECT_EQ(config.CurrentLanguage(), "One");
  EXPECT_FALSE(fs::exists(m_user));
  EXPECT_EQ(config.LanguageFilePath(".."), "");
  EXPECT_EQ(config.LanguageFilePath("a/b"), "");
  // A name is used to 63 bytes at most.
  fs::create_directories(fs::path(m_user).parent_path());
  Write(m_user, "[DefaultLanguage]\nDefault=" + std::string(100, 'x') + "\n");
  config.Load({m_program}, m_user);
  EXPECT_EQ(config.CurrentLanguage(), std::string(63, 'x'));
}

TEST_F(LanguageTest, ReadersNeverSeeHalfALanguage) {
  CLanguageConfig config;
  config.Load({m_program}, m_user);
  CTextTable table;
  ASSERT_EQ(config.LoadTexts(table), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> odd{0};
  std::thread reader([&] {
    while (!stop) {
      const std::string t = table.Text("Messages", "MSG0701");
      if (t != "one %c" && t != "two %c") ++odd;
    }
  });
  for (int i = 0; i < 200; ++i) ASSERT_EQ(config.LoadTexts(table, i % 2 == 0 ? "Two" : "One"), 0);
  stop = true;
  reader.join();
  EXPECT_EQ(odd, 0);
}

TEST(MessageBoxes, KindsHaveTheirTitlesAndButtons) {
  EXPECT_EQ(MessageBoxStyleOf(jobs::MessageKind::kError).titleKey, "MSG0401");
  EXPECT_EQ(MessageBoxStyleOf(jobs::MessageKind::kConfirm).titleKey, "MSG0402");
  EXPECT_EQ(MessageBoxStyleOf(jobs::MessageKind::kInformation).titleKey, "MSG0403");
  EXPECT_EQ(MessageBoxStyleOf(jobs::MessageKind::kWarning).titleKey, "MSG0405");
  EXPECT_EQ(MessageBoxStyleOf(jobs::MessageKind::kQuestion).titleKey, "MSG0404");
  EXPECT_EQ(MessageBoxStyleOf(7).skinFile, "MessageBox_Error.xml");
  EXPECT_TRUE(MessageBoxStyleOf(1).twoButtons);
  EXPECT_EQ(MessageBoxStyleOf(4).secondKey, "No");
  EXPECT_FALSE(MessageBoxStyleOf(2).twoButtons);
  EXPECT_EQ(MessageBoxResult(jobs::Answer::kOk), 1);
  EXPECT_EQ(MessageBoxResult(jobs::Answer::kNo), 2);
  EXPECT_EQ(MessageBoxResult(jobs::Answer::kClosed), 2);
}

// The placeholders of a text: (argument position, kind) in argument order.
std::vector<std::pair<int, char>> Placeholders(const std::string& text) {
  std::vector<std::pair<int, char>> out;
  int next = 1;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') continue;
    if (i + 1 < text.size() && text[i + 1] == '%') {
      ++i;
      continue;
    }
    size_t j = i + 1;
    int position = 0;
    if (j + 1 < text.size() && text[j] >= '1' && text[j] <= '9' && text[j + 1] == '$') {
      position = text[j] - '0';
      j += 2;
    }
    while (j < text.size() && std::string_view("-+ 0#.0123456789hlLzjtqI").find(text[j]) != std::string_view::npos) ++j;
    if (j >= text.size()) break;
    const char c = text[j];
    const char kind = std::string_view("sS").find(c) != std::string_view::npos       ? 's'
                      : std::string_view("diuxXo").find(c) != std::string_view::npos ? 'd'
                      : std::string_view("cC").find(c) != std::string_view::npos     ? 'c'
                                                                                     : 'f';
    out.emplace_back(position > 0 ? position : next++, kind);
    i = j;
  }
  std::sort(out.begin(), out.end());
  return out;
}

TEST(ShippedLanguages, EveryTextThePartsAndTheCommandShowIsThere) {
  CTextTable english;
  ASSERT_EQ(english.LoadFile(kShipped + "Languages/English.ini"), 0);
  for (auto key : jobs::keys::AllMessageKeys()) EXPECT_FALSE(english.Text("Messages", key).empty()) << key;
  for (const char* key : {"MSG0201", "MSG0202", "MSG0401", "MSG0402", "MSG0403", "MSG0404", "MSG0405"}) {
    EXPECT_FALSE(english.Text("Messages", key).empty()) << key;
  }
  for (auto key : cli::CliTextKeys()) EXPECT_FALSE(english.Text("CommandLine", key).empty()) << key;
  for (const char* section : {"ScanWnd", "SearchProcessWnd", "RecoverProcessWnd", "CreateImageWnd", "PreviewProcessWnd",
                              "MainWnd", "MessageBox"}) {
    EXPECT_FALSE(english.Section(section).empty()) << section;
  }
  for (const char* control : {"BtnScan", "BtnRecover", "BtnNext", "BtnPrev", "NodePhoto", "ChkPhoto", "FileName"}) {
    EXPECT_FALSE(english.Text("MainWnd", control).empty()) << control;
  }
  // The time line runs straight into the duration: its text ends in a blank.
  EXPECT_EQ(english.Text("Messages", "MSG0708").back(), ' ');
}

// A second full language, with the same keys and, text by text, the same
// placeholders (a translation may reorder them with "%2$s").
TEST(ShippedLanguages, DeutschHasEveryKeyWithTheSamePlaceholders) {
  CIniFile english, deutsch;
  ASSERT_EQ(english.Load(kShipped + "Languages/English.ini"), 0);
  ASSERT_EQ(deutsch.Load(kShipped + "Languages/Deutsch.ini"), 0);
  ASSERT_EQ(english.SectionNames(), deutsch.SectionNames());
  size_t checked = 0;
  for (const auto& section : english.SectionNames()) {
    const auto* e = english.Section(section);
    const auto* d = deutsch.Section(section);
    ASSERT_NE(d, nullptr) << section;
    EXPECT_EQ(e->size(), d->size()) << section;
    for (const auto& [key, text] : *e) {
      const std::string translated = deutsch.Get(section, key);
      EXPECT_FALSE(translated.empty()) << section << "/" << key;
      EXPECT_EQ(Placeholders(text), Placeholders(translated)) << section << "/" << key << ": " << translated;
      ++checked;
    }
  }
  EXPECT_GT(checked, 150u);
  // And the texts really are another language.
  EXPECT_NE(english.Get("Messages", "MSG1103"), deutsch.Get("Messages", "MSG1103"));
}

TEST(ShippedLanguages, TheShippedConfigOffersBoth) {
  CLanguageConfig config;
  testing_support::TempDir dir;
  config.Load({kShipped}, dir.path() + "config.ini");
  EXPECT_EQ(config.CurrentLanguage(), "English");
  ASSERT_EQ(config.Languages().size(), 2u);
  EXPECT_FALSE(config.LanguageFilePath("Deutsch").empty());
  // A shipped text used as a format with its arguments reads well in both.
  CTextTable table;
  ASSERT_EQ(config.LoadTexts(table, "Deutsch"), 0);
  EXPECT_EQ(jobs::FormatText(table.Text("CommandLine", "NoSuchFolder"), {"DCIM", "card.img"}),
            "In card.img gibt es keinen Ordner 'DCIM'.");
}

}  // namespace
}  // namespace app

// SPDX-License-Identifier: GPL-3.0-or-later
// Text is carved by its content: UTF-8 text from a sector's first byte, named
// by what it looks like, ended by a zero byte; random data, binary sectors,
// the middle of a text and text inside other files start none.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/signatures/carve_sector.h"
#include "engine/signatures/file_signature_table.h"
#include "engine/signatures/text_content.h"
#include "tests/engine/signatures/signatures_test_util.h"

namespace {

using engine::signatures::FileTypeCode;
using C = FileTypeCode;

std::vector<uint8_t> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

// Lines enough that the text fills more than one sector.
std::string Repeat(const std::string& line, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += line;
  return out;
}

struct Kind {
  const char* what;
  std::string text;
  const char* extension;
};

std::vector<Kind> Kinds() {
  return {
      {"shell script", "#!/bin/sh\nset -e\nfor f in *.log; do\n  gzip \"$f\"\ndone\necho done\n", "sh"},
      {"env python", "#!/usr/bin/env python3\nimport sys\n\nprint(sys.argv)\n", "py"},
      {"perl", "#!/usr/bin/perl -w\nuse strict;\nprint \"hello\\n\";\n", "pl"},
      {"C", "#include <stdio.h>\n\nint main(void) {\n  printf(\"hi\\n\");\n  return 0;\n}\n" +
                Repeat("static int counter_value = 0;\n", 20),
       "c"},
      {"C++", "#include <vector>\n\nnamespace app {\nclass Store {\n public:\n  void Add(int v);\n};\n}\n" +
                  Repeat("std::vector<int> values;\n", 20),
       "cpp"},
      {"Java", "package org.example.store;\n\nimport java.util.List;\n\npublic class Store {\n" +
                   Repeat("  private final List<String> names = null;\n", 12) + "}\n",
       "java"},
      {"JavaScript", "'use strict';\nconst fs = require('fs');\n\nfunction load(path) {\n  return fs.readFileSync(path);\n}\n" +
                         Repeat("module.exports.load = load;\n", 10),
       "js"},
      {"Python", "import os\nfrom pathlib import Path\n\n\ndef walk(root):\n    for p in Path(root).iterdir():\n"
                 "        if p.is_dir():\n            walk(p)\n\n\nif __name__ == \"__main__\":\n    walk(\".\")\n",
       "py"},
      {"JSON object", "{\n  \"name\": \"quellmoor\",\n  \"version\": 3,\n  \"tags\": [\"a\", \"b\"]\n}\n", "json"},
      {"JSON array on one line", "[" + Repeat("{\"id\": 12345, \"value\": 0.5, \"ok\": true}, ", 20) + "{}]", "json"},
      {"XML without a declaration",
       "<project>\n  <modelVersion>4.0.0</modelVersion>\n  <artifactId>store</artifactId>\n</project>\n", "xml"},
      {"HTML", "<!DOCTYPE html>\n<html>\n<head><title>Notes</title></head>\n<body><p>Hello</p></body>\n</html>\n",
       "html"},
      {"CSV", "id,name,count,price\n" + Repeat("17,cluster,42,3.50\n", 40), "csv"},
      {"INI", "; settings\n[user]\n\tname = Ada\n\temail = ada@example.org\n[core]\n\teditor = vim\n", "ini"},
      {"notes", "Shopping list\n\n- bread\n- milk, two bottles\n- apples (green ones)\n\nCall the dentist on "
                "Monday about the appointment.\n",
       "txt"},
      {"UTF-8 notes", "Grüße aus Köln: die Übergabe ist am Montag, 9 Uhr. Straße und Hausnummer folgen.\n", "txt"},
  };
}

class TextCarveTest : public ::testing::Test {
 protected:
  void SetUp() override { deep_test::ResetCarveContext(); }
};

// Each kind, laid at a sector with zeros after it, comes back whole under
// the extension its content shows.
TEST_F(TextCarveTest, EachKindIsCarvedWholeUnderItsExtension) {
  for (const Kind& kind : Kinds()) {
    SCOPED_TRACE(kind.what);
    deep_test::Disk disk(512, 64);
    disk.Random(0, 4);
    disk.Place(4, Bytes(kind.text));
    storage::SectorSource source;
    disk.Open(source);
    // The dispatch's text prefix filter never turns away what the recogniser takes.
    engine::signatures::CarveContext context;
    context.Attach(&source, 512);
    context.readPosition = 4;
    const auto dispatched = engine::signatures::RecogniseSector(context, disk.At(4), 512);
    context.textTailKnown = false;
    EXPECT_EQ(dispatched.code, engine::signatures::RecogniseSectorByTableWalk(context, disk.At(4), 512).code);
    const deep_test::CarveOutcome out = deep_test::CarveAt(disk, source, 4);
    ASSERT_EQ(out.status, 0);
    EXPECT_EQ(out.Name(), std::string("4.") + kind.extension);
    EXPECT_EQ(out.file.size, kind.text.size());
    EXPECT_FALSE(out.file.damaged);
  }
}

// Where the text stops without a zero byte it may go on elsewhere: carved
// as far as it goes and damaged. A sector after text that runs to its last
// byte, and sectors that are no written text, start nothing.
TEST_F(TextCarveTest, TextIsBoundedAndOnlyStartsWhereAFileMayStart) {
  const std::string notes = Repeat("Meeting notes: the volume was formatted on Monday.\n", 30);  // 1530 bytes
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;  // placed at sector 4
    int32_t status;
    uint64_t size;
    bool damaged;
  };
  std::vector<uint8_t> slack = Bytes(notes);
  slack.insert(slack.end(), {0x90, 0x13, 0x00, 0x7F});  // old bytes after the end: no zero ends it
  std::vector<uint8_t> intoJpeg = Bytes(notes.substr(0, 1024));
  intoJpeg.insert(intoJpeg.end(), {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00});
  const std::vector<uint8_t> strings = Bytes(std::string("libc.so.6\0printf\0exit\0__libc_start_main\0", 41));
  const std::string latin1 = "Caf\xE9 du march\xE9, ouvert le lundi et le mardi de 9 heures.\n";
  const std::vector<Case> cases = {
      {"ends at a zero byte", Bytes(notes), 0, notes.size(), false},
      {"ends at other bytes", slack, 0, notes.size(), true},
      {"runs into the next file", intoJpeg, 0, 1024, true},
      {"strings of a program", strings, 87, 0, false},
      {"one short line without a line end", Bytes("hello world text"), 87, 0, false},
      {"a sector of spaces", std::vector<uint8_t>(512, ' '), 87, 0, false},
      {"a rule of marks", Bytes(Repeat("=", 80) + "\n"), 87, 0, false},
      {"Latin-1 in the first sector", Bytes(latin1), 87, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    deep_test::ResetCarveContext();
    deep_test::Disk disk(512, 64);
    disk.Place(4, c.bytes);
    storage::SectorSource source;
    disk.Open(source);
    const deep_test::CarveOutcome out = deep_test::CarveAt(disk, source, 4);
    ASSERT_EQ(out.status, c.status);
    if (c.status != 0) continue;
    EXPECT_EQ(out.file.size, c.size);
    EXPECT_EQ(out.file.damaged, c.damaged);
  }
  // The second sector of a text is its middle, not a file's start.
  deep_test::Disk disk(512, 64);
  disk.Place(4, Bytes(notes));
  storage::SectorSource source;
  disk.Open(source);
  EXPECT_EQ(deep_test::CarveAt(disk, source, 5).status, 87);
}

// The run the scan reads ends the text (the sectors after it are another
// file's): cut there, damaged.
TEST_F(TextCarveTest, TextStopsAtTheEndOfTheRunBeingScanned) {
  const std::string notes = Repeat("A long note that runs over several sectors of the run.\n", 40);
  deep_test::Disk disk(512, 64);
  disk.Place(4, Bytes(notes));
  storage::SectorSource source;
  disk.Open(source);
  deep_test::TestContext().runEnd = 6;
  const deep_test::CarveOutcome out = deep_test::CarveAt(disk, source, 4);
  ASSERT_EQ(out.status, 0);
  EXPECT_EQ(out.file.size, 2u * 512);
  EXPECT_TRUE(out.file.damaged);
}

// Text is no start inside another file's read-ahead: mail, XML and the
// pages of a text-heavy document run on over text sectors.
TEST_F(TextCarveTest, TextSectorsEndNoOtherFile) {
  const std::string notes = Repeat("Text inside a mailbox, a document or an archive.\n", 40);
  std::vector<uint8_t> chunk = Bytes(notes);
  chunk.resize(2048, 0);
  engine::signatures::CarveContext& context = deep_test::TestContext();
  context.Attach(nullptr, 512);
  uint64_t size = 0;
  EXPECT_FALSE(engine::signatures::FindNextFileStart(context, chunk.data(), chunk.size(), &size, false));
}

TEST(TextContent, TheWalkFindsWhereUtf8TextStops) {
  struct Case {
    std::string bytes;
    bool text;
    uint64_t end;
  };
  for (const Case& c : {Case{"plain\ttext\r\n", true, 12}, Case{"caf\xC3\xA9!", true, 6},
                        Case{"ab\xC0\xAF", false, 2},            // overlong
                        Case{"ab\xED\xA0\x80", false, 2},        // surrogate
                        Case{"ab\xC2\x85", false, 2},            // C1 control
                        Case{"ab\x7F", false, 2}, Case{std::string("ab\0c", 4), false, 2}}) {
    engine::signatures::TextWalk walk;
    EXPECT_EQ(walk.Feed(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()), c.text) << c.bytes;
    EXPECT_EQ(walk.End(), c.end) << c.bytes;
  }
  // A character split between two pieces.
  engine::signatures::TextWalk walk;
  const uint8_t first[] = {'a', 0xE2, 0x82};
  const uint8_t second[] = {0xAC, 'b'};
  EXPECT_TRUE(walk.Feed(first, sizeof first));
  EXPECT_EQ(walk.End(), 1u);
  EXPECT_TRUE(walk.Feed(second, sizeof second));
  EXPECT_EQ(walk.End(), 5u);
}

}  // namespace

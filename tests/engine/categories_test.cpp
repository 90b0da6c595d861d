// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "engine/categories.h"

namespace engine {
namespace {

TEST(Categories, ListsHaveTheirDocumentedLengths) {
  EXPECT_EQ(kPhotoList.size(), 249u);
  EXPECT_EQ(kAudioList.size(), 130u);
  EXPECT_EQ(kVideoList.size(), 194u);
  EXPECT_EQ(kDocumentList.size(), 148u);
  EXPECT_EQ(kArchiveList.size(), 82u);
  EXPECT_EQ(kPreviewDocumentList.size(), 268u);
  EXPECT_EQ(KnownExtensions().size(), 249u + 130 + 148 + 194 + 82 + 4);
}

TEST(Categories, IconsFollowTheCategoryOrder) {
  EXPECT_EQ(IconOf("notes.TXT", true), "FileIcon\\doc.png");
  EXPECT_EQ(IconOf("setup.exe", true), "FileIcon\\exe.png");
  EXPECT_EQ(IconOf("data.bin", true), "FileIcon\\default.png");
  EXPECT_EQ(IconOf("data.bin", false), "FileIcon\\default_error.png");
  EXPECT_EQ(IconOf("Folder", false), "FileIcon\\folder.png");
  EXPECT_EQ(IconOf("track.RM", true), "FileIcon\\music.png");  // audio is tested before video
  EXPECT_EQ(IconOf("a.jpg", false), "FileIcon\\image_error.png");
  EXPECT_EQ(CategoryOfName("a.7z"), Category::kArchive);
  EXPECT_EQ(CategoryOfName("movie.mkv"), Category::kVideo);
  EXPECT_EQ(CategoryOfName("readme"), Category::kOther);
}

TEST(Categories, MembershipIsAPlainSubstringTest) {
  EXPECT_TRUE(ExtensionInList("jp", kPhotoList));
  EXPECT_TRUE(ExtensionInList("JPG", kPhotoList));
  EXPECT_FALSE(ExtensionInList("", kPhotoList));
  EXPECT_EQ(ExtensionOf("archive.tar.gz"), "gz");
  EXPECT_EQ(ExtensionOf("readme"), "");
  EXPECT_EQ(ExtensionOf("trailing."), "");
  EXPECT_TRUE(IsPhotoName("a.JPG"));
  EXPECT_FALSE(IsPhotoName("readme"));
}

TEST(Categories, PreviewKindLetsLaterMatchesWin) {
  EXPECT_EQ(PreviewKindOf("track.RM"), PreviewKind::kVideo);
  EXPECT_EQ(PreviewKindOf("report.pdf"), PreviewKind::kDocument);
  EXPECT_EQ(PreviewKindOf("a.zip"), PreviewKind::kDocument);
  EXPECT_EQ(PreviewKindOf("song.mp3"), PreviewKind::kVideo);
  EXPECT_EQ(PreviewKindOf("img.png"), PreviewKind::kPhoto);
  EXPECT_EQ(PreviewKindOf("data.bin"), PreviewKind::kNone);
  EXPECT_EQ(PreviewKindOf("noext"), PreviewKind::kNone);
}

// Newer photo kinds and text documents are whole entries: ".avif" is a
// photo, ".avi" stays video, ".c" is a document, and no shorter extension
// changes its category.
TEST(Categories, ExactPhotoEntriesAreWholeEntriesTestedFirst) {
  struct Case {
    const char* name;
    Category category;
    PreviewKind preview;
  };
  for (const Case& c : {Case{"a.heic", Category::kPhoto, PreviewKind::kPhoto},
                        Case{"a.HEIF", Category::kPhoto, PreviewKind::kPhoto},
                        Case{"a.avif", Category::kPhoto, PreviewKind::kPhoto},
                        Case{"a.webp", Category::kPhoto, PreviewKind::kPhoto},
                        Case{"a.cr3", Category::kPhoto, PreviewKind::kPhoto},
                        Case{"a.Rw2", Category::kPhoto, PreviewKind::kPhoto},
                        Case{"a.avi", Category::kVideo, PreviewKind::kVideo},
                        Case{"a.av", Category::kAudio, PreviewKind::kVideo},  // inside "*.wav"
                        Case{"a.we", Category::kOther, PreviewKind::kNone},
                        Case{"a.hei", Category::kOther, PreviewKind::kNone},
                        Case{"a.cr", Category::kPhoto, PreviewKind::kPhoto},  // inside "*.crw"
                        Case{"main.c", Category::kDocument, PreviewKind::kNone},  // not a photo through "*.crw"
                        Case{"main.H", Category::kDocument, PreviewKind::kNone},  // not a video through "*.hdmov"
                        Case{"data.json", Category::kDocument, PreviewKind::kNone},
                        Case{"table.csv", Category::kDocument, PreviewKind::kDocument}}) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CategoryOfName(c.name), c.category);
    EXPECT_EQ(PreviewKindOf(c.name), c.preview);
    EXPECT_EQ(IsPhotoName(c.name), c.category == Category::kPhoto);
  }
  EXPECT_EQ(IconOf("shot.heic", false), "FileIcon\\image_error.png");
}

}  // namespace
}  // namespace engine

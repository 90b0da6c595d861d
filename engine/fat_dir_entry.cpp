// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/fat_dir_entry.h"

#include <algorithm>
#include <cstring>

#include "engine/byte_view.h"
#include "platform/file_time.h"

namespace engine {
namespace {

using namespace fat_entry;

uint16_t Word(const uint8_t* e, size_t offset) {
  return static_cast<uint16_t>(e[offset] | (e[offset + 1] << 8));
}
uint32_t Dword(const uint8_t* e, size_t offset) {
  return static_cast<uint32_t>(Word(e, offset)) | (static_cast<uint32_t>(Word(e, offset + 2)) << 16);
}

// FAT date and time words to FILETIME; 0 when the fields do not form a time.
uint64_t ToFileTime(uint16_t date, uint16_t time, int extraSeconds, int milliseconds) {
  platform::SystemTime t;
  t.day = date & 0x1F;
  t.month = (date >> 5) & 0x0F;
  t.year = 1980 + (date >> 9);
  t.hour = time >> 11;
  t.minute = (time >> 5) & 0x3F;
  t.second = 2 * (time & 0x1F) + extraSeconds;
  t.milliseconds = milliseconds;
  uint64_t ft = 0;
  return platform::SystemTimeToFileTime(t, &ft) ? ft : 0;
}

bool IsDotEntry(const uint8_t* e, bool twoDots) {
  bool name = e[0] == '.' && (!twoDots || e[1] == '.');
  return name && (e[kAttribute] & kDirectory) != 0 && Dword(e, kSize) == 0;
}

bool InValidRange(uint64_t fileTime) {
  static const uint64_t low = [] {
    uint64_t ft = 0;
    platform::SystemTimeToFileTime({1990, 1, 0, 1, 0, 0, 0, 0}, &ft);
    return ft;
  }();
  static const uint64_t high = [] {
    uint64_t ft = 0;
    platform::SystemTimeToFileTime({2050, 1, 0, 1, 0, 0, 0, 0}, &ft);
    return ft;
  }();
  return fileTime >= low && fileTime <= high;
}

bool IsForbiddenNameByte(uint8_t c) {
  if (c < 0x20) return true;
  if (c >= 'a' && c <= 'z') return true;
  return std::strchr("\"*.:<>?\\|", c) != nullptr;
}

// Step 5 of the directory-sector test for a short entry.
bool ShortEntryLooksWritten(const uint8_t* e) {
  if (e[kAttribute] == kVolumeLabel) return true;
  if (Word(e, kCreateTime) == 0) return false;
  for (size_t i = 0; i < 11; ++i) {
    if (e[i] < 0x20 || e[i] == '.') return false;
  }
  // Blanks may only end the name part and only end the extension part.
  auto blanksOnlyAtEnd = [&](size_t from, size_t to) {
    bool blank = false;
    for (size_t i = from; i < to; ++i) {
      if (e[i] == ' ') {
        blank = true;
      } else if (blank) {
        return false;
      }
    }
    return true;
  };
  // Bytes of 0x80 and above need not come in pairs: single-byte code pages
  // (437, 850: "CAF\x90" for CAFE with an accent) write them alone, and
  // directories holding such names must be recognised.
  return blanksOnlyAtEnd(0, 8) && blanksOnlyAtEnd(8, 11);
}

// Step 4: the long-name run starting at index must end in a matching short entry.
bool LongNameRunEnds(const uint8_t* buffer, size_t entryCount, size_t index) {
  uint8_t checksum = buffer[index * kBytes + kLongNameChecksum];
  for (size_t k = 1; k <= 18; ++k) {
    // A run that reaches the end of the buffer goes on in the next sector.
    if (index + k >= entryCount) return true;
    const uint8_t* e = buffer + (index + k) * kBytes;
    if (e[kAttribute] == kLongName) {
      if (e[kLongNameChecksum] != checksum) return false;
      continue;
    }
    return e[0] == kDeletedMark || ShortNameChecksum(e) == checksum;
  }
  return false;
}

}  // namespace

uint8_t ShortNameChecksum(const uint8_t* name11) {
  uint8_t sum = 0;
  for (size_t i = 0; i < 11; ++i) sum = static_cast<uint8_t>(((sum >> 1) | (sum << 7)) + name11[i]);
  return sum;
}

FatEntryTimes ConvertEntryTimes(const uint8_t* e) {
  FatEntryTimes times;
  uint8_t hundredths = e[kHundredths];
  // The byte counts hundredths of a second (0-199): a whole second (100 and
  // more) goes to the seconds, the rest are tens of milliseconds.
  int extraSeconds = hundredths / 100;
  int milliseconds = (hundredths % 100) * 10;
  times.created = ToFileTime(Word(e, kCreateDate), Word(e, kCreateTime), extraSeconds, milliseconds);
  times.accessed = ToFileTime(Word(e, kAccessDate), 0, 0, 0);
  times.modified = ToFileTime(Word(e, kWriteDate), Word(e, kWriteTime), 0, 0);
  return times;
}

bool IsValidDirEntry(const uint8_t* e, const uint8_t* next) {
  const uint8_t attr = e[kAttribute];
  const bool isDirectory = (attr & kDirectory) != 0;
  const uint32_t size = Dword(e, kSize);
  if (next != nullptr && IsDotEntry(e, false) && IsDotEntry(next, true)) return true;
  if (!isDirectory && size == 0 && (Word(e, kClusterHigh) != 0 || Word(e, kClusterLow) != 0)) return false;
  if (attr == kVolumeLabel) {
    if (size != 0 || Word(e, kClusterHigh) != 0 || Word(e, kClusterLow) != 0) return false;
  } else if ((attr & kVolumeLabel) != 0 && attr != kLongName) {
    return false;
  }
  if ((attr & 0xC0) != 0 || (isDirectory && (attr & kReadOnly) != 0)) return false;
  const bool live = e[0] != kDeletedMark;
  if (attr == kLongName) {
    if (live && (e[0] & ~0x40) > 18) return false;
    return Word(e, kClusterLow) == 0;
  }
  if (live && !isDirectory) {
    FatEntryTimes t = ConvertEntryTimes(e);
    if (!InValidRange(t.created) || !InValidRange(t.accessed) || !InValidRange(t.modified)) return false;
  }
  if (attr != kVolumeLabel) {
    for (size_t i = 0; i < 11; ++i) {
      if (IsForbiddenNameByte(e[i])) return false;
    }
  }
  if (live && isDirectory && size != 0) return false;
  // A file need not carry the archive bit: entries with no attribute bit, or
  // only read-only, hidden and system, are plain files (cameras and other
  // systems write them).
  constexpr uint8_t kPlainFileBits = 0x07;
  return attr == kVolumeLabel || attr == kLongName || (attr & (kDirectory | kArchive)) != 0 ||
         (attr & ~kPlainFileBits) == 0;
}

bool IsDirectoryStart(const uint8_t* sector, size_t length) {
  if (length < 2 * kBytes) return false;
  return IsDotEntry(sector, false) && IsDotEntry(sector + kBytes, true);
}

bool IsDirectorySector(const uint8_t* buffer, size_t length) {
  const size_t count = length / kBytes;
  if (count == 0) return true;
  // Text is no directory: a short entry's times, cluster and size bytes are
  // all printable only for a file of 538 MB or more, and a sector of such
  // entries alone is a line of digits or words, not a folder.
  if (std::all_of(buffer, buffer + length, [](uint8_t b) { return b >= 0x20 && b < 0x7F; })) return false;
  // The "." and ".." entries that open every subfolder are names no other
  // entry may carry; they pass as a pair.
  const size_t first = IsDirectoryStart(buffer, length) ? 2 : 0;
  for (size_t i = first; i < count; ++i) {
    const uint8_t* e = buffer + i * kBytes;
    if (e[0] == 0) {
      if (i == 0) return false;
      for (size_t k = i * kBytes; k < length; ++k) {
        if (buffer[k] != 0) return false;
      }
      return true;
    }
    const uint8_t* next = i + 1 < count ? e + kBytes : nullptr;
    if (!IsValidDirEntry(e, next)) return false;
    if (std::memcmp(e + 1, e + 17, 14) == 0) return false;
    if (e[kAttribute] == kLongName) {
      if (!LongNameRunEnds(buffer, count, i)) return false;
    } else if (!ShortEntryLooksWritten(e)) {
      return false;
    }
  }
  return true;
}

}  // namespace engine

// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/signatures/carved_metadata.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include <libexif/exif-data.h>

#include "engine/byte_view.h"
#include "engine/signatures/byte_search.h"
#include "engine/signatures/metadata_readers.h"
#include "platform/utf.h"

namespace engine::signatures {
namespace {

constexpr size_t kMaxLabelBytes = 96;
constexpr size_t kExifHeadBytes = 128 * 1024;  // Exif lies in APP1 (at most 64 KiB) near the start
constexpr size_t kTextHeadBytes = 64 * 1024;
constexpr uint64_t kMaxPdfSearchBytes = 8u << 20;

// "YYYY:MM:DD HH:MM:SS" (Exif) or "YYYY-MM-DDTHH:MM:SS" (ISO 8601); the separators are not checked.
bool ParseStampedTime(std::string_view text, int64_t* out) {
  if (text.size() < 19) return false;
  int v[6] = {};
  static constexpr size_t kAt[6] = {0, 5, 8, 11, 14, 17};
  static constexpr size_t kDigits[6] = {4, 2, 2, 2, 2, 2};
  for (int f = 0; f < 6; ++f) {
    for (size_t i = 0; i < kDigits[f]; ++i) {
      const char c = text[kAt[f] + i];
      if (c < '0' || c > '9') return false;
      v[f] = v[f] * 10 + (c - '0');
    }
  }
  return CivilToUnix(v[0], v[1], v[2], v[3], v[4], v[5], out);
}

// Exif through libexif: DateTimeOriginal (else DateTime) and the camera model.
bool FromExif(const std::vector<uint8_t>& data, CarvedMetadata* out) {
  ExifData* exif = exif_data_new_from_data(data.data(), static_cast<unsigned int>(data.size()));
  if (exif == nullptr) return false;
  char value[256];
  bool found = false;
  for (const ExifTag tag : {EXIF_TAG_DATE_TIME_ORIGINAL, EXIF_TAG_DATE_TIME}) {
    ExifEntry* entry = exif_data_get_entry(exif, tag);
    if (entry != nullptr && exif_entry_get_value(entry, value, sizeof value) != nullptr &&
        ParseStampedTime(value, &out->unixSeconds)) {
      out->hasTime = true;
      found = true;
      break;
    }
  }
  if (ExifEntry* model = exif_data_get_entry(exif, EXIF_TAG_MODEL);
      model != nullptr && exif_entry_get_value(model, value, sizeof value) != nullptr) {
    out->label = value;
    found = found || !out->label.empty();
  }
  exif_data_unref(exif);
  return found;
}

// PDF: the /Title and /CreationDate strings of the document information.
std::string PdfString(const uint8_t* p, size_t n) {
  std::string out;
  if (n > 0 && p[0] == '(') {
    int depth = 0;
    for (size_t i = 0; i < n && out.size() < 512; ++i) {
      const char c = static_cast<char>(p[i]);
      if (c == '\\' && i + 1 < n) {
        out.push_back(static_cast<char>(p[++i]));
      } else if (c == '(') {
        if (depth++ > 0) out.push_back(c);
      } else if (c == ')') {
        if (--depth == 0) break;
        out.push_back(c);
      } else {
        out.push_back(c);
      }
    }
    if (out.size() >= 2 && static_cast<uint8_t>(out[0]) == 0xFE && static_cast<uint8_t>(out[1]) == 0xFF) {
      std::u16string wide;
      for (size_t i = 2; i + 1 < out.size(); i += 2) {
        wide.push_back(static_cast<char16_t>((static_cast<uint8_t>(out[i]) << 8) | static_cast<uint8_t>(out[i + 1])));
      }
      return platform::Utf16ToUtf8(wide);
    }
    return out;
  }
  if (n > 0 && p[0] == '<') {
    std::vector<uint8_t> bytes;
    int nibble = -1;
    for (size_t i = 1; i < n && p[i] != '>' && bytes.size() < 512; ++i) {
      const char c = static_cast<char>(p[i]);
      int v = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (v < 0) continue;
      if (nibble < 0) {
        nibble = v;
      } else {
        bytes.push_back(static_cast<uint8_t>(nibble * 16 + v));
        nibble = -1;
      }
    }
    if (bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
      std::u16string wide;
      for (size_t i = 2; i + 1 < bytes.size(); i += 2) wide.push_back(static_cast<char16_t>((bytes[i] << 8) | bytes[i + 1]));
      return platform::Utf16ToUtf8(wide);
    }
    return std::string(bytes.begin(), bytes.end());
  }
  return out;
}

bool FromPdf(FileWindow& window, uint64_t fileSize, CarvedMetadata* out) {
  const uint64_t span = std::min(fileSize, kMaxPdfSearchBytes);
  std::vector<uint8_t> data;
  // The information dictionary lies near the end in most files, near the start in linearised ones.
  const uint64_t tail = std::min<uint64_t>(span, 256 * 1024);
  if (!ReadFileBytes(window, fileSize - tail, static_cast<size_t>(tail), &data)) return false;
  std::vector<uint8_t> head;
  if (fileSize > tail && ReadFileBytes(window, 0, static_cast<size_t>(std::min<uint64_t>(fileSize - tail, 256 * 1024)), &head)) {
    data.insert(data.end(), head.begin(), head.end());
  }
  bool found = false;
  auto value = [&](const char* key) -> std::string {
    const size_t at = FindFrom(data.data(), data.size(), 0, key, std::strlen(key));
    if (at == kNotFound) return {};
    size_t p = at + std::strlen(key);
    while (p < data.size() && (data[p] == ' ' || data[p] == '\r' || data[p] == '\n')) ++p;
    return p < data.size() ? PdfString(data.data() + p, data.size() - p) : std::string();
  };
  const std::string date = value("/CreationDate");
  // "D:YYYYMMDDHHmmSS"
  if (date.size() >= 16 && date.compare(0, 2, "D:") == 0) {
    const std::string iso = date.substr(2, 4) + "-" + date.substr(6, 2) + "-" + date.substr(8, 2) + "T" +
                            date.substr(10, 2) + ":" + date.substr(12, 2) + ":" + date.substr(14, 2);
    if (ParseStampedTime(iso, &out->unixSeconds)) out->hasTime = found = true;
  }
  out->label = value("/Title");
  return found || !out->label.empty();
}

const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// RFC 5322 date: "[Day, ]DD Mon YYYY HH:MM[:SS] +ZZZZ", taken to UTC.
bool ParseMailDate(std::string_view text, int64_t* out) {
  const size_t comma = text.find(',');
  if (comma != std::string_view::npos) text.remove_prefix(comma + 1);
  char month[4] = {};
  int day = 0, year = 0, hour = 0, minute = 0, second = 0;
  char zone[8] = {};
  const std::string copy(text);
  int n = std::sscanf(copy.c_str(), " %d %3s %d %d:%d:%d %7s", &day, month, &year, &hour, &minute, &second, zone);
  if (n < 6) {
    second = 0;
    n = std::sscanf(copy.c_str(), " %d %3s %d %d:%d %7s", &day, month, &year, &hour, &minute, zone);
    if (n < 5) return false;
  }
  int m = 0;
  for (int i = 0; i < 12; ++i) {
    if (std::strncmp(month, kMonths[i], 3) == 0) m = i + 1;
  }
  if (m == 0 || !CivilToUnix(year, m, day, hour, minute, second, out)) return false;
  if ((zone[0] == '+' || zone[0] == '-') && std::strlen(zone) == 5) {
    const int offset = ((zone[1] - '0') * 10 + (zone[2] - '0')) * 3600 + ((zone[3] - '0') * 10 + (zone[4] - '0')) * 60;
    *out += zone[0] == '+' ? -offset : offset;
  }
  return true;
}

// Mail: the Date and Subject of the (first) message's header block.
bool FromMail(FileWindow& window, uint64_t fileSize, CarvedMetadata* out) {
  std::vector<uint8_t> data;
  if (!ReadFileBytes(window, 0, static_cast<size_t>(std::min<uint64_t>(fileSize, kTextHeadBytes)), &data)) return false;
  const std::string text(data.begin(), data.end());
  bool found = false;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() && at > 0) break;  // the end of the header block
    const std::string lower = platform::AsciiLower(line.substr(0, std::min<size_t>(line.size(), 9)));
    if (lower.compare(0, 5, "date:") == 0 && ParseMailDate(std::string_view(line).substr(5), &out->unixSeconds)) {
      out->hasTime = found = true;
    } else if (lower.compare(0, 8, "subject:") == 0) {
      out->label = line.substr(8);
      found = true;
    }
    at = end + 1;
  }
  return found;
}

std::string CleanLabel(std::string label) {
  std::string out;
  bool space = false;
  for (const char c : label) {
    const bool blank = c == ' ' || c == '\t' || c == '\r' || c == '\n' || static_cast<uint8_t>(c) < 0x20;
    if (blank) {
      space = !out.empty();
      continue;
    }
    if (space) out.push_back(' ');
    space = false;
    out.push_back(c);
  }
  return out.substr(0, platform::Utf8BoundaryAtOrBefore(out, kMaxLabelBytes));
}

}  // namespace

bool CivilToUnix(int year, int month, int day, int hour, int minute, int second, int64_t* out) {
  if (year < 1970 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || hour < 0 ||
      minute < 0 || minute > 59 || second < 0 || second > 60) {
    return false;
  }
  // Days from civil (Howard Hinnant's algorithm).
  const int y = year - (month <= 2 ? 1 : 0);
  const int era = y / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = int64_t{era} * 146097 + doe - 719468;
  *out = days * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}

bool ReadCarvedMetadata(FileWindow& window, FileTypeCode code, uint64_t fileSize, CarvedMetadata* out) {
  using C = FileTypeCode;
  *out = CarvedMetadata{};
  bool found = false;
  switch (code) {
    case C::kJpg: {
      std::vector<uint8_t> head;
      found = ReadFileBytes(window, 0, static_cast<size_t>(std::min<uint64_t>(fileSize, kExifHeadBytes)), &head) &&
              FromExif(head, out);
      break;
    }
    case C::kTif:
    case C::kCr2:
    case C::kNef:
    case C::kArw:
    case C::kDng:
    case C::kPef: {
      std::vector<uint8_t> data = {'E', 'x', 'i', 'f', 0, 0};
      std::vector<uint8_t> head;
      if (ReadFileBytes(window, 0, static_cast<size_t>(std::min<uint64_t>(fileSize, kExifHeadBytes)), &head)) {
        data.insert(data.end(), head.begin(), head.end());
        found = FromExif(data, out);
      }
      break;
    }
    case C::kHeic:
    case C::kAvif: {
      std::vector<uint8_t> tiff;
      if (HeifExifItem(window, fileSize, &tiff)) {
        std::vector<uint8_t> data = {'E', 'x', 'i', 'f', 0, 0};
        data.insert(data.end(), tiff.begin(), tiff.end());
        found = FromExif(data, out);
      }
      break;
    }
    case C::kMp4:
    case C::kMov:
    case C::k3gp:
    case C::kM4a:
    case C::kM4v: found = IsoMovieMetadata(window, fileSize, out); break;
    case C::kFlac:
    case C::kOgg:
    case C::kOpus: found = VorbisCommentMetadata(window, code, fileSize, out); break;
    case C::kMp3: found = Id3Metadata(window, fileSize, out); break;
    case C::kOdt:
    case C::kOds:
    case C::kOdp:
    case C::kDocx:
    case C::kXlsx:
    case C::kPptx:
    case C::kEpub: found = PackageMetadata(window, code, fileSize, out); break;
    case C::kPdf: found = FromPdf(window, fileSize, out); break;
    case C::kEml:
    case C::kMbox: found = FromMail(window, fileSize, out); break;
    default: break;
  }
  out->label = CleanLabel(out->label);
  return found && (out->hasTime || !out->label.empty());
}

std::string MetadataName(const CarvedMetadata& metadata) {
  std::string name;
  if (metadata.hasTime) {
    const int64_t days = metadata.unixSeconds >= 0 ? metadata.unixSeconds / 86400 : -1;
    if (days >= 0) {
      // Civil from days (Howard Hinnant's algorithm).
      const int64_t z = days + 719468;
      const int64_t era = z / 146097;
      const int64_t doe = z - era * 146097;
      const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
      const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
      const int64_t mp = (5 * doy + 2) / 153;
      const int64_t d = doy - (153 * mp + 2) / 5 + 1;
      const int64_t m = mp < 10 ? mp + 3 : mp - 9;
      const int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
      const int64_t secs = metadata.unixSeconds % 86400;
      char stamp[96];
      std::snprintf(stamp, sizeof stamp, "%04lld-%02lld-%02lld %02lld.%02lld.%02lld", static_cast<long long>(y),
                    static_cast<long long>(m), static_cast<long long>(d), static_cast<long long>(secs / 3600),
                    static_cast<long long>(secs / 60 % 60), static_cast<long long>(secs % 60));
      name = stamp;
    }
  }
  if (!metadata.label.empty()) {
    if (!name.empty()) name.push_back(' ');
    name += metadata.label;
  }
  return name;
}

}  // namespace engine::signatures

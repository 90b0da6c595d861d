// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/categories.h"

#include "platform/utf.h"

namespace engine {

const std::string_view kPhotoList =
    "*.bmp|*.gif|*.jpg|*.jpeg|*.png|*.psd|*.tif|*.tiff|*.pcx|*.scr|*.ico|*.nef|*.nrw|*.crw|*.cr2|*.sr2|*.arw|*.srf|"
    "*.divu|*.pgm|*.k25|*.kdc|*.dcr|*.raf|*.iff|*.pbm|*.mef|*.jp2|*.mos|*.x3f|*.orf|*.erf|*.indd|*.pef|*.psp|*.mrw|"
    "*.dng|*.raw|*.pct|*.tga|*.thm";
const std::string_view kAudioList =
    "*.mp3|*.wav|*.ape|*.aiff|*.rps|*.mid|*.midi|*.m4a|*.m4p|*.au|*.ogg|*.wma|*.rm|*.ra|*.acd|*.amr|*.at3|*.caf|*.dss|"
    "*.m4r|*.nra|*.snd";
const std::string_view kVideoList =
    "*.rmvb|*.rm|*.mpeg|*.mov|*.avi|*.wmv|*.asf|*.mp4|*.flv|*.fla|*.swf|*.m4v|*.3gp|*.dv|*.3g2|*.m4b|*.mkv|*.mts|"
    "*.divx|*.ogm|*.moi|*.vob|*.ajp|*.f4v|*.mqv|*.svi|*.vid|*.tod|*.hdmov|*.mod|*.mxf|*.lrv";
const std::string_view kDocumentList =
    "*.doc|*.xls|*.ppt|*.odt|*.ods|*.pdf|*.docx|*.xlsx|*.pptx|*.ole|*.txt|*.xml|*.chm|*.htm|*.html|*.pst|*.dbx|*.wps|"
    "*.dps|*.et|*.one|*.mpp|*.mdb|*.accdb";
const std::string_view kArchiveList =
    "*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso";
const std::string_view kPreviewDocumentList =
    "*.pdf|*.doc|*.dot|*.docx|*.dotx|*.docm|*.dotm|*.rtf|*.odt|*.ppt|*.pptx|*.pptm|*.pps|*.ppsx|*.ppsm|*.odp|*.xls|"
    "*.xlsx|*.xlsm|*.csv|*.odc|*.vsd|*.vsdm|*.vsdx|*.pub|*.mpp|*.ics|*.vcf|*.msg|*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|"
    "*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso";
const std::string_view kWordPreviewList = "*.doc|*.dot|*.docx|*.dotx|*.docm|*.dotm|*.rtf|*.odt";
const std::string_view kPresentationPreviewList = "*.ppt|*.pptx|*.pptm|*.pps|*.ppsx|*.ppsm|*.odp";
const std::string_view kSpreadsheetPreviewList =
    "*.xls|*.xlsx|*.xlsm|*.csv|*.odc|*.vsd|*.vsdm|*.vsdx|*.pub|*.mpp|*.ics|*.vcf|*.msg";
const std::string_view kPdfPreviewList = "*.pdf";

const std::string_view kExactPhotoList = "*.heic|*.heif|*.avif|*.webp|*.cr3|*.rw2";
const std::string_view kExactDocumentList =
    "*.c|*.h|*.cpp|*.hpp|*.java|*.js|*.py|*.sh|*.pl|*.json|*.csv|*.ini";

const std::string& KnownExtensions() {
  static const std::string joined = std::string(kPhotoList) + "|" + std::string(kAudioList) + "|" +
                                    std::string(kDocumentList) + "|" + std::string(kVideoList) + "|" +
                                    std::string(kArchiveList);
  return joined;
}

std::string_view ExtensionOf(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  return name.substr(dot + 1);
}

bool ExtensionInList(std::string_view extension, std::string_view list) {
  if (extension.empty()) return false;
  std::string lower = platform::AsciiLower(extension);
  return list.find(lower) != std::string_view::npos;
}

namespace {

// Calls each("*.x") for every entry of a "|"-separated list.
template <typename Each>
void ForEachEntry(std::string_view list, Each each) {
  for (size_t start = 0; start <= list.size();) {
    size_t end = list.find('|', start);
    if (end == std::string_view::npos) end = list.size();
    each(list.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace

bool ExtensionIsEntryOf(std::string_view extension, std::string_view list) {
  if (extension.empty()) return false;
  bool found = false;
  ForEachEntry(list, [&](std::string_view entry) {
    if (found || entry.size() != extension.size() + 2 || entry.substr(0, 2) != "*.") return;
    for (size_t i = 0; i < extension.size(); ++i) {
      if (platform::AsciiLower(extension[i]) != entry[i + 2]) return;
    }
    found = true;
  });
  return found;
}

bool IsExactPhotoExtension(std::string_view extension) {
  return ExtensionIsEntryOf(extension, kExactPhotoList);
}

bool IsExactDocumentExtension(std::string_view extension) {
  return ExtensionIsEntryOf(extension, kExactDocumentList);
}

bool IsPhotoExtension(std::string_view extension) {
  if (IsExactPhotoExtension(extension)) return true;
  return !IsExactDocumentExtension(extension) && ExtensionInList(extension, kPhotoList);
}

namespace {

bool IsExactExtension(std::string_view extension) {
  return IsExactPhotoExtension(extension) || IsExactDocumentExtension(extension);
}

}  // namespace

SearchPatternRule::SearchPatternRule(std::string_view pattern, bool other) : m_pattern(pattern), m_other(other) {
  ForEachEntry(pattern, [&](std::string_view entry) {
    if (entry.substr(0, 2) == "*." && IsExactExtension(entry.substr(2))) return;
    if (!m_plain.empty()) m_plain.push_back('|');
    m_plain.append(entry);
  });
}

bool SearchPatternRule::Selects(std::string_view dottedLower) const {
  if (dottedLower.size() > 1 && IsExactExtension(dottedLower.substr(1))) {
    return ExtensionIsEntryOf(dottedLower.substr(1), m_pattern);
  }
  return m_plain.find(dottedLower) != std::string::npos ||
         (m_other && KnownExtensions().find(dottedLower) == std::string::npos);
}

const std::string& EveryListPattern() {
  static const std::string joined = std::string(kPhotoList) + "|" + std::string(kExactPhotoList) + "|" +
                                    std::string(kAudioList) + "|" + std::string(kVideoList) + "|" +
                                    std::string(kDocumentList) + "|" + std::string(kExactDocumentList) + "|" +
                                    std::string(kArchiveList);
  return joined;
}

Category CategoryOfName(std::string_view name) {
  if (platform::AsciiLower(name) == "folder") return Category::kFolder;
  std::string_view ext = ExtensionOf(name);
  if (platform::AsciiLower(ext) == "exe") return Category::kProgram;
  if (IsPhotoExtension(ext)) return Category::kPhoto;
  if (IsExactDocumentExtension(ext)) return Category::kDocument;
  if (ExtensionInList(ext, kAudioList)) return Category::kAudio;
  if (ExtensionInList(ext, kDocumentList)) return Category::kDocument;
  if (ExtensionInList(ext, kVideoList)) return Category::kVideo;
  if (ExtensionInList(ext, kArchiveList)) return Category::kArchive;
  return Category::kOther;
}

std::string IconOf(std::string_view name, bool intact) {
  std::string base;
  switch (CategoryOfName(name)) {
    case Category::kFolder: return "FileIcon\\folder.png";
    case Category::kProgram: base = "exe"; break;
    case Category::kPhoto: base = "image"; break;
    case Category::kAudio: base = "music"; break;
    case Category::kDocument: base = "doc"; break;
    case Category::kVideo: base = "video"; break;
    case Category::kArchive: base = "zip"; break;
    case Category::kOther: base = "default"; break;
  }
  return "FileIcon\\" + base + (intact ? ".png" : "_error.png");
}

std::string_view CategoryWord(Category category) {
  switch (category) {
    case Category::kFolder: return "folder";
    case Category::kProgram: return "program";
    case Category::kPhoto: return "photo";
    case Category::kAudio: return "audio";
    case Category::kDocument: return "document";
    case Category::kVideo: return "video";
    case Category::kArchive: return "archive";
    case Category::kOther: return "other";
  }
  return "other";
}

PreviewKind PreviewKindOf(std::string_view name) {
  std::string_view ext = ExtensionOf(name);
  if (IsExactDocumentExtension(ext)) {
    return ExtensionIsEntryOf(ext, kPreviewDocumentList) ? PreviewKind::kDocument : PreviewKind::kNone;
  }
  PreviewKind kind = PreviewKind::kNone;
  if (ExtensionInList(ext, kPreviewDocumentList)) kind = PreviewKind::kDocument;
  if (ExtensionInList(ext, kAudioList) || ExtensionInList(ext, kVideoList)) kind = PreviewKind::kVideo;
  if (IsPhotoExtension(ext)) kind = PreviewKind::kPhoto;
  return kind;
}

bool IsPhotoName(std::string_view name) {
  return IsPhotoExtension(ExtensionOf(name));
}

}  // namespace engine

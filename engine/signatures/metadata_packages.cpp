// SPDX-License-Identifier: GPL-3.0-or-later
#include <algorithm>
#include <cstring>
#include <string>

#include <zlib.h>

#include "engine/byte_view.h"
#include "engine/signatures/metadata_readers.h"

namespace engine::signatures {
namespace {

constexpr size_t kEndRecordBytes = 22;
constexpr size_t kCentralBytes = 46;
constexpr size_t kLocalBytes = 30;
constexpr uint32_t kMaxMembers = 65535;
constexpr uint64_t kMaxMemberBytes = 1u << 20;

// The member of the ZIP package whose name `matches` accepts, inflated (or stored).
template <typename Matches>
bool ReadMember(FileWindow& window, uint64_t fileSize, Matches&& matches, std::string* out) {
  if (fileSize < kEndRecordBytes) return false;
  const uint64_t tail = std::min<uint64_t>(fileSize, 65535 + kEndRecordBytes);
  std::vector<uint8_t> end;
  if (!ReadFileBytes(window, fileSize - tail, static_cast<size_t>(tail), &end)) return false;
  const size_t at = [&] {
    for (size_t i = end.size() - kEndRecordBytes + 1; i-- > 0;) {
      if (std::memcmp(end.data() + i, "PK\x05\x06", 4) == 0) return i;
    }
    return static_cast<size_t>(-1);
  }();
  if (at == static_cast<size_t>(-1)) return false;
  const ByteView eocd(end.data() + at, kEndRecordBytes);
  const uint64_t cdOffset = eocd.U32(16), cdSize = eocd.U32(12);
  if (cdOffset > fileSize || cdSize > fileSize - cdOffset || cdSize > (8u << 20)) return false;
  std::vector<uint8_t> cd;
  if (!ReadFileBytes(window, cdOffset, static_cast<size_t>(cdSize), &cd)) return false;
  const ByteView view(cd.data(), cd.size());
  size_t pos = 0;
  for (uint32_t i = 0; i < kMaxMembers && view.Equals(pos, "PK\x01\x02", 4); ++i) {
    const uint16_t method = view.U16(pos + 10);
    const uint64_t compressed = view.U32(pos + 20), size = view.U32(pos + 24);
    const size_t nameBytes = view.U16(pos + 28);
    const uint64_t local = view.U32(pos + 42);
    if (!view.Has(pos + kCentralBytes, nameBytes)) return false;
    const std::string name(reinterpret_cast<const char*>(cd.data() + pos + kCentralBytes), nameBytes);
    pos += kCentralBytes + nameBytes + view.U16(pos + 30) + view.U16(pos + 32);
    if (!matches(name)) continue;
    if (size > kMaxMemberBytes || compressed > kMaxMemberBytes) return false;
    const uint8_t* l = window.Get(local, kLocalBytes);
    if (l == nullptr || std::memcmp(l, "PK\x03\x04", 4) != 0) return false;
    const uint64_t data = local + kLocalBytes + ByteView(l, kLocalBytes).U16(26) + ByteView(l, kLocalBytes).U16(28);
    std::vector<uint8_t> packed;
    if (data > fileSize || compressed > fileSize - data || !ReadFileBytes(window, data, static_cast<size_t>(compressed), &packed)) {
      return false;
    }
    if (method == 0) {
      out->assign(packed.begin(), packed.end());
      return true;
    }
    if (method != 8) return false;
    out->assign(static_cast<size_t>(size), '\0');
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return false;
    z.next_in = packed.data();
    z.avail_in = static_cast<uInt>(packed.size());
    z.next_out = reinterpret_cast<Bytef*>(out->data());
    z.avail_out = static_cast<uInt>(out->size());
    const int status = inflate(&z, Z_FINISH);
    const size_t made = out->size() - z.avail_out;
    inflateEnd(&z);
    out->resize(made);
    return status == Z_STREAM_END || made > 0;
  }
  return false;
}

std::string XmlUnescape(std::string text) {
  static constexpr std::pair<const char*, char> kEntities[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  for (const auto& [entity, c] : kEntities) {
    for (size_t at = text.find(entity); at != std::string::npos; at = text.find(entity, at + 1)) {
      text.replace(at, std::strlen(entity), 1, c);
    }
  }
  return text;
}

// The text of the first element named tag ("dc:title"), attributes allowed.
std::string ElementText(const std::string& xml, const std::string& tag) {
  size_t at = 0;
  while ((at = xml.find("<" + tag, at)) != std::string::npos) {
    const char next = at + 1 + tag.size() < xml.size() ? xml[at + 1 + tag.size()] : '\0';
    if (next == '>' || next == ' ' || next == '\t' || next == '\n' || next == '\r') break;
    ++at;
  }
  if (at == std::string::npos) return {};
  const size_t open = xml.find('>', at);
  const size_t close = xml.find("</" + tag, open == std::string::npos ? at : open);
  if (open == std::string::npos || close == std::string::npos || xml[open - 1] == '/') return {};
  return XmlUnescape(xml.substr(open + 1, close - open - 1));
}

bool StampedTime(const std::string& text, int64_t* out) {
  if (text.size() < 10) return false;
  int v[6] = {};
  static constexpr size_t kAt[6] = {0, 5, 8, 11, 14, 17};
  static constexpr size_t kDigits[6] = {4, 2, 2, 2, 2, 2};
  const int fields = text.size() >= 19 ? 6 : 3;
  for (int f = 0; f < fields; ++f) {
    for (size_t i = 0; i < kDigits[f]; ++i) {
      const char c = text[kAt[f] + i];
      if (c < '0' || c > '9') return false;
      v[f] = v[f] * 10 + (c - '0');
    }
  }
  return CivilToUnix(v[0], v[1], v[2], v[3], v[4], v[5], out);
}

}  // namespace

bool PackageMetadata(FileWindow& window, FileTypeCode code, uint64_t fileSize, CarvedMetadata* out) {
  using C = FileTypeCode;
  std::string xml;
  const char* created = nullptr;
  if (code == C::kOdt || code == C::kOds || code == C::kOdp) {
    if (!ReadMember(window, fileSize, [](const std::string& n) { return n == "meta.xml"; }, &xml)) return false;
    created = "meta:creation-date";
  } else if (code == C::kEpub) {
    auto opf = [](const std::string& n) { return n.size() > 4 && n.compare(n.size() - 4, 4, ".opf") == 0; };
    if (!ReadMember(window, fileSize, opf, &xml)) return false;
    created = "dc:date";
  } else {
    if (!ReadMember(window, fileSize, [](const std::string& n) { return n == "docProps/core.xml"; }, &xml)) return false;
    created = "dcterms:created";
  }
  bool found = false;
  if (StampedTime(ElementText(xml, created), &out->unixSeconds)) out->hasTime = found = true;
  out->label = ElementText(xml, "dc:title");
  return found || !out->label.empty();
}

}  // namespace engine::signatures

// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/deep/deep_scan_state.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "engine/byte_view.h"
#include "engine/hash64.h"
#include "platform/error.h"

namespace engine::deep {
namespace {

// "QMDEEP" and two digits of version; the state ends with a Hash64 of all
// the bytes before it.
constexpr char kMagic[6] = {'Q', 'M', 'D', 'E', 'E', 'P'};
constexpr char kVersion[2] = {'0', '2'};
constexpr size_t kChecksumBytes = 8;
constexpr size_t kReplayEntryBytes = 16;
constexpr size_t kReplayBufferEntries = 4096;
// A state file is small: extents and walked runs, 16 bytes each.
constexpr uint64_t kMaxStateBytes = uint64_t{1} << 30;
// The fast engine's status is one of the system's error numbers.
constexpr int32_t kMaxFastStatus = 0xFFFF;
constexpr size_t kHashPieceBytes = 65536;

class Writer {
 public:
  void U8(uint8_t v) { m_bytes.push_back(v); }
  void U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) m_bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  void U64(uint64_t v) {
    for (int i = 0; i < 8; ++i) m_bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  std::vector<uint8_t>& Bytes() { return m_bytes; }

 private:
  std::vector<uint8_t> m_bytes;
};

class Reader {
 public:
  explicit Reader(ByteView view) : m_view(view) {}
  bool Ok() const { return m_ok; }
  bool AtEnd() const { return m_at == m_view.size(); }
  uint8_t U8() { return Take(1) ? m_view.U8(m_at - 1) : 0; }
  uint32_t U32() { return Take(4) ? m_view.U32(m_at - 4) : 0; }
  uint64_t U64() { return Take(8) ? m_view.U64(m_at - 8) : 0; }
  // A count of entries of entryBytes that must still fit in what is left.
  uint64_t Count(size_t entryBytes) {
    const uint64_t n = U64();
    if (!m_ok || n > (m_view.size() - m_at) / entryBytes) m_ok = false;
    return m_ok ? n : 0;
  }

 private:
  bool Take(size_t n) {
    if (!m_ok || !m_view.Has(m_at, n)) {
      m_ok = false;
      return false;
    }
    m_at += n;
    return true;
  }
  ByteView m_view;
  size_t m_at = 0;
  bool m_ok = true;
};

std::string Joined(const std::string& folder, const std::string& name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

// Reads at most maxBytes of a kept file: 2 when there is none;
// kErrorNotSupported for anything but a plain file (a folder, a device, a
// link to one); *whole tells whether that was all of it.
Status ReadKeptFile(const std::string& path, uint64_t maxBytes, std::string* out, bool* whole) {
  out->clear();
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (ec || status.type() == std::filesystem::file_type::not_found) return platform::kErrorFileNotFound;
  if (status.type() != std::filesystem::file_type::regular) return platform::kErrorNotSupported;
  platform::RawFile file;
  if (Status s = file.Open(path); s != kStatusOk) return s;
  if (file.IsBlockDevice()) return platform::kErrorNotSupported;
  uint64_t length = 0;
  if (Status s = file.Length(&length); s != kStatusOk) return s;
  *whole = length <= maxBytes;
  out->resize(static_cast<size_t>(std::min(length, maxBytes)));
  for (size_t done = 0; done < out->size();) {
    size_t n = 0;
    const size_t piece = std::min<size_t>(out->size() - done, kHashPieceBytes);
    if (Status s = file.ReadAt(done, out->data() + done, piece, &n); s != kStatusOk) return s;
    if (n == 0) {
      out->resize(done);  // shorter than it said: cut short while it was read
      *whole = false;
      break;
    }
    done += n;
  }
  return kStatusOk;
}

// The replay log's hash after one more entry.
uint64_t ChainEntry(uint64_t hash, const uint8_t* entry) {
  Hash64 h;
  h.Add(hash);
  h.Update(entry, kReplayEntryBytes);
  return h.Value();
}

void EncodeEntry(const ReplayRun& r, uint8_t* e) {
  std::memset(e, 0, kReplayEntryBytes);
  for (int b = 0; b < 8; ++b) e[b] = static_cast<uint8_t>(r.sector >> (8 * b));
  for (int b = 0; b < 4; ++b) e[8 + b] = static_cast<uint8_t>(r.count >> (8 * b));
  e[12] = r.kind;
  e[13] = r.step;
}

}  // namespace

Status WriteDeepScanState(const std::string& folder, const DeepScanState& state) {
  Writer w;
  for (char c : kMagic) w.U8(static_cast<uint8_t>(c));
  for (char c : kVersion) w.U8(static_cast<uint8_t>(c));
  w.U32(state.sectorBytes);
  w.U64(state.volumeStart);
  w.U64(state.sectorCount);
  w.U8(state.finished ? 1 : 0);
  w.U8(state.freeSpaceOnly ? 1 : 0);
  w.U32(static_cast<uint32_t>(state.fastStatus));
  w.U64(state.extentIndex);
  w.U64(state.extentDone);
  w.U64(state.skipUntil);
  w.U64(state.sectorsDone);
  w.U64(state.unreadableSectors);
  w.U64(state.replayEntries);
  w.U64(state.replayHash);
  w.U64(state.carvedStoreHash);
  w.U64(state.metadataRuns.size());
  for (const ByteRun& r : state.metadataRuns) {
    w.U64(r.offset);
    w.U64(r.length);
  }
  w.U64(state.extents.size());
  for (const SectorExtent& e : state.extents) {
    w.U64(e.start);
    w.U64(e.count);
  }
  Hash64 checksum;
  checksum.Update(w.Bytes().data(), w.Bytes().size());
  w.U64(checksum.Value());
  const std::string path = Joined(folder, kDeepStateName);
  const std::string temporary = path + ".new";
  platform::OutputFile file;
  Status s = file.Open(temporary, platform::OutputFile::Mode::kCreateTruncate);
  if (s == kStatusOk) s = file.WriteAt(0, w.Bytes().data(), w.Bytes().size());
  if (s == kStatusOk) s = file.Sync();
  const Status closed = file.Close();
  if (s == kStatusOk) s = closed;
  if (s != kStatusOk) return s;
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  return ec ? platform::ErrorFromErrno(ec.value()) : kStatusOk;
}

KeptStateFault ParseDeepScanState(ByteView bytes, DeepScanState* state) {
  if (bytes.size() < sizeof kMagic + sizeof kVersion + kChecksumBytes) return KeptStateFault::kDamaged;
  for (size_t i = 0; i < sizeof kMagic; ++i) {
    if (bytes.U8(i) != static_cast<uint8_t>(kMagic[i])) return KeptStateFault::kDamaged;
  }
  for (size_t i = 0; i < sizeof kVersion; ++i) {
    if (bytes.U8(sizeof kMagic + i) != static_cast<uint8_t>(kVersion[i])) return KeptStateFault::kOtherVersion;
  }
  const size_t body = bytes.size() - kChecksumBytes;
  Hash64 checksum;
  checksum.Update(bytes.data(), body);
  if (checksum.Value() != bytes.U64(body)) return KeptStateFault::kDamaged;
  Reader r(ByteView(bytes.data() + sizeof kMagic + sizeof kVersion, body - sizeof kMagic - sizeof kVersion));
  DeepScanState st;
  st.sectorBytes = r.U32();
  st.volumeStart = r.U64();
  st.sectorCount = r.U64();
  const uint8_t finished = r.U8();
  const uint8_t freeSpaceOnly = r.U8();
  st.finished = finished != 0;
  st.freeSpaceOnly = freeSpaceOnly != 0;
  st.fastStatus = static_cast<int32_t>(r.U32());
  st.extentIndex = r.U64();
  st.extentDone = r.U64();
  st.skipUntil = r.U64();
  st.sectorsDone = r.U64();
  st.unreadableSectors = r.U64();
  st.replayEntries = r.U64();
  st.replayHash = r.U64();
  st.carvedStoreHash = r.U64();
  st.metadataRuns.resize(r.Count(16));
  for (ByteRun& run : st.metadataRuns) {
    run.offset = r.U64();
    run.length = r.U64();
  }
  st.extents.resize(r.Count(16));
  for (SectorExtent& e : st.extents) {
    e.start = r.U64();
    e.count = r.U64();
  }
  if (!r.Ok() || !r.AtEnd() || finished > 1 || freeSpaceOnly > 1) return KeptStateFault::kDamaged;
  *state = std::move(st);
  return KeptStateFault::kNone;
}

Status ReadDeepScanState(const std::string& folder, DeepScanState* state, KeptStateFault* fault) {
  KeptStateFault local = KeptStateFault::kNone;
  KeptStateFault& why = fault != nullptr ? *fault : local;
  why = KeptStateFault::kNone;
  std::string bytes;
  bool whole = false;
  const Status s = ReadKeptFile(Joined(folder, kDeepStateName), kMaxStateBytes, &bytes, &whole);
  if (s == platform::kErrorFileNotFound) return s;
  if (s != kStatusOk) {
    why = KeptStateFault::kUnreadable;
    return platform::kErrorInvalidData;
  }
  why = whole ? ParseDeepScanState(ByteView(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), state)
              : KeptStateFault::kDamaged;
  return why == KeptStateFault::kNone ? kStatusOk : platform::kErrorInvalidData;
}

KeptStateFault CheckDeepScanState(const DeepScanState& state, uint32_t sectorBytes, uint64_t volumeStart,
                                  uint64_t sectorCount) {
  if (state.sectorBytes != sectorBytes || state.volumeStart != volumeStart || state.sectorCount != sectorCount) {
    return KeptStateFault::kOtherVolume;
  }
  if (state.extents.size() > sectorCount) return KeptStateFault::kOutside;
  uint64_t end = 0;
  uint64_t total = 0;
  for (const SectorExtent& e : state.extents) {
    // Sorted, disjoint, none empty, all inside: the sum cannot pass sectorCount.
    if (e.count == 0 || e.start < end || e.start >= sectorCount || e.count > sectorCount - e.start) {
      return KeptStateFault::kOutside;
    }
    end = e.start + e.count;
    total += e.count;
  }
  const uint64_t extents = state.extents.size();
  if (state.extentIndex > extents) return KeptStateFault::kOutside;
  if (state.extentIndex < extents ? state.extentDone > state.extents[state.extentIndex].count : state.extentDone != 0) {
    return KeptStateFault::kOutside;
  }
  if (state.finished && state.extentIndex != extents) return KeptStateFault::kOutside;
  if (state.skipUntil != 0 && (state.skipUntil < volumeStart || state.skipUntil - volumeStart > sectorCount)) {
    return KeptStateFault::kOutside;
  }
  if (state.sectorsDone > total || state.unreadableSectors > state.sectorsDone) return KeptStateFault::kOutside;
  // Every replay entry hands over at least one sector, each once.
  if (state.replayEntries > sectorCount) return KeptStateFault::kReplay;
  if (state.fastStatus < 0 || state.fastStatus > kMaxFastStatus) return KeptStateFault::kDamaged;
  return KeptStateFault::kNone;
}

Status HashStoreFiles(const std::string& folder, const std::string& baseName, uint64_t* hash) {
  Hash64 h;
  if (!baseName.empty()) {
    std::vector<uint8_t> piece(kHashPieceBytes);
    for (const char* suffix : {"", "_Relation", "_DirInfo", "_Layout"}) {
      const std::string path = Joined(folder, baseName + suffix);
      std::error_code ec;
      const auto type = std::filesystem::status(path, ec).type();
      if (ec || type == std::filesystem::file_type::not_found) {
        h.Add(~uint64_t{0});
        continue;
      }
      if (type != std::filesystem::file_type::regular) return platform::kErrorNotSupported;
      platform::RawFile file;
      uint64_t length = 0;
      if (Status s = file.Open(path); s != kStatusOk) return s;
      if (Status s = file.Length(&length); s != kStatusOk) return s;
      h.Add(length);
      for (uint64_t at = 0; at < length;) {
        size_t n = 0;
        if (Status s = file.ReadAt(at, piece.data(), piece.size(), &n); s != kStatusOk) return s;
        if (n == 0) return kStatusReadFault;
        h.Update(piece.data(), n);
        at += n;
      }
    }
  }
  *hash = h.Value();
  return kStatusOk;
}

ReplayLog::~ReplayLog() {
  (void)Close();
}

Status ReplayLog::Open(const std::string& folder, uint64_t keep, uint64_t keptHash) {
  (void)Close();
  m_error = kStatusOk;
  m_buffer.clear();
  m_open = false;
  m_written = 0;
  m_hash = 0;
  Status s = m_file.Open(Joined(folder, kDeepReplayName), platform::OutputFile::Mode::kCreateOrOpen);
  uint64_t length = 0;
  if (s == kStatusOk) s = m_file.Length(&length);
  if (s == kStatusOk && length < keep * kReplayEntryBytes) s = platform::kErrorInvalidData;  // the log lost entries
  if (s == kStatusOk) s = m_file.Truncate(keep * kReplayEntryBytes);
  if (s != kStatusOk) {
    (void)m_file.Close();
    return s;
  }
  m_written = keep;
  m_hash = keep == 0 ? 0 : keptHash;
  return kStatusOk;
}

void ReplayLog::Add(ReplayKind kind, uint64_t sector, uint32_t step) {
  const auto k = static_cast<uint8_t>(kind);
  const uint8_t s = static_cast<uint8_t>(std::min<uint32_t>(step == 0 ? 1 : step, 255));
  if (m_open && m_current.kind == k && m_current.step == s && m_current.count < 0xFFFFFFFFu &&
      m_current.sector + uint64_t{m_current.count} * s == sector) {
    ++m_current.count;
    return;
  }
  Seal();
  m_current = ReplayRun{sector, 1, k, s};
  m_open = true;
}

void ReplayLog::Seal() {
  if (!m_open) return;
  m_buffer.push_back(m_current);
  m_open = false;
  if (m_buffer.size() >= kReplayBufferEntries) {
    if (Status s = WriteBuffer(); s != kStatusOk && m_error == kStatusOk) m_error = s;
  }
}

Status ReplayLog::WriteBuffer() {
  if (m_buffer.empty()) return kStatusOk;
  if (!m_file.IsOpen()) return platform::kErrorInvalidHandle;
  std::vector<uint8_t> bytes(m_buffer.size() * kReplayEntryBytes, 0);
  uint64_t hash = m_hash;
  for (size_t i = 0; i < m_buffer.size(); ++i) {
    uint8_t* e = bytes.data() + i * kReplayEntryBytes;
    EncodeEntry(m_buffer[i], e);
    hash = ChainEntry(hash, e);
  }
  const Status s = m_file.WriteAt(m_written * kReplayEntryBytes, bytes.data(), bytes.size());
  if (s == kStatusOk) {
    m_written += m_buffer.size();
    m_hash = hash;
  }
  m_buffer.clear();
  return s;
}

Status ReplayLog::Flush() {
  Seal();
  if (Status s = WriteBuffer(); s != kStatusOk && m_error == kStatusOk) m_error = s;
  if (m_file.IsOpen()) {
    if (Status s = m_file.Sync(); s != kStatusOk && m_error == kStatusOk) m_error = s;
  }
  return m_error;
}

Status ReplayLog::Close() {
  if (!m_file.IsOpen()) return kStatusOk;
  Status s = Flush();
  const Status closed = m_file.Close();
  return s != kStatusOk ? s : closed;
}

Status ReplayLog::Read(const std::string& folder, uint64_t entries, uint64_t hash, std::vector<ReplayRun>* out) {
  out->clear();
  if (entries == 0) return hash == 0 ? kStatusOk : platform::kErrorInvalidData;
  if (entries > kMaxStateBytes / kReplayEntryBytes) return platform::kErrorInvalidData;
  std::string bytes;
  bool whole = false;
  if (Status s = ReadKeptFile(Joined(folder, kDeepReplayName), entries * kReplayEntryBytes, &bytes, &whole);
      s != kStatusOk) {
    return platform::kErrorInvalidData;
  }
  if (bytes.size() < entries * kReplayEntryBytes) return platform::kErrorInvalidData;
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  const ByteView view(data, bytes.size());
  if (HashOf(view) != hash) return platform::kErrorInvalidData;
  out->reserve(static_cast<size_t>(entries));
  for (uint64_t i = 0; i < entries; ++i) {
    const size_t at = static_cast<size_t>(i * kReplayEntryBytes);
    ReplayRun r;
    r.sector = view.U64(at);
    r.count = view.U32(at + 8);
    r.kind = view.U8(at + 12);
    r.step = view.U8(at + 13);
    if (r.kind < 1 || r.kind > kLastReplayKind || r.count == 0 || r.step == 0) return platform::kErrorInvalidData;
    out->push_back(r);
  }
  return kStatusOk;
}

uint64_t ReplayLog::HashOf(ByteView entries) {
  uint64_t chained = 0;
  for (size_t at = 0; entries.Has(at, kReplayEntryBytes); at += kReplayEntryBytes) {
    chained = ChainEntry(chained, entries.data() + at);
  }
  return chained;
}

bool ReplayLog::RunsFit(const std::vector<ReplayRun>& runs, uint64_t volumeStart, uint64_t sectorCount,
                        const std::function<uint32_t(ReplayKind)>& spanOf) {
  uint64_t next = volumeStart;  // the first sector a run may hand over
  uint64_t end = 0;
  if (__builtin_add_overflow(volumeStart, sectorCount, &end)) return false;
  for (const ReplayRun& r : runs) {
    if (r.kind < 1 || r.kind > kLastReplayKind) return false;
    const uint64_t span = std::max<uint32_t>(spanOf(static_cast<ReplayKind>(r.kind)), 1);
    // Each handed sector (or record) follows the one before without overlap.
    if (r.count == 0 || r.step == 0 || (r.count > 1 && r.step < span)) return false;
    uint64_t last = 0;
    uint64_t lastEnd = 0;
    if (r.sector < next || __builtin_mul_overflow(uint64_t{r.count} - 1, uint64_t{r.step}, &last) ||
        __builtin_add_overflow(last, r.sector, &last) || __builtin_add_overflow(last, span, &lastEnd) ||
        lastEnd > end) {
      return false;
    }
    next = lastEnd;
  }
  return true;
}

}  // namespace engine::deep

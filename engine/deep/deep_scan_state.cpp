// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/deep/deep_scan_state.h"

#include <cstring>
#include <filesystem>

#include "engine/byte_view.h"
#include "platform/error.h"

namespace engine::deep {
namespace {

constexpr char kMagic[8] = {'Q', 'M', 'D', 'E', 'E', 'P', '0', '1'};
constexpr size_t kReplayEntryBytes = 16;
constexpr size_t kReplayBufferEntries = 4096;
// A state file is small: extents and walked runs, 16 bytes each.
constexpr uint64_t kMaxStateBytes = uint64_t{1} << 30;

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

std::string Joined(const std::string& folder, const char* name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

}  // namespace

Status WriteDeepScanState(const std::string& folder, const DeepScanState& state) {
  Writer w;
  for (char c : kMagic) w.U8(static_cast<uint8_t>(c));
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

Status ReadDeepScanState(const std::string& folder, DeepScanState* state) {
  std::string bytes;
  if (Status s = platform::ReadWholeFile(Joined(folder, kDeepStateName), &bytes, kMaxStateBytes); s != kStatusOk) {
    return s;
  }
  Reader r(ByteView(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  for (char c : kMagic) {
    if (r.U8() != static_cast<uint8_t>(c)) return platform::kErrorInvalidData;
  }
  DeepScanState st;
  st.sectorBytes = r.U32();
  st.volumeStart = r.U64();
  st.sectorCount = r.U64();
  st.finished = r.U8() != 0;
  st.freeSpaceOnly = r.U8() != 0;
  st.fastStatus = static_cast<int32_t>(r.U32());
  st.extentIndex = r.U64();
  st.extentDone = r.U64();
  st.skipUntil = r.U64();
  st.sectorsDone = r.U64();
  st.unreadableSectors = r.U64();
  st.replayEntries = r.U64();
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
  if (!r.Ok() || st.sectorBytes == 0) return platform::kErrorInvalidData;
  *state = std::move(st);
  return kStatusOk;
}

ReplayLog::~ReplayLog() {
  (void)Close();
}

Status ReplayLog::Open(const std::string& folder, uint64_t keep) {
  (void)Close();
  m_error = kStatusOk;
  m_buffer.clear();
  m_open = false;
  m_written = 0;
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
  for (size_t i = 0; i < m_buffer.size(); ++i) {
    uint8_t* e = bytes.data() + i * kReplayEntryBytes;
    const ReplayRun& r = m_buffer[i];
    for (int b = 0; b < 8; ++b) e[b] = static_cast<uint8_t>(r.sector >> (8 * b));
    for (int b = 0; b < 4; ++b) e[8 + b] = static_cast<uint8_t>(r.count >> (8 * b));
    e[12] = r.kind;
    e[13] = r.step;
  }
  const Status s = m_file.WriteAt(m_written * kReplayEntryBytes, bytes.data(), bytes.size());
  if (s == kStatusOk) m_written += m_buffer.size();
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

Status ReplayLog::Read(const std::string& folder, uint64_t entries, std::vector<ReplayRun>* out) {
  out->clear();
  if (entries == 0) return kStatusOk;
  if (entries > kMaxStateBytes / kReplayEntryBytes) return platform::kErrorInvalidData;
  std::string bytes;
  if (Status s = platform::ReadWholeFile(Joined(folder, kDeepReplayName), &bytes, entries * kReplayEntryBytes);
      s != kStatusOk) {
    return s;
  }
  if (bytes.size() < entries * kReplayEntryBytes) return platform::kErrorInvalidData;
  const ByteView view(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  out->reserve(static_cast<size_t>(entries));
  for (uint64_t i = 0; i < entries; ++i) {
    const size_t at = static_cast<size_t>(i * kReplayEntryBytes);
    ReplayRun r;
    r.sector = view.U64(at);
    r.count = view.U32(at + 8);
    r.kind = view.U8(at + 12);
    r.step = view.U8(at + 13);
    if (r.kind < 1 || r.kind > 4 || r.count == 0 || r.step == 0) return platform::kErrorInvalidData;
    out->push_back(r);
  }
  return kStatusOk;
}

}  // namespace engine::deep

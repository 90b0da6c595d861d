// SPDX-License-Identifier: GPL-3.0-or-later
// The professional NTFS engine over a volume made of the input: every
// 512-byte sector that starts a plausible file record is handed over as the
// deep scan does (a record 0 named "$MFT" teaches its MFT map), then the
// finish (MFTs, content checks, folders read from the volume), the listing
// and the copy-out of the first files found.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/ntfs/mft_record.h"
#include "engine/ntfs/professional_ntfs_recovery.h"
#include "fuzz/fuzz_data_home.h"
#include "storage/sector_source.h"

namespace {

int RunOne(const uint8_t* data, size_t size) {
  using namespace engine;
  if (size > (size_t{4} << 20)) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  bytes.resize((bytes.size() + 511) / 512 * 512 + 1024, 0);
  storage::SectorSource source;
  storage::OpenMemorySource(source, bytes);
  ntfs::CProfessionalNtfsRecovery engine;
  if (engine.OpenSharedSource(source, 512, 0, 0, 'N') != kStatusOk) return 0;
  if (engine.Begin(nullptr) != kStatusOk) return 0;
  const uint32_t recordBytes = engine.RecordBytes();
  for (size_t at = 0; at + 512 <= bytes.size(); at += 512) {
    const ByteView left(bytes.data() + at, bytes.size() - at);
    if (bytes[at] != 'F' || !ntfs::IsPlausibleFileRecord(left, recordBytes)) continue;
    if (at + recordBytes > bytes.size()) break;
    // 87 for a record that fails the header checks after all: not what is checked here.
    (void)engine.HandleRecord(bytes.data() + at, recordBytes, at / 512);
  }
  // Fuzzing explores inputs; the finish's status is not what is checked here.
  (void)engine.Finish();
  std::vector<ItemRecord> root;
  if (engine.ListChildren(nullptr, 0, root) != kStatusOk) return 0;
  const std::string out = std::filesystem::temp_directory_path().string() + "/quellmoor_fuzz_professional_ntfs/out";
  for (size_t i = 0, copied = 0; i < root.size() && copied < 4; ++i) {
    if (root[i].isFolder != 0) {
      std::vector<ItemRecord> children;
      (void)engine.ListChildren(&root[i], 1, children);
      continue;
    }
    std::string path;
    (void)engine.GetItemPath(&root[i], path);
    (void)engine.RecoverItem(&root[i], out, 0);
    ++copied;
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = fuzzing::PrepareDataHome("professional_ntfs");
  if (!ready) return 0;
  RunOne(data, size);
  fuzzing::ClearScanFolder();
  return 0;
}

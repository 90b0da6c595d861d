// SPDX-License-Identifier: GPL-3.0-or-later
// Walks arbitrary bytes as a 1 KiB MFT record: fix-up, attributes, run lists.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/ntfs/attributes.h"
#include "engine/ntfs/mft_record.h"
#include "engine/ntfs/run_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace engine;
  std::vector<uint8_t> record(data, data + size);
  record.resize(1024, 0);
  (void)ntfs::IsPlausibleFileRecord(ByteView(record.data(), record.size()), 1024);
  if (!ntfs::ApplyUpdateSequence(record.data(), record.size())) return 0;
  ByteView view(record.data(), record.size());
  ntfs::AttributeWalker walker(view, ntfs::RecordWalkEnd(view));
  ntfs::AttributeRef attribute;
  std::vector<ntfs::MftRun> runs;
  for (int i = 0; i < 64 && walker.Next(&attribute); ++i) {
    (void)ntfs::ResidentValueOf(attribute);
    runs.clear();
    ntfs::DecodeRunList(attribute.bytes, runs);
    (void)ntfs::PlaceRuns(runs);
  }
  return 0;
}

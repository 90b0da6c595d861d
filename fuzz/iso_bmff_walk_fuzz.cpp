// SPDX-License-Identifier: GPL-3.0-or-later
// The ISO base media walkers on the input as a file: the brand decision, the
// still image's top-level walk, the Exif item found through meta's iinf and
// iloc, the movie header and title tags, and the structure check's box walk.
// The input is tried as it is and behind a HEIF file-type box.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/signatures/carve_context.h"
#include "engine/signatures/carved_metadata.h"
#include "engine/signatures/metadata_readers.h"
#include "engine/signatures/read_ahead.h"
#include "engine/signatures/recognisers.h"
#include "engine/signatures/structure_check.h"
#include "storage/sector_source.h"

namespace {

void Walk(const std::vector<uint8_t>& file) {
  std::vector<uint8_t> bytes(file);
  bytes.resize((bytes.size() + 511) / 512 * 512 + 512, 0);
  storage::SectorSource source;
  storage::OpenMemorySource(source, bytes);
  engine::signatures::CarveContext context;
  context.Attach(&source, 512);
  (void)engine::signatures::IsoBrandCode(bytes.data(), 512);
  {
    engine::signatures::FileWindow window(context, bytes.data(), 512);
    (void)engine::signatures::IsoImageEnd(window, uint64_t{1} << 30);
  }
  {
    engine::signatures::FileWindow window(context, bytes.data(), 512);
    std::vector<uint8_t> tiff;
    (void)engine::signatures::HeifExifItem(window, file.size(), &tiff);
  }
  for (const auto code : {engine::signatures::FileTypeCode::kHeic, engine::signatures::FileTypeCode::kMp4}) {
    engine::signatures::FileWindow window(context, bytes.data(), 512);
    engine::signatures::CarvedMetadata metadata;
    (void)engine::signatures::ReadCarvedMetadata(window, code, file.size(), &metadata);
  }
  if (!file.empty()) (void)engine::signatures::CheckFileStructure(source, 512, file.size(), "mp4");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Walk(std::vector<uint8_t>(data, data + size));
  static const uint8_t kHeifType[] = {0, 0, 0, 0x18, 'f', 't', 'y', 'p', 'h', 'e', 'i', 'c', 0, 0, 0, 0,
                                      'm', 'i', 'f', '1', 'h', 'e', 'i', 'c'};
  std::vector<uint8_t> behind(kHeifType, kHeifType + sizeof kHeifType);
  behind.insert(behind.end(), data, data + size);
  Walk(behind);
  return 0;
}

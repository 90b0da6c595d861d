// SPDX-License-Identifier: GPL-3.0-or-later
// Classifies arbitrary volume heads, reads the size and serial their file
// systems give, runs the FAT directory tests on them, and reads them as the
// text preview would.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/boot_sector_tests.h"
#include "engine/fat_dir_entry.h"
#include "jobs/text_decoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)engine::ClassifyVolume(data, size);
  std::vector<uint8_t> head(data, data + size);
  head.resize(engine::kClassifyBytes, 0);
  (void)engine::ClassifyVolume(head.data(), head.size());
  (void)engine::FileSystemBytes(head.data(), head.size());
  (void)engine::VolumeSerialText(head.data(), head.size());
  (void)engine::EncryptionName(data, size);
  std::string text;
  (void)jobs::DecodeText(data, size, &text);
  (void)engine::IsDirectorySector(data, size);
  (void)engine::IsDirectoryStart(data, size);
  for (size_t off = 0; off + 64 <= size; off += 32) (void)engine::IsValidDirEntry(data + off, data + off + 32);
  return 0;
}

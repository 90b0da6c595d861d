// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/ext4/fast_ext4_recovery.h"
#include "tests/engine/fat/fat_test_util.h"
#include "tests/support/test_support.h"

namespace engine::ext4_testing {

using fat_testing::CollectAll;
using fat_testing::FoundItem;
using fat_testing::MemorySource;
using fat_testing::ScanHome;

// Opens the fast ext engine on an image file and scans it.
inline std::unique_ptr<ext4::CFastExt4Recovery> ScanImage(const std::string& path, Status* scanStatus = nullptr) {
  auto engine = std::make_unique<ext4::CFastExt4Recovery>();
  EXPECT_EQ(engine->OpenImage(path, 'X'), kStatusOk) << path;
  const Status s = engine->Scan(nullptr);
  if (scanStatus != nullptr) {
    *scanStatus = s;
  } else {
    EXPECT_EQ(s, kStatusOk) << path;
  }
  return engine;
}

// Opens the fast ext engine on bytes in memory and scans them.
inline std::unique_ptr<ext4::CFastExt4Recovery> ScanBytes(std::vector<uint8_t> bytes, Status* openStatus,
                                                          Status* scanStatus) {
  auto engine = std::make_unique<ext4::CFastExt4Recovery>();
  *openStatus = engine->OpenSource(MemorySource(std::move(bytes)), 0, 0, 'M');
  *scanStatus = engine->Scan(nullptr);
  return engine;
}

// The value of "key=" in a manifest note, or empty.
inline std::string NoteValue(const std::string& note, const std::string& key) {
  const size_t at = note.find(key + "=");
  if (at == std::string::npos) return {};
  const size_t end = note.find(';', at);
  return note.substr(at + key.size() + 1, end == std::string::npos ? std::string::npos : end - at - key.size() - 1);
}

// Collects the bytes an engine hands to a sink.
class CollectSink final : public ICopySink {
 public:
  Status Write(const uint8_t* data, size_t byteCount) override {
    bytes.insert(bytes.end(), data, data + byteCount);
    return kStatusOk;
  }
  std::vector<uint8_t> bytes;
};

}  // namespace engine::ext4_testing

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace engine::ext4 {

// 64-bit keys (hashes of a directory entry's name and inode, block
// numbers) with a 32-bit value each, in one flat table (open addressing, linear probing).
// Filled after Reset with about as many keys as it was told, then asked
// often; keeps its room from one use to the next. Plain value.
class KeyTable {
 public:
  // Empties the table, with room for expected keys at most half full.
  void Reset(size_t expected) {
    size_t capacity = 16;
    while (capacity < expected * 2) capacity *= 2;
    m_slots.assign(capacity, Slot{});
    m_mask = capacity - 1;
    m_count = 0;
  }

  // The value kept for key and false when it is there; else stores value
  // and gives it with true.
  std::pair<uint32_t*, bool> Insert(uint64_t key, uint32_t value) {
    if ((m_count + 1) * 2 > m_slots.size()) Grow();
    for (size_t i = Home(key);; i = (i + 1) & m_mask) {
      Slot& s = m_slots[i];
      if (!s.used) {
        s = Slot{key, value, true};
        ++m_count;
        return {&s.value, true};
      }
      if (s.key == key) return {&s.value, false};
    }
  }

  bool Contains(uint64_t key) const { return Find(key) != nullptr; }

  // The value kept for key, or null.
  const uint32_t* Find(uint64_t key) const {
    if (m_count == 0) return nullptr;
    for (size_t i = Home(key);; i = (i + 1) & m_mask) {
      const Slot& s = m_slots[i];
      if (!s.used) return nullptr;
      if (s.key == key) return &s.value;
    }
  }

  size_t Size() const { return m_count; }

 private:
  struct Slot {
    uint64_t key = 0;
    uint32_t value = 0;
    bool used = false;
  };

  size_t Home(uint64_t key) const {
    return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 32) & m_mask;
  }

  void Grow() {
    std::vector<Slot> old = std::move(m_slots);
    Reset(old.size());
    for (const Slot& s : old) {
      if (s.used) Insert(s.key, s.value);
    }
  }

  std::vector<Slot> m_slots;
  size_t m_mask = 0;
  size_t m_count = 0;
};

}  // namespace engine::ext4

// SPDX-License-Identifier: GPL-3.0-or-later
#include <sys/mman.h>

#include <cstdlib>
#include <utility>

#include "platform/large_buffer.h"

namespace platform {
namespace {

constexpr size_t kHugePage = size_t{2} << 20;

}  // namespace

LargeBuffer::~LargeBuffer() { Reset(); }

LargeBuffer::LargeBuffer(LargeBuffer&& other) noexcept
    : m_bytes(std::exchange(other.m_bytes, nullptr)), m_size(std::exchange(other.m_size, 0)) {}

LargeBuffer& LargeBuffer::operator=(LargeBuffer&& other) noexcept {
  if (this != &other) {
    Reset();
    m_bytes = std::exchange(other.m_bytes, nullptr);
    m_size = std::exchange(other.m_size, 0);
  }
  return *this;
}

bool LargeBuffer::Allocate(size_t byteCount) {
  Reset();
  if (byteCount == 0) return true;
  if (byteCount > SIZE_MAX - kHugePage) return false;
  // Whole huge pages, aligned to them, so the kernel can back them so.
  const size_t rounded = (byteCount + kHugePage - 1) & ~(kHugePage - 1);
  void* bytes = nullptr;
  if (::posix_memalign(&bytes, kHugePage, rounded) != 0 || bytes == nullptr) return false;
  (void)::madvise(bytes, rounded, MADV_HUGEPAGE);  // a hint: without it, plain pages
  m_bytes = static_cast<uint8_t*>(bytes);
  m_size = byteCount;
  return true;
}

void LargeBuffer::Reset() {
  std::free(m_bytes);
  m_bytes = nullptr;
  m_size = 0;
}

}  // namespace platform

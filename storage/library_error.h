// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>
#include <vector>

namespace storage {

// Reasons of a failure told by one of the image libraries (libewf, libvhdi,
// libvmdk, libqcow), innermost cause first, without the library's function
// names: "unsupported signature", "unable to read file footer". Empty when
// the library said nothing.
std::vector<std::string> LibraryErrorReasons(const std::string& backtrace);

// The innermost two reasons joined for people to read: "unable to read file
// footer: unsupported signature"; fallback when there is none.
std::string LibraryErrorSummary(const std::string& backtrace, const std::string& fallback);

// Owns the error object one library call may set. Pass Out() as the call's
// error argument; Text() summarises it. Move-only and scoped to one call
// site; one thread.
template <typename Error, int (*Backtrace)(Error*, char*, size_t), void (*Free)(Error**)>
class LibraryError {
 public:
  LibraryError() = default;
  ~LibraryError() { Reset(); }
  LibraryError(const LibraryError&) = delete;
  LibraryError& operator=(const LibraryError&) = delete;

  Error** Out() {
    Reset();
    return &m_error;
  }
  std::string Text(const std::string& fallback = "the library gave no reason") const {
    if (m_error == nullptr) return fallback;
    std::string buffer(4096, '\0');
    int n = Backtrace(m_error, buffer.data(), buffer.size());
    buffer.resize(n > 0 && static_cast<size_t>(n) < buffer.size() ? static_cast<size_t>(n) : 0);
    return LibraryErrorSummary(buffer, fallback);
  }

 private:
  void Reset() {
    if (m_error != nullptr) Free(&m_error);
    m_error = nullptr;
  }
  Error* m_error = nullptr;
};

}  // namespace storage

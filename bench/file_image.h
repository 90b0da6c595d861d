// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Images of real files as a disk's data area looks with no file system
// left: the regular files under some folders, one after the other, each
// starting at a 4 KiB boundary. For the benchmarks.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

// The regular files under roots (at most 64 MiB each), in the order walked;
// with gzipFirst every .gz file before the others.
inline std::vector<std::filesystem::path> FilesUnder(const std::vector<std::string>& roots, bool gzipFirst) {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  std::vector<fs::path> rest;
  std::error_code ec;
  for (const std::string& root : roots) {
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (ec) break;
      if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
      const uint64_t size = it->file_size(ec);
      if (ec || size == 0 || size > 64u << 20) continue;
      (gzipFirst && it->path().extension() != ".gz" ? rest : files).push_back(it->path());
    }
  }
  files.insert(files.end(), rest.begin(), rest.end());
  return files;
}

// Lays files out at 4 KiB boundaries into path until it holds `bytes`; the
// rest stays zero. False when the image cannot be written.
inline bool LayFilesOut(const std::string& path, uint64_t bytes, const std::vector<std::filesystem::path>& files) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  uint64_t written = 0;
  std::vector<char> buffer;
  for (const auto& file : files) {
    if (written >= bytes) break;
    std::ifstream in(file, std::ios::binary);
    std::error_code ec;
    const uint64_t size = std::filesystem::file_size(file, ec);
    if (!in || ec) continue;
    buffer.assign(static_cast<size_t>(size), 0);
    if (!in.read(buffer.data(), static_cast<std::streamsize>(size))) continue;
    const uint64_t take = std::min<uint64_t>(size, bytes - written);
    out.write(buffer.data(), static_cast<std::streamsize>(take));
    written += take;
    const uint64_t pad = (4096 - written % 4096) % 4096;
    if (written + pad > bytes) break;
    out.write(std::string(pad, '\0').data(), static_cast<std::streamsize>(pad));
    written += pad;
  }
  out.seekp(static_cast<std::streamoff>(bytes - 1));
  out.put('\0');
  return static_cast<bool>(out);
}

}  // namespace bench

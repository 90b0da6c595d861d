// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/exfat/exfat_layout.h"

namespace engine::exfat {

Status ExFatClusterMap::KeptChain(uint32_t start, uint64_t clusters, std::vector<uint32_t>* chain, bool* complete) {
  *complete = false;
  bool whole = false;
  if (Status s = m_fat.Chain(start, clusters, chain, &whole); s != kStatusOk) return s;
  if (!whole || chain->empty()) return kStatusOk;
  // A chain that is still the file's has its length: it ends where the file does.
  uint32_t following = 0;
  if (Status s = m_fat.Next(chain->back(), &following); s != kStatusOk) return s;
  *complete = following == 0;
  return kStatusOk;
}

}  // namespace engine::exfat

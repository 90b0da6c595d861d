// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/exfat/exfat_directory_continuation.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "engine/exfat/exfat_entry_set.h"

namespace engine::exfat {
namespace {

using namespace entry;

bool IsSecondaryEntry(uint8_t type) {
  switch (type | kInUse) {
    case kStreamExtension:
    case kFileName:
    case kVendorExtension:
    case kVendorAllocation: return true;
    default: return false;
  }
}

// The last cluster of the data a set names, 0 when it names none in the volume.
uint32_t DataEnd(const EntrySet& set, uint64_t clusterBytes, uint32_t maxCluster) {
  if (set.firstCluster < 2 || set.firstCluster > maxCluster) return 0;
  if (!set.NoFatChain() || set.IsDirectory() || set.dataLength == 0) return set.firstCluster;
  const uint64_t clusters = (set.dataLength - 1) / clusterBytes + 1;
  return static_cast<uint32_t>(std::min<uint64_t>(uint64_t{set.firstCluster} + clusters - 1, maxCluster));
}

// The part of a name before its first digit, lower-cased ("img_" of IMG_0129.JPG).
std::string Stem(std::string_view name) {
  std::string stem;
  for (char c : name) {
    if (std::isdigit(static_cast<unsigned char>(c)) != 0) break;
    stem.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return stem;
}

std::string Extension(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  std::string ext;
  for (char c : name.substr(dot + 1)) ext.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  return ext;
}

// The name with every run of digits as one '#' ("IMG_#.JPG").
std::string Pattern(std::string_view name) {
  std::string out;
  for (char c : name) {
    if (std::isdigit(static_cast<unsigned char>(c)) != 0) {
      if (out.empty() || out.back() != '#') out.push_back('#');
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// The digits of a name as one number (its first 18 digits); false when it has none.
bool Number(std::string_view name, uint64_t* out) {
  uint64_t value = 0;
  int digits = 0;
  for (char c : name) {
    if (std::isdigit(static_cast<unsigned char>(c)) == 0 || digits == 18) continue;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    ++digits;
  }
  *out = value;
  return digits > 0;
}

// A day of FILETIME.
constexpr uint64_t kDay = 864000000000ull;

}  // namespace

DirectoryClusterSummary SummarizeDirectoryCluster(ByteView bytes, uint64_t clusterBytes, uint32_t maxCluster) {
  DirectoryClusterSummary s;
  if (clusterBytes == 0) return s;
  const size_t size = bytes.size() - bytes.size() % kBytes;
  size_t at = 0;
  while (at < size && IsSecondaryEntry(bytes.U8(at))) {
    ++s.leadEntries;
    at += kBytes;
  }
  if (s.leadEntries > 0) {
    const size_t n = std::min(size, kMaxSetBytes);
    s.head.assign(bytes.data(), bytes.data() + n);
  }
  const ByteView view = bytes.Sub(0, size);
  while (at < size) {
    const uint8_t type = view.U8(at);
    if (type == kEndOfDirectory) {
      s.endsDirectory = true;
      break;
    }
    if ((type | kInUse) != kFile) {
      at += kBytes;
      continue;
    }
    EntrySet set;
    const SetParse parsed = ParseEntrySet(view, at, nullptr, &set);
    if (parsed == SetParse::kTruncated) {
      const uint32_t count = 1 + uint32_t{view.U8(at + kSecondaryCount)};
      const uint32_t here = static_cast<uint32_t>((size - at) / kBytes);
      if (count > here) {
        s.missingEntries = count - here;
        s.tail.assign(view.data() + at, view.data() + size);
      }
      break;
    }
    if (parsed != SetParse::kSet || !set.checksumMatches) {
      at += kBytes;
      continue;
    }
    if (s.wholeSets++ == 0) {
      s.firstName = set.name;
      s.firstTime = set.modified;
    }
    s.lastName = set.name;
    s.lastTime = set.modified;
    s.dataEnd = std::max(s.dataEnd, DataEnd(set, clusterBytes, maxCluster));
    at += set.entryCount * kBytes;
  }
  return s;
}

int32_t ScoreContinuation(uint32_t tail, const DirectoryClusterSummary& t, uint32_t head,
                          const DirectoryClusterSummary& h) {
  if (head <= tail || t.endsDirectory) return kNoContinuation;
  int32_t score = 0;
  // A set cut by the tail's end must be completed by the head's first entries.
  if (t.missingEntries != h.leadEntries) return kNoContinuation;
  if (t.missingEntries > 0) {
    std::vector<uint8_t> joined(t.tail);
    joined.insert(joined.end(), h.head.begin(), h.head.end());
    EntrySet set;
    if (ParseEntrySet(ByteView(joined.data(), joined.size()), 0, nullptr, &set) != SetParse::kSet ||
        !set.checksumMatches || set.entryCount * kBytes != t.tail.size() + size_t{h.leadEntries} * kBytes) {
      return kNoContinuation;
    }
    // The head's entries prove the join when they hold more than the end of
    // a name: a name's last entry (".jpg" and what precedes it) is often
    // the same in many sets, so alone it only fits.
    score += h.leadEntries >= 2 || h.leadEntries + 1 >= set.entryCount ? 100 : 30;
  }
  // Write order: the head is the first free cluster after the data written
  // while the tail was the directory's last cluster.
  if (t.dataEnd != 0) {
    if (head <= t.dataEnd) return kNoContinuation;
    const uint32_t gap = head - t.dataEnd;
    score += gap <= 2 ? 30 : gap <= 8 ? 20 : gap <= 64 ? 10 : 0;
  }
  if (t.wholeSets > 0 && h.wholeSets > 0) {
    // Names that go on: the same stem and extension, the same pattern with a larger number.
    const std::string stem = Stem(t.lastName);
    const bool samePattern = Pattern(t.lastName) == Pattern(h.firstName);
    if (samePattern || (!stem.empty() && stem == Stem(h.firstName))) score += 15;
    if (Extension(t.lastName) == Extension(h.firstName)) score += 5;
    uint64_t before = 0;
    uint64_t after = 0;
    if (samePattern && Number(t.lastName, &before) && Number(h.firstName, &after)) score += after > before ? 10 : -10;
    // Times that go on.
    if (t.lastTime != 0 && h.firstTime != 0) {
      if (h.firstTime < t.lastTime) {
        score -= 20;
      } else if (h.firstTime - t.lastTime <= kDay) {
        score += 10;
      }
    }
  }
  return score;
}

std::vector<DirectoryLink> LinkDirectoryChains(std::vector<DirectoryChain>& chains,
                                               const std::unordered_map<uint32_t, DirectoryClusterSummary>& summaries) {
  std::vector<DirectoryLink> links;
  // Heads that may continue another chain, by cluster.
  std::vector<std::pair<uint32_t, size_t>> heads;
  for (size_t i = 0; i < chains.size(); ++i) {
    if (!chains[i].headed && !chains[i].held && summaries.count(chains[i].first) != 0) {
      heads.push_back({chains[i].first, i});
    }
  }
  std::sort(heads.begin(), heads.end());
  // The same by the pattern of their first names: a folder's next cluster
  // may lie past many others', but few of them go on with its names.
  std::unordered_map<std::string, std::vector<std::pair<uint32_t, size_t>>> byPattern;
  for (const auto& head : heads) {
    const DirectoryClusterSummary& s = summaries.at(head.first);
    if (s.wholeSets > 0) byPattern[Pattern(s.firstName)].push_back(head);
  }
  struct Best {
    int32_t score = kNoContinuation;
    int32_t second = kNoContinuation;
    size_t other = 0;
  };
  auto offer = [](Best& b, int32_t score, size_t other) {
    if (score > b.score) {
      b.second = b.score;
      b.score = score;
      b.other = other;
    } else if (score > b.second) {
      b.second = score;
    }
  };
  auto Clear = [](const Best& b) {
    return b.second == kNoContinuation || int64_t{b.score} - b.second >= kContinuationMargin;
  };
  for (;;) {
    std::vector<Best> byTail(chains.size());
    std::vector<Best> byHead(chains.size());
    for (size_t a = 0; a < chains.size(); ++a) {
      const DirectoryChain& chain = chains[a];
      if (chain.clusters == 0 || chain.closed) continue;
      if (chain.capacity != 0 && chain.clusters >= chain.capacity) continue;
      auto tail = summaries.find(chain.last);
      if (tail == summaries.end() || tail->second.endsDirectory) continue;
      const uint32_t from = std::max(chain.last, tail->second.dataEnd);
      const std::vector<std::pair<uint32_t, size_t>>* same = nullptr;
      if (tail->second.wholeSets > 0) {
        auto bucket = byPattern.find(Pattern(tail->second.lastName));
        if (bucket != byPattern.end()) same = &bucket->second;
      }
      size_t weighedHere = 0;
      uint32_t lastWeighed = 0;
      const std::vector<std::pair<uint32_t, size_t>>* lists[] = {&heads, same};
      for (const auto* list : lists) {
        if (list == nullptr) continue;
        auto it = std::upper_bound(list->begin(), list->end(), std::make_pair(from, SIZE_MAX));
        for (size_t weighed = 0; it != list->end() && weighed < kContinuationWindow; ++it) {
          const size_t b = it->second;
          const DirectoryChain& next = chains[b];
          if (b == a || next.clusters == 0) continue;
          // Weighed already in the first window.
          if (list == same && weighedHere > 0 && next.first <= lastWeighed) continue;
          ++weighed;
          if (list == &heads) lastWeighed = next.first;
          ++weighedHere;
          if (chain.capacity != 0 && chain.clusters + next.clusters > chain.capacity) continue;
          const int32_t score = ScoreContinuation(chain.last, tail->second, next.first, summaries.at(next.first));
          if (score == kNoContinuation) continue;
          offer(byTail[a], score, b);
          offer(byHead[b], score, a);
        }
      }
    }
    // Mutual best choices by the margin, one per chain and round.
    std::vector<bool> touched(chains.size());
    size_t joined = 0;
    for (size_t a = 0; a < chains.size(); ++a) {
      const Best& mine = byTail[a];
      if (mine.score < kMinContinuationScore || !Clear(mine)) continue;
      const size_t b = mine.other;
      const Best& theirs = byHead[b];
      if (theirs.other != a || !Clear(theirs)) continue;
      if (touched[a] || touched[b]) continue;
      touched[a] = touched[b] = true;
      DirectoryChain& chain = chains[a];
      DirectoryChain& next = chains[b];
      links.push_back({chain.last, next.first, mine.score});
      chain.last = next.last;
      chain.clusters += next.clusters;
      chain.closed = next.closed;
      next.clusters = 0;
      next.joinedTo = a;
      ++joined;
    }
    if (joined == 0) break;
    auto gone = [&](const auto& h) { return chains[h.second].clusters == 0; };
    heads.erase(std::remove_if(heads.begin(), heads.end(), gone), heads.end());
    for (auto& [pattern, list] : byPattern) list.erase(std::remove_if(list.begin(), list.end(), gone), list.end());
  }
  return links;
}

}  // namespace engine::exfat

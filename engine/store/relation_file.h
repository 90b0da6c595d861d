// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/status.h"

namespace engine::store {

// Folder key → ids of the key's children, in insertion order.
using FolderIndex = std::map<uint64_t, std::vector<int32_t>>;

// The relation file is one line of text without line breaks: for every key
// in ascending order " | <key> - [<id>,<id>,...]", the key in unsigned
// decimal. Example: " | 2 - [1,2,5] | 4294967303 - [3,4]".
//
// Incremental reader of that text. Feed it the file in pieces of any size.
// Damage is skipped, never trusted: an entry whose key is not a number is
// dropped; ids that are not numbers in 1..maxId are dropped; an entry cut
// short (no "]") keeps only the ids that a "," completed. A key met twice
// keeps its last list; an entry without any valid id is not stored.
class RelationParser {
 public:
  // index must outlive the parser; maxId bounds the accepted ids.
  RelationParser(FolderIndex& index, int32_t maxId);
  void Feed(std::string_view text);
  // Ends the text: an unfinished entry is settled as described above.
  void Finish();

 private:
  enum class State { kSeekEntry, kKey, kBracket, kList };
  void EndNumber();
  void CommitList();

  FolderIndex& m_index;
  int32_t m_maxId;
  State m_state = State::kSeekEntry;
  uint64_t m_key = 0;
  bool m_keyHasDigits = false;
  bool m_keyDone = false;
  bool m_keyOverflow = false;
  uint64_t m_number = 0;
  bool m_numberHasDigits = false;
  bool m_numberDone = false;  // a space ended the digits
  bool m_numberBad = false;   // overflow or a stray character
  std::vector<int32_t> m_ids;
};

// Writes the relation text of index in pieces through sink (each piece at
// most about 64 KiB). Stops at the first non-zero status of sink and returns it.
Status WriteRelationText(const FolderIndex& index, const std::function<Status(std::string_view)>& sink);
// The whole relation text of index.
std::string FormatRelationText(const FolderIndex& index);

}  // namespace engine::store

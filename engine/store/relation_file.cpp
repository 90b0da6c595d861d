// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/store/relation_file.h"

#include <charconv>
#include <limits>

namespace engine::store {
namespace {

constexpr size_t kWriteChunkBytes = 64 * 1024;
constexpr uint64_t kMaxKey = std::numeric_limits<uint64_t>::max();

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Appends digit to value; false on overflow beyond limit.
bool AddDigit(uint64_t* value, char digit, uint64_t limit) {
  uint64_t d = static_cast<uint64_t>(digit - '0');
  if (*value > (limit - d) / 10) return false;
  *value = *value * 10 + d;
  return true;
}

}  // namespace

RelationParser::RelationParser(FolderIndex& index, int32_t maxId) : m_index(index), m_maxId(maxId) {}

void RelationParser::EndNumber() {
  if (m_numberHasDigits && !m_numberBad && m_number >= 1 && m_number <= static_cast<uint64_t>(m_maxId) && m_maxId > 0) {
    m_ids.push_back(static_cast<int32_t>(m_number));
  }
  m_number = 0;
  m_numberHasDigits = false;
  m_numberDone = false;
  m_numberBad = false;
}

void RelationParser::CommitList() {
  if (!m_ids.empty()) m_index[m_key] = std::move(m_ids);
  m_ids = {};
}

void RelationParser::Feed(std::string_view text) {
  for (char c : text) {
    switch (m_state) {
      case State::kSeekEntry:
        if (c == '|') {
          m_state = State::kKey;
          m_key = 0;
          m_keyHasDigits = m_keyDone = m_keyOverflow = false;
        }
        break;
      case State::kKey:
        if (IsDigit(c) && !m_keyDone) {
          m_keyHasDigits = true;
          if (!AddDigit(&m_key, c, kMaxKey)) m_keyOverflow = true;
        } else if (IsSpace(c)) {
          if (m_keyHasDigits) m_keyDone = true;
        } else if (c == '-' && m_keyHasDigits && !m_keyOverflow) {
          m_state = State::kBracket;
        } else if (c == '|') {
          m_key = 0;  // a new entry starts; the damaged one is dropped
          m_keyHasDigits = m_keyDone = m_keyOverflow = false;
        } else {
          m_state = State::kSeekEntry;
        }
        break;
      case State::kBracket:
        if (c == '[') {
          m_state = State::kList;
          m_ids.clear();
          m_number = 0;
          m_numberHasDigits = m_numberDone = m_numberBad = false;
        } else if (c == '|') {
          m_state = State::kKey;
          m_key = 0;
          m_keyHasDigits = m_keyDone = m_keyOverflow = false;
        } else if (!IsSpace(c)) {
          m_state = State::kSeekEntry;
        }
        break;
      case State::kList:
        if (IsDigit(c)) {
          if (m_numberDone) m_numberBad = true;
          m_numberHasDigits = true;
          if (!m_numberBad && !AddDigit(&m_number, c, static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))) {
            m_numberBad = true;
          }
        } else if (c == ',') {
          EndNumber();
        } else if (c == ']') {
          EndNumber();
          CommitList();
          m_state = State::kSeekEntry;
        } else if (IsSpace(c)) {
          if (m_numberHasDigits) m_numberDone = true;
        } else if (c == '|') {
          // The list was cut short: keep the ids that a "," completed.
          m_number = 0;
          m_numberHasDigits = m_numberDone = m_numberBad = false;
          CommitList();
          m_state = State::kKey;
          m_key = 0;
          m_keyHasDigits = m_keyDone = m_keyOverflow = false;
        } else {
          m_numberBad = true;
        }
        break;
    }
  }
}

void RelationParser::Finish() {
  if (m_state == State::kList) {
    m_number = 0;
    m_numberHasDigits = m_numberDone = m_numberBad = false;
    CommitList();
  }
  m_ids.clear();
  m_state = State::kSeekEntry;
}

Status WriteRelationText(const FolderIndex& index, const std::function<Status(std::string_view)>& sink) {
  std::string buffer;
  buffer.reserve(kWriteChunkBytes + 64);
  char digits[24];
  auto put = [&](auto value) {
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    (void)ec;
    buffer.append(digits, end);
  };
  for (const auto& [key, ids] : index) {
    buffer += " | ";
    put(key);
    buffer += " - [";
    for (size_t i = 0; i < ids.size(); ++i) {
      if (i > 0) buffer += ',';
      put(ids[i]);
      if (buffer.size() >= kWriteChunkBytes) {
        if (Status s = sink(buffer); s != kStatusOk) return s;
        buffer.clear();
      }
    }
    buffer += ']';
  }
  if (!buffer.empty()) return sink(buffer);
  return kStatusOk;
}

std::string FormatRelationText(const FolderIndex& index) {
  std::string text;
  (void)WriteRelationText(index, [&](std::string_view piece) {
    text.append(piece);
    return kStatusOk;
  });
  return text;
}

}  // namespace engine::store

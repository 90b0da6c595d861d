// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/signatures/byte_search.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using engine::signatures::BackwardSearch;
using engine::signatures::ForwardSearch;

const uint8_t* U(const std::string& s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

TEST(ByteSearch, FindsFirstAndLastOccurrences) {
  const std::string hay = "xxabcxxabcxx";
  EXPECT_EQ(ForwardSearch(U(hay), hay.size(), "abc", 3), U(hay) + 2);
  EXPECT_EQ(BackwardSearch(U(hay), hay.size(), "abc", 3), U(hay) + 7);
}

TEST(ByteSearch, OverlappingOccurrences) {
  const std::string hay = "aaaa";
  EXPECT_EQ(ForwardSearch(U(hay), hay.size(), "aaa", 3), U(hay));
  EXPECT_EQ(BackwardSearch(U(hay), hay.size(), "aaa", 3), U(hay) + 1);
}

TEST(ByteSearch, PatternAtTheVeryEdges) {
  const std::string hay = "abc--abc";
  EXPECT_EQ(ForwardSearch(U(hay), hay.size(), "abc", 3), U(hay));
  EXPECT_EQ(BackwardSearch(U(hay), hay.size(), "abc", 3), U(hay) + 5);
  EXPECT_EQ(ForwardSearch(U(hay), hay.size(), "bc", 2), U(hay) + 1);
  EXPECT_EQ(ForwardSearch(U(hay), 7, "abc", 3), U(hay));  // the second one is cut
  EXPECT_EQ(BackwardSearch(U(hay), 7, "abc", 3), U(hay));
}

TEST(ByteSearch, ZeroBytesArePlainBytes) {
  const std::string hay("\x00\x00\x01\x00\x00\x01\xB9", 7);
  EXPECT_EQ(ForwardSearch(U(hay), hay.size(), "\x00\x00\x01\xB9", 4), U(hay) + 3);
}

TEST(ByteSearch, NothingWhenAbsentEmptyOrTooLong) {
  const std::string hay = "abcdef";
  EXPECT_EQ(ForwardSearch(U(hay), hay.size(), "xyz", 3), nullptr);
  EXPECT_EQ(BackwardSearch(U(hay), hay.size(), "xyz", 3), nullptr);
  EXPECT_EQ(ForwardSearch(U(hay), hay.size(), "abcdefg", 7), nullptr);
  EXPECT_EQ(BackwardSearch(U(hay), hay.size(), "abcdefg", 7), nullptr);
  EXPECT_EQ(ForwardSearch(U(hay), hay.size(), "", 0), nullptr);
  EXPECT_EQ(ForwardSearch(U(hay), 0, "a", 1), nullptr);
  EXPECT_EQ(BackwardSearch(nullptr, 10, "a", 1), nullptr);
}

// Against the plain definition, on a small alphabet (many partial matches),
// every length around the eight-byte steps and high bytes included.
TEST(ByteSearch, BackwardSearchFindsTheLastOccurrenceOfEveryPattern) {
  std::mt19937 random(7);
  const std::string alphabet("ab\x80\xFF", 4);
  for (int round = 0; round < 3000; ++round) {
    std::string hay(random() % 40, 'a');
    for (char& c : hay) c = alphabet[random() % alphabet.size()];
    std::string pattern(1 + random() % 3, 'a');
    for (char& c : pattern) c = alphabet[random() % alphabet.size()];
    const size_t at = hay.rfind(pattern);
    const uint8_t* expected = at == std::string::npos ? nullptr : U(hay) + at;
    ASSERT_EQ(BackwardSearch(U(hay), hay.size(), pattern.data(), pattern.size()), expected) << hay << " / " << pattern;
  }
}

}  // namespace

#include "core/http/field_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace vantric::http {
namespace {

TEST(FieldRules, HeaderNameCases) {
  struct Case {
    std::string name;
    bool valid;
    bool valid_lowercase;
  };
  const Case cases[] = {
      {"content-type", true, true},
      {"Content-Type", true, false},
      {"x!#$%&'*+-.^_`|~9", true, true},
      {"", false, false},
      {"a b", false, false},
      {"a:b", false, false},
      {":path", false, false},
      {"caf\xc3\xa9", false, false},
      {std::string(65535, 'a'), true, true},
      {std::string(65536, 'a'), false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_valid_header_name(c.name), c.valid) << c.name.substr(0, 20);
    EXPECT_EQ(is_valid_lowercase_header_name(c.name), c.valid_lowercase) << c.name.substr(0, 20);
  }
}

TEST(FieldRules, ValueOctetsExactlyHtabVisibleAndObsText) {
  for (int c = 0; c < 256; ++c) {
    bool expected = c == '\t' || (c >= 0x20 && c != 0x7f);
    std::string value(1, static_cast<char>(c));
    EXPECT_EQ(is_valid_header_value(value), expected) << c;
  }
  EXPECT_TRUE(is_valid_header_value(""));
}

}  // namespace
}  // namespace vantric::http

namespace vantric::http {
namespace {

// The word-at-a-time path must agree with the table for every octet at every
// position of a word, and across word boundaries.
TEST(FieldRules, ValueCheckAgreesWithTableAtEveryPosition) {
  for (int c = 0; c < 256; ++c) {
    bool expected = kFieldValueTable[c];
    for (std::size_t length : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 15u, 16u, 17u, 23u, 31u, 32u, 33u, 47u}) {
      for (std::size_t at = 0; at < length; ++at) {
        for (char around : {'\xa0', ' ', '~'}) {  // obs-text, and both ends of the visible range
          std::string value(length, around);
          value[at] = static_cast<char>(c);
          ASSERT_EQ(is_valid_header_value(value), expected) << c << " at " << at << "/" << length;
        }
      }
    }
  }
  static_assert(is_valid_header_value("text/html; q=0.9"));
  static_assert(!is_valid_header_value("a\nb"));
}

}  // namespace
}  // namespace vantric::http

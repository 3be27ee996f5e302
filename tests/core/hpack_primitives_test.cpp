// HPACK integers (RFC 7541 section 5.1), Huffman strings (section 5.2) and the
// dynamic table (section 4), each against a case table and an independent model.
#include <deque>
#include <map>
#include <random>

#include <gtest/gtest.h>

#include "core/h2/hpack/dynamic_table.h"
#include "core/h2/hpack/huffman_table_gen.h"
#include "core/h2/hpack/primitives.h"
#include "hpack_test_util.h"

namespace vantric::hpack {
namespace {

using testing::ExactBytes;
using testing::from_hex;
using testing::to_hex;

struct IntegerResult {
  DecodeStatus status;
  uint32_t value = 0;
  std::size_t consumed = 0;
};

IntegerResult decode_int(std::string_view bytes, int prefix_bits) {
  ExactBytes in(bytes);
  const auto* begin = reinterpret_cast<const uint8_t*>(in.view().data());
  const uint8_t* p = begin;
  IntegerResult r;
  r.status = decode_integer(&p, begin + in.view().size(), prefix_bits, &r.value);
  r.consumed = static_cast<std::size_t>(p - begin);
  return r;
}

std::string encode_int(uint8_t flags, int prefix_bits, uint32_t value) {
  char buf[kMaxIntegerLength];
  return std::string(buf, encode_integer(buf, flags, prefix_bits, value));
}

TEST(HpackInteger, AppendixC1Examples) {
  const auto doc = json_lite::parse_file(testing::data_path("rfc7541/appendix_c_examples.json"));
  ASSERT_TRUE(doc);
  const auto& examples = (*doc)["integer_examples"].items;
  ASSERT_EQ(examples.size(), 3u);
  for (const auto& ex : examples) {
    const auto value = static_cast<uint32_t>(ex["value"].number);
    const int prefix = static_cast<int>(ex["prefix_bits"].number);
    const std::string wire = from_hex(ex["wire_hex"].string);
    SCOPED_TRACE(ex["section"].string);
    EXPECT_EQ(to_hex(encode_int(0, prefix, value)), ex["wire_hex"].string);
    const auto r = decode_int(wire, prefix);
    EXPECT_EQ(r.status, std::nullopt);
    EXPECT_EQ(r.value, value);
    EXPECT_EQ(r.consumed, wire.size());
  }
}

TEST(HpackInteger, DecodeCases) {
  struct Case {
    const char* hex;
    int prefix;
    DecodeStatus status;
    uint32_t value;
    std::size_t consumed;
  };
  constexpr auto kOk = std::nullopt;
  const Case cases[] = {
      {"", 5, DecodeError::kIntegerUnderflow, 0, 0},
      {"e0", 5, kOk, 0, 1},  // flag bits above the prefix are not the value
      {"fe", 7, kOk, 126, 1},
      {"7f00", 7, kOk, 127, 2},
      {"1f", 5, DecodeError::kIntegerUnderflow, 0, 0},
      {"1f80", 5, DecodeError::kIntegerUnderflow, 0, 0},
      {"1fffffff", 5, DecodeError::kIntegerUnderflow, 0, 0},   // three continuations, then the end
      {"1fffffffff", 5, DecodeError::kIntegerOverflow, 0, 0},  // fourth continuation continues
      {"1fffffffff00", 5, DecodeError::kIntegerOverflow, 0, 0},
      {"1fffffff7f", 5, kOk, 31 + (1u << 28) - 1, 5},  // the largest value
      {"1f8080800000", 5, kOk, 31, 5},                 // redundant zero groups are allowed
      {"ffffffff7f", 8, kOk, 255 + (1u << 28) - 1, 5},
      {"0100", 1, kOk, 1, 2},
      {"00", 0, DecodeError::kInvalidIntegerPrefix, 0, 0},
      {"00", 9, DecodeError::kInvalidIntegerPrefix, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.hex) + " prefix " + std::to_string(c.prefix));
    const auto r = decode_int(from_hex(c.hex), c.prefix);
    EXPECT_EQ(r.status, c.status);
    if (c.status == kOk) {
      EXPECT_EQ(r.value, c.value);
    }
    EXPECT_EQ(r.consumed, c.consumed);
  }
}

TEST(HpackInteger, RoundTripsAroundEveryPrefixBoundary) {
  for (int prefix = 1; prefix <= 8; ++prefix) {
    const uint32_t max = (1u << prefix) - 1;
    const uint8_t flags = static_cast<uint8_t>(0xff << prefix);
    for (uint32_t value : {0u, 1u, max - 1, max, max + 1, max + 127, max + 128, max + 16383, max + 16384,
                           max + (1u << 28) - 1}) {
      if (value > max + (1u << 28) - 1) continue;
      SCOPED_TRACE(std::to_string(prefix) + ":" + std::to_string(value));
      const std::string wire = encode_int(flags, prefix, value);
      EXPECT_EQ(static_cast<uint8_t>(wire[0]) & flags, flags);
      const auto r = decode_int(wire, prefix);
      EXPECT_EQ(r.status, std::nullopt);
      EXPECT_EQ(r.value, value);
      EXPECT_EQ(r.consumed, wire.size());
    }
  }
}

std::string huffman(std::string_view text) {
  std::string out(huffman_encoded_length(text), '\0');
  EXPECT_EQ(huffman_encode(text, out.data()), out.data() + out.size());
  return out;
}

std::optional<std::string> unhuffman(std::string_view code) {
  ExactBytes in(code);
  std::unique_ptr<char[]> out(new char[huffman_max_decoded_length(code.size()) + 1]);
  const auto n = huffman_decode(in.view(), out.get());
  if (!n) return std::nullopt;
  return std::string(out.get(), *n);
}

// The decoder as RFC 7541 section 5.2 words it, one bit at a time over the code
// table: the yardstick for the generated automaton.
std::optional<std::string> unhuffman_bitwise(std::string_view code) {
  static const auto kByCode = [] {
    std::map<std::pair<int, uint32_t>, int> m;
    for (int sym = 0; sym <= 256; ++sym) m[{kHuffmanCodes[sym].bits, kHuffmanCodes[sym].code}] = sym;
    return m;
  }();
  std::string out;
  uint32_t acc = 0;
  int len = 0;
  for (unsigned char c : code) {
    for (int bit = 7; bit >= 0; --bit) {
      acc = acc << 1 | ((c >> bit) & 1);
      ++len;
      const auto it = kByCode.find({len, acc});
      if (it == kByCode.end()) continue;
      if (it->second == 256) return std::nullopt;
      out.push_back(static_cast<char>(it->second));
      acc = 0;
      len = 0;
    }
  }
  if (len > 7 || acc != (1u << len) - 1) return std::nullopt;
  return out;
}

TEST(HpackHuffman, KnownCodes) {
  // Strings of RFC 7541 Appendix C.4 and C.6.
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},
      {"www.example.com", "f1e3c2e5f23a6ba0ab90f4ff"},
      {"no-cache", "a8eb10649cbf"},
      {"custom-key", "25a849e95ba97d7f"},
      {"custom-value", "25a849e95bb8e8b4bf"},
      {"302", "6402"},
      {"private", "aec3771a4b"},
      {"Mon, 21 Oct 2013 20:13:21 GMT", "d07abe941054d444a8200595040b8166e082a62d1bff"},
      {"https://www.example.com", "9d29ad171863c78f0b97c8e9ae82ae43d3"},
      {"foo=ASDJKHQKBZXOQWEOPIUAXQWEOIU; max-age=3600; version=1",
       "94e7821dd7f2e6c7b335dfdfcd5b3960d5af27087f3672c1ab270fb5291f9587316065c003ed4ee5b1063d5007"},
  };
  for (const auto& [text, hex] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(to_hex(huffman(text)), hex);
    EXPECT_EQ(unhuffman(from_hex(hex)), text);
  }
}

TEST(HpackHuffman, RoundTripsEveryOctet) {
  std::string all;
  for (int c = 0; c < 256; ++c) {
    const std::string one(1, static_cast<char>(c));
    EXPECT_EQ(unhuffman(huffman(one)), one) << c;
    all += one;
  }
  EXPECT_EQ(unhuffman(huffman(all)), all);
  std::mt19937 rng(7541);
  for (int i = 0; i < 2000; ++i) {
    std::string s(rng() % 300, '\0');
    for (char& c : s) c = static_cast<char>(rng() % (i % 2 ? 256 : 96) + (i % 2 ? 0 : 32));
    ASSERT_EQ(unhuffman(huffman(s)), s);
  }
}

TEST(HpackHuffman, MalformedCodes) {
  const std::pair<const char*, const char*> cases[] = {
      {"ffffffff", "EOS (30 ones) inside the data"},
      {"ff", "8 bits of padding"},
      {"fe", "8 bits of an unfinished 10-bit code"},
      {"18", "'a' padded with zeros"},
      {"1e", "'a' padded with 110"},
      {"fe00", "'!' then '0' and a zero bit of padding"},
      {"1fff", "'a' then 11 ones"},
      {"3fffffff", "'0' ... padding runs into EOS"},
  };
  for (const auto& [hex, why] : cases) {
    EXPECT_EQ(unhuffman(from_hex(hex)), std::nullopt) << why;
    EXPECT_EQ(unhuffman_bitwise(from_hex(hex)), std::nullopt) << why;
  }
  EXPECT_EQ(unhuffman(from_hex("1f")), "a");
  EXPECT_EQ(unhuffman(from_hex("fe3f")), "!");      // 10-bit code ending in the last octet
  EXPECT_EQ(unhuffman(from_hex("18ff")), "aa");     // 6 bits of padding
  EXPECT_EQ(unhuffman(huffman("aaaaa")), "aaaaa");  // 7 bits of padding
  // A whole octet of ones after any valid code makes the padding too long.
  for (const char* text : {"", "a", "aa", "aaa", "aaaaa", "0", "!", "\xff"})
    EXPECT_EQ(unhuffman(huffman(text) + "\xff"), std::nullopt) << text;
}

TEST(HpackHuffman, AutomatonAgreesWithBitwiseDecoder) {
  std::mt19937 rng(1337);
  for (int i = 0; i < 20000; ++i) {
    std::string code;
    if (i % 2) {
      // Random octets: mostly invalid, with long codes and padding of every kind.
      code.resize(rng() % 12);
      for (char& c : code) c = static_cast<char>(rng() % 4 ? rng() : 0xff);
    } else {
      std::string text(rng() % 20, '\0');
      for (char& c : text) c = static_cast<char>(rng());
      code = huffman(text);
      if (!code.empty()) {
        if (rng() % 2) code[rng() % code.size()] ^= static_cast<char>(1 << rng() % 8);
        if (rng() % 2) code.resize(rng() % code.size());
      }
    }
    ASSERT_EQ(unhuffman(code), unhuffman_bitwise(code)) << to_hex(code);
  }
}

// The table against a plain deque of owned strings, through random insertions
// (names sometimes taken from the table itself, as a literal with an indexed name
// does), size changes, oversized entries, ring wraps and growth.
TEST(HpackDynamicTable, AgreesWithDequeModel) {
  std::mt19937 rng(4096);
  DynamicTable table(256);
  std::deque<std::pair<std::string, std::string>> model;  // newest first
  std::size_t max_size = 256;
  std::size_t model_size = 0;
  auto evict_model = [&] {
    while (model_size > max_size) {
      model_size -= field_size(model.back().first, model.back().second);
      model.pop_back();
    }
  };
  auto random_text = [&](std::size_t max_len, std::size_t min_len) {
    std::string s(min_len + rng() % (max_len - min_len + 1), 'x');
    for (char& c : s) c = static_cast<char>('a' + rng() % 26);
    return s;
  };
  for (int step = 0; step < 20000; ++step) {
    const unsigned op = rng() % 100;
    if (op < 3) {
      max_size = rng() % 3 == 0 ? rng() % 64 : rng() % 700;
      table.set_max_size(max_size);
      evict_model();
    } else {
      std::string name;
      if (op < 40 && !model.empty()) {
        const std::size_t pos = rng() % model.size();
        name = model[pos].first;
        std::string value = random_text(op < 20 ? 300 : 60, 0);
        // The view into the table may be evicted by this very insertion.
        EXPECT_EQ(table.insert(table.at(pos).name, value), field_size(name, value) <= max_size);
        model.emplace_front(name, std::move(value));
      } else {
        name = random_text(30, 1);
        std::string value = random_text(op > 95 ? 800 : 80, 0);
        EXPECT_EQ(table.insert(name, value), field_size(name, value) <= max_size);
        model.emplace_front(name, std::move(value));
      }
      model_size += field_size(model.front().first, model.front().second);
      if (field_size(model.front().first, model.front().second) > max_size) {
        model.clear();
        model_size = 0;
      }
      evict_model();
    }
    ASSERT_EQ(table.count(), model.size()) << step;
    ASSERT_EQ(table.size(), model_size) << step;
    for (std::size_t i = 0; i < model.size(); ++i) {
      ASSERT_EQ(table.at(i).name, model[i].first) << step << " @" << i;
      ASSERT_EQ(table.at(i).value, model[i].second) << step << " @" << i;
    }
  }
}

}  // namespace
}  // namespace vantric::hpack

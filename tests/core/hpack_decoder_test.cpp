// The HPACK decoder against RFC 7541 Appendix C, every hpack-test-case story, a
// table of malformed blocks, the size-update rules and the header-list step.  Every
// block is also fed in pieces, the way the frame codec feeds CONTINUATION frames.
#include <random>

#include <gtest/gtest.h>

#include "core/h2/hpack/decoder.h"
#include "core/h2/hpack/header_list.h"
#include "hpack_test_util.h"

namespace vantric::hpack {
namespace {

using testing::CollectSink;
using testing::decode_split;
using testing::decode_whole;
using testing::from_hex;
using testing::HeaderList;

// Whole, one octet at a time, and cut once at every offset.
std::vector<std::vector<std::size_t>> feedings(std::size_t n) {
  std::vector<std::vector<std::size_t>> out{{}, testing::every_octet(n)};
  for (std::size_t i = 1; i < n; ++i) out.push_back({i});
  return out;
}

std::string describe(const std::vector<std::size_t>& cuts) {
  std::string s = "cuts:";
  for (std::size_t c : cuts) s += " " + std::to_string(c);
  return s;
}

HeaderList table_contents(const DynamicTable& table) {
  HeaderList out;
  for (std::size_t i = 0; i < table.count(); ++i)
    out.emplace_back(std::string(table.at(i).name), std::string(table.at(i).value));
  return out;
}

TEST(HpackDecoder, AppendixC) {
  const auto doc = json_lite::parse_file(testing::data_path("rfc7541/appendix_c_examples.json"));
  ASSERT_TRUE(doc);
  int blocks = 0;
  for (const auto& group : (*doc)["groups"].items) {
    const auto table_size = static_cast<uint32_t>(group["header_table_size"].number);
    const bool shared = group["context"].string == "shared";
    const auto& cases = group["cases"].items;
    for (std::size_t k = 0; k < cases.size(); ++k) {
      const auto& c = cases[k];
      const std::string wire = from_hex(c["wire_hex"].string);
      HeaderList expected, expected_table;
      for (const auto& h : c["headers"].items) expected.emplace_back(h.items[0].string, h.items[1].string);
      std::size_t expected_size = 0;
      for (const auto& e : c["dynamic_table_after"].items) {
        expected_table.emplace_back(e["name"].string, e["value"].string);
        EXPECT_EQ(field_size(e["name"].string, e["value"].string), e["size"].number);
        expected_size += static_cast<std::size_t>(e["size"].number);
      }
      for (const auto& cuts : feedings(wire.size())) {
        SCOPED_TRACE(c["section"].string + " " + describe(cuts));
        Decoder decoder(table_size);
        for (std::size_t j = 0; shared && j < k; ++j) {
          CollectSink earlier;
          ASSERT_EQ(decode_whole(decoder, from_hex(cases[j]["wire_hex"].string), earlier), std::nullopt);
        }
        CollectSink sink;
        ASSERT_EQ(decode_split(decoder, wire, cuts, sink), std::nullopt);
        EXPECT_EQ(sink.list(), expected);
        EXPECT_EQ(table_contents(decoder.table()), expected_table);
        EXPECT_EQ(decoder.table().size(), expected_size);
        EXPECT_EQ(decoder.table().size(), static_cast<std::size_t>(c["dynamic_table_size_after"].number));
      }
      ++blocks;
    }
  }
  EXPECT_EQ(blocks, 16);
}

// Each story is one decoder context.  A second decoder gets the same blocks cut
// into fragments, one octet each for the nghttp2 stories and at random places for
// the others, and must stay in step.
TEST(HpackDecoder, EveryStory) {
  const auto paths = testing::story_paths("");
  ASSERT_GE(paths.size(), 128u);
  std::mt19937 rng(2013);
  std::size_t blocks = 0;
  for (const std::string& path : paths) {
    const auto story = testing::load_story(path);
    ASSERT_TRUE(story) << path;
    const bool by_octet = path.find("/nghttp2/") != std::string::npos;
    Decoder whole, split;
    for (std::size_t k = 0; k < story->cases.size(); ++k) {
      const auto& c = story->cases[k];
      SCOPED_TRACE(path + " case " + std::to_string(k));
      if (c.header_table_size) {
        whole.set_header_table_size(*c.header_table_size);
        split.set_header_table_size(*c.header_table_size);
      }
      CollectSink a, b;
      ASSERT_EQ(decode_whole(whole, c.wire, a), std::nullopt);
      ASSERT_EQ(a.list(), c.headers);
      std::vector<std::size_t> cuts;
      for (std::size_t i = 1; i < c.wire.size(); ++i)
        if (by_octet || rng() % 16 == 0) cuts.push_back(i);
      ASSERT_EQ(decode_split(split, c.wire, cuts, b), std::nullopt) << testing::to_hex(c.wire);
      ASSERT_EQ(b.list(), c.headers);
      ASSERT_EQ(split.table().size(), whole.table().size());
      ++blocks;
    }
  }
  EXPECT_GE(blocks, 13536u);
}

// One line per block: what it is, its octets, and the status of decoding it with a
// fresh decoder, whole and at every split.
// One line per block: what it is, its octets, and the status of decoding it with a
// fresh decoder, whole and at every split.
TEST(HpackDecoder, MalformedBlocks) {
  struct Case {
    const char* what;
    const char* hex;
    const char* status;  // the name the frame codec reports
  };
  const Case cases[] = {
      {"indexed field 0", "80", "InvalidTableIndex"},
      {"indexed field 62, empty table", "be", "InvalidTableIndex"},
      {"indexed field 127 + 0", "ff00", "InvalidTableIndex"},
      {"literal name index 62, empty table", "7e0161", "InvalidTableIndex"},
      {"never-indexed name index 62", "1f2f0161", "InvalidTableIndex"},
      {"index integer cut short", "ff", "NeedMore(IntegerUnderflow)"},
      {"index integer too long", "ffffffffff01", "IntegerOverflow"},
      {"literal without its name", "40", "NeedMore(UnexpectedEndOfStream)"},
      {"literal without its value", "41", "NeedMore(UnexpectedEndOfStream)"},
      {"literal name without its value", "400161", "NeedMore(UnexpectedEndOfStream)"},
      {"value shorter than declared", "4103ab", "NeedMore(StringUnderflow)"},
      {"name shorter than declared", "000561", "NeedMore(StringUnderflow)"},
      {"value length cut short", "417f", "NeedMore(IntegerUnderflow)"},
      {"size update cut short", "3fffffff", "NeedMore(IntegerUnderflow)"},
      {"size update too long", "3fffffffff", "IntegerOverflow"},
      {"size update after a field", "823fe11f", "InvalidMaxDynamicSize"},
      {"size update after a literal", "0f00003fe11f", "InvalidMaxDynamicSize"},
      {"size update above the limit (4097)", "3fe21f", "InvalidMaxDynamicSize"},
      {"Huffman name with 8 bits of padding", "4081ff00", "InvalidHuffmanCode"},
      {"Huffman value holding EOS", "4184ffffffff", "InvalidHuffmanCode"},
      {"Huffman value padded with zeros", "418118", "InvalidHuffmanCode"},
      {"unknown pseudo-header :foo", "40043a666f6f00", "InvalidPseudoheader"},
      {"lone colon", "40013a00", "InvalidPseudoheader"},
      {":status 099", "4803303939", "InvalidStatusCode"},
      {":status 20", "48023230", "InvalidStatusCode"},
      {":status 2x0", "4803327830", "InvalidStatusCode"},
      {":status 1000", "480431303030", "InvalidStatusCode"},
      {":status empty", "0800", "InvalidStatusCode"},
      {"upper-case name", "40014100", "InvalidUtf8"},
      {"empty name", "400000", "InvalidUtf8"},
      {"name with a colon inside", "4003613a6200", "InvalidUtf8"},
      {"name with a space",
       "4003612062"
       "00",
       "InvalidUtf8"},
      {"value with CR", "4f010d", "InvalidUtf8"},
      {"value with NUL",
       "0f0001"
       "00",
       "InvalidUtf8"},
      {"value with DEL", "0f00017f", "InvalidUtf8"},
      {":method with a space", "4203472045", "InvalidUtf8"},
      {":method empty", "4200", "InvalidUtf8"},
      {":path with an overlong form", "4402c0af", "InvalidUtf8"},
      {":path with a surrogate", "4403eda080", "InvalidUtf8"},
      {":authority cut inside a sequence", "4102e282", "InvalidUtf8"},
      {":scheme with 0xff", "4601ff", "InvalidUtf8"},
      {":protocol above U+10FFFF",
       "4009"
       "3a70726f746f636f6c"
       "04f4908080",
       "InvalidUtf8"},
      // RFC 9113 section 8.2.1: no NUL, CR or LF in any field value, pseudo or not.
      {":path with CR",
       "4403"
       "2f610d",
       "InvalidUtf8"},
      {":authority with LF",
       "4103"
       "610a62",
       "InvalidUtf8"},
      {":scheme with NUL",
       "4602"
       "6800",
       "InvalidUtf8"},
  };
  for (const Case& c : cases) {
    const std::string wire = from_hex(c.hex);
    for (const auto& cuts : feedings(wire.size())) {
      SCOPED_TRACE(std::string(c.what) + " " + describe(cuts));
      Decoder decoder;
      CollectSink sink;
      EXPECT_EQ(status_name(decode_split(decoder, wire, cuts, sink)), c.status);
    }
  }
}

TEST(HpackDecoder, RepresentationsAndTheirFields) {
  struct Case {
    const char* what;
    const char* hex;
    std::vector<testing::DecodedField> fields;
    std::size_t table_count;
  };
  constexpr Pseudo kNone = Pseudo::kNone;
  const Case cases[] = {
      {"indexed static", "82", {{":method", "GET", Pseudo::kMethod, false}}, 0},
      {"incremental, static name",
       "4103e282ac",
       {{":authority", "\xe2\x82\xac", Pseudo::kAuthority, false}},
       1},
      {"without indexing, literal name", "000161016d", {{"a", "m", kNone, false}}, 0},
      {"never indexed, static name 32", "1f1106636f6f6b6965", {{"cookie", "cookie", kNone, true}}, 0},
      {"never indexed, literal name", "10016101ff", {{"a", "\xff", kNone, true}}, 0},
      {"obs-text and HTAB in a value", "0f0003800961", {{"accept-charset", "\x80\ta", kNone, false}}, 0},
      {"Huffman name and value", "40811f82fe3f", {{"a", "!", kNone, false}}, 1},
      {"size updates, then fields",
       "20203fe11f8284",
       {{":method", "GET", Pseudo::kMethod, false}, {":path", "/", Pseudo::kPath, false}},
       0},
      {":status 100 and 999",
       "48033130304803393939",
       {{":status", "100", Pseudo::kStatus, false}, {":status", "999", Pseudo::kStatus, false}},
       2},
      {"indexed dynamic entry", "4001610162be", {{"a", "b", kNone, false}, {"a", "b", kNone, false}}, 1},
      {"dynamic name, inserted and not",
       "4003782d7901617e01620f2f0163",
       {{"x-y", "a", kNone, false}, {"x-y", "b", kNone, false}, {"x-y", "c", kNone, false}},
       2},
      {"dynamic name whose entry the insertion evicts",
       "3f054003782d7901617e0162be",
       {{"x-y", "a", kNone, false}, {"x-y", "b", kNone, false}, {"x-y", "b", kNone, false}},
       1},
      {"entry larger than the table empties it",
       "3f0540017a0162"
       "4003782d79"
       "0161",
       {{"z", "b", kNone, false}, {"x-y", "a", kNone, false}},
       1},
      {"sensitive marks only never-indexed literals", "1001610162be", {{"a", "b", kNone, true}}, 0},
  };
  for (const Case& c : cases) {
    const std::string wire = from_hex(c.hex);
    for (const auto& cuts : feedings(wire.size())) {
      SCOPED_TRACE(std::string(c.what) + " " + describe(cuts));
      Decoder decoder;
      CollectSink sink;
      const DecodeStatus st = decode_split(decoder, wire, cuts, sink);
      if (std::string_view(c.what).starts_with("sensitive")) {
        EXPECT_EQ(st, DecodeError::kInvalidTableIndex);  // nothing was inserted
      } else {
        EXPECT_EQ(st, std::nullopt);
      }
      EXPECT_EQ(sink.fields, c.fields);
      EXPECT_EQ(decoder.table().count(), c.table_count);
    }
  }
}

// Dynamic table size updates against the limit we announced
// (set_header_table_size): a script of announcements and blocks per line.
TEST(HpackDecoder, SizeUpdatesFollowTheAnnouncedLimit) {
  struct Step {
    int64_t announce;  // >= 0: set_header_table_size(announce) instead of a block
    const char* hex;
    DecodeStatus status;
  };
  struct Script {
    const char* what;
    std::vector<Step> steps;
    std::size_t max_size;
    std::size_t count;
  };
  constexpr auto kOk = std::nullopt;
  const char* const kInsertAB = "4001610162";
  const Script scripts[] = {
      {"after announcing 0, an update to 4096 is refused",
       {{-1, kInsertAB, kOk}, {0, "", kOk}, {-1, "3fe11f", DecodeError::kInvalidMaxDynamicSize}},
       4096,
       1},
      {"after announcing 0, an update to 0 empties the table",
       {{-1, kInsertAB, kOk}, {0, "", kOk}, {-1, "20", kOk}, {-1, kInsertAB, kOk}},
       0,
       0},
      {"the announced limit waits for the next block",
       {{-1, kInsertAB, kOk}, {0, "", kOk}, {-1, "be", kOk}},
       4096,
       1},
      {"the larger of two pending announcements holds",
       {{100, "", kOk}, {50, "", kOk}, {-1, "3f45", kOk}},
       100,
       0},
      {"a later, smaller announcement holds once applied",
       {{100, "", kOk}, {-1, "82", kOk}, {50, "", kOk}, {-1, "3f45", DecodeError::kInvalidMaxDynamicSize}},
       4096,
       0},
      {"a larger announcement allows growing", {{8192, "", kOk}, {-1, "3fe13f", kOk}}, 8192, 0},
      {"two updates open a block", {{-1, "203fe11f82", kOk}}, 4096, 0},
      {"every block may open with updates", {{-1, "82", kOk}, {-1, "3f0582", kOk}}, 36, 0},
      {"shrinking evicts the oldest entries",
       {{-1,
         "4001610162"
         "4001630164",
         kOk},
        {-1, "3f2382", kOk}},
       66,
       1},
  };
  for (const Script& script : scripts) {
    SCOPED_TRACE(script.what);
    Decoder decoder;
    for (const Step& step : script.steps) {
      if (step.announce >= 0) {
        decoder.set_header_table_size(static_cast<uint32_t>(step.announce));
        continue;
      }
      CollectSink sink;
      EXPECT_EQ(decode_whole(decoder, from_hex(step.hex), sink), step.status) << step.hex;
    }
    EXPECT_EQ(decoder.table().max_size(), script.max_size);
    EXPECT_EQ(decoder.table().count(), script.count);
  }
}

Field field_named(std::string_view name, std::string_view value) {
  Pseudo pseudo = Pseudo::kNone;
  for (std::size_t i = 1; i < kPseudoNames.size(); ++i)
    if (name == kPseudoNames[i]) pseudo = static_cast<Pseudo>(i);
  return {name, value, pseudo, false};
}

class ListStore final : public FieldStore {
 public:
  explicit ListStore(std::size_t capacity = SIZE_MAX) : capacity_(capacity) {}
  bool store(const Field& f) override {
    if (list.size() == capacity_) return false;
    list.emplace_back(f.name, f.value);
    return true;
  }
  HeaderList list;

 private:
  std::size_t capacity_;
};

TEST(HpackHeaderList, CaseTable) {
  struct Case {
    const char* what;
    uint32_t max;
    HeaderList fields;
    HeaderList stored;
    bool malformed;
    bool over_size;
    bool abuse = false;
    std::size_t store_capacity = SIZE_MAX;
  };
  const std::string v67(67, 'v'), v66(66, 'v'), v80(80, 'v');
  const uint32_t kBig = 1 << 20;
  const Case cases[] = {
      {"a request",
       kBig,
       {{":method", "GET"}, {":path", "/"}, {"a", "b"}},
       {{":method", "GET"}, {":path", "/"}, {"a", "b"}},
       false,
       false},
      {"a pseudo-header after a regular field",
       kBig,
       {{"a", "b"}, {":path", "/"}},
       {{"a", "b"}},
       true,
       false},
      {"a repeated pseudo-header", kBig, {{":path", "/"}, {":path", "/x"}}, {{":path", "/"}}, true, false},
      {"connection", kBig, {{"connection", "close"}}, {}, true, false},
      {"transfer-encoding", kBig, {{"transfer-encoding", "chunked"}}, {}, true, false},
      {"upgrade", kBig, {{"upgrade", "h2c"}}, {}, true, false},
      {"keep-alive", kBig, {{"keep-alive", "5"}}, {}, true, false},
      {"proxy-connection", kBig, {{"proxy-connection", "x"}}, {}, true, false},
      {"te other than trailers", kBig, {{"te", "gzip"}}, {}, true, false},
      {"te: trailers", kBig, {{"te", "trailers"}}, {{"te", "trailers"}}, false, false},
      {"names that merely resemble them",
       kBig,
       {{"tea", "x"}, {"upgrades", "y"}},
       {{"tea", "x"}, {"upgrades", "y"}},
       false,
       false},
      {"a list of exactly the limit is over size", 100, {{"a", v67}}, {}, false, true},
      {"a list just under the limit is kept", 100, {{"a", v66}}, {{"a", v66}}, false, false},
      {"once over size, small fields are dropped too", 100, {{"a", v67}, {"b", ""}}, {}, false, true},
      {"malformed fields do not count", 100, {{"connection", v80}, {"a", "b"}}, {{"a", "b"}}, true, false},
      {"400 octets against a limit of 100 is tolerated",
       100,
       {{"a", v67}, {"a", v67}, {"a", v67}, {"a", v67}},
       {},
       false,
       true},
      {"401 octets against a limit of 100 is abuse",
       100,
       {{"a", v67}, {"a", v67}, {"a", v67}, {"a", v67}, {"b", ""}},
       {},
       false,
       true,
       true},
      {"a limit of 0 makes any field abuse", 0, {{"a", ""}}, {}, false, false, true},
      {"four times the limit saturates instead of wrapping",
       1u << 30,
       {{"a", v80}},
       {{"a", v80}},
       false,
       false},
      {"a full collection makes the list over size",
       kBig,
       {{"a", "1"}, {"b", "2"}, {"c", "3"}},
       {{"a", "1"}},
       false,
       true,
       false,
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ListStore store(c.store_capacity);
    HeaderListStep step(store, c.max);
    bool stopped = false;
    for (const auto& [name, value] : c.fields)
      if (!step.on_field(field_named(name, value))) {
        stopped = true;
        break;
      }
    EXPECT_EQ(stopped, c.abuse);
    EXPECT_EQ(store.list, c.stored);
    EXPECT_EQ(step.malformed(), c.malformed);
    EXPECT_EQ(step.over_size(), c.over_size);
  }
}

// Dropping fields must not desynchronize the table; abuse stops the block.
TEST(HpackHeaderList, ThroughTheDecoder) {
  Decoder decoder;
  {
    ListStore store;
    HeaderListStep step(store, 60);
    ASSERT_EQ(decode_whole(decoder,
                           from_hex("4001610162"
                                    "4001630164"),
                           step),
              std::nullopt);
    EXPECT_EQ(store.list, (HeaderList{{"a", "b"}}));
    EXPECT_TRUE(step.over_size());
    EXPECT_EQ(step.list_size(), 68u);
  }
  {
    ListStore store;
    HeaderListStep step(store, 100);
    ASSERT_EQ(decode_split(decoder, from_hex("bebf"), {1}, step), std::nullopt);
    EXPECT_EQ(store.list, (HeaderList{{"c", "d"}, {"a", "b"}}));
  }
  {
    ListStore store;
    HeaderListStep step(store, 20);
    EXPECT_EQ(decode_whole(decoder, from_hex("bebebe"), step), DecodeError::kOverAbuseLimit);
    EXPECT_EQ(step.list_size(), 102u);
  }
}

}  // namespace
}  // namespace vantric::hpack

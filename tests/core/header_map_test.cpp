#include "core/http/header_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/http/field_rules.h"

namespace vantric::http {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

HeaderName key(std::string_view name) {
  auto k = HeaderName::from(name);
  EXPECT_TRUE(k.has_value()) << name;
  return *k;
}

Fields items(const HeaderMap& m) {
  Fields out;
  for (const HeaderField f : m) out.emplace_back(f.name, f.value);
  return out;
}

std::vector<std::string> keys(const HeaderMap& m) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < m.name_count(); ++i) out.emplace_back(m.name_at(i));
  return out;
}

HeaderMap build(const Fields& fields) {
  HeaderMap m;
  for (const auto& [n, v] : fields) EXPECT_EQ(m.append(n, v), std::nullopt) << n;
  return m;
}

TEST(HeaderMap, ValuesOfOneNameAreGroupedInInsertionOrder) {
  HeaderMap m = build({{"A", "1"}, {"b", "2"}, {"a", "3"}});
  EXPECT_EQ(items(m), (Fields{{"a", "1"}, {"a", "3"}, {"b", "2"}}));
  EXPECT_EQ(keys(m), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(m.size(), 3u);
  EXPECT_EQ(m.name_count(), 2u);
  EXPECT_EQ(m.get(key("A")), "1");
  std::vector<std::string> all(m.get_all(key("a")).begin(), m.get_all(key("a")).end());
  EXPECT_EQ(all, (std::vector<std::string>{"1", "3"}));
  EXPECT_EQ(m.get_all(key("a")).count(), 2u);
  EXPECT_TRUE(m.get_all(key("zz")).empty());
  EXPECT_EQ(m.get(key("zz")), std::nullopt);
}

TEST(HeaderMap, RemoveMovesTheLastEntryIntoTheHole) {
  struct Case {
    std::vector<std::string> names;
    std::string removed;
    bool found;
    std::vector<std::string> after;
  };
  const Case cases[] = {
      {{"a", "b", "c"}, "a", true, {"c", "b"}},
      {{"a", "b", "c"}, "B", true, {"a", "c"}},
      {{"a", "b", "c"}, "c", true, {"a", "b"}},
      {{"a", "b", "c", "d", "e"}, "b", true, {"a", "e", "c", "d"}},
      {{"a"}, "a", true, {}},
      {{"a", "b"}, "x", false, {"a", "b"}},
      {{}, "x", false, {}},
      {{"host", "x-custom", "content-type"}, "Host", true, {"content-type", "x-custom"}},
  };
  for (const auto& c : cases) {
    HeaderMap m;
    for (const auto& n : c.names) {
      m.append(n, "1");
      m.append(n, "2");
    }
    EXPECT_EQ(m.remove(key(c.removed)), c.found) << c.removed;
    EXPECT_EQ(keys(m), c.after) << c.removed;
    EXPECT_EQ(m.size(), 2 * c.after.size());
    for (const auto& n : c.after) EXPECT_EQ(m.get_all(key(n)).count(), 2u) << n;
    EXPECT_FALSE(m.contains(key(c.removed)));
  }
}

TEST(HeaderMap, InsertReplacesAllValuesInPlace) {
  struct Case {
    Fields before;
    std::string name, value;
    Fields after;
  };
  const Case cases[] = {
      {{{"A", "1"}, {"b", "2"}, {"a", "3"}}, "a", "x", {{"a", "x"}, {"b", "2"}}},
      {{{"a", "1"}, {"b", "2"}}, "c", "3", {{"a", "1"}, {"b", "2"}, {"c", "3"}}},
      {{{"a", "short"}}, "a", "a much longer value than before", {{"a", "a much longer value than before"}}},
      {{{"a", "a long value"}, {"b", "2"}}, "A", "", {{"a", ""}, {"b", "2"}}},
      {{{"date", "x"}, {"date", "y"}}, "Date", "z", {{"date", "z"}}},
  };
  for (const auto& c : cases) {
    HeaderMap m = build(c.before);
    EXPECT_EQ(m.insert(c.name, c.value), std::nullopt);
    EXPECT_EQ(items(m), c.after) << c.name;
    EXPECT_EQ(m.size(), c.after.size());
  }
}

TEST(HeaderMap, EqualityIgnoresNameOrderButNotValueOrder) {
  struct Case {
    Fields a, b;
    bool equal;
  };
  const Case cases[] = {
      {{}, {}, true},
      {{{"a", "1"}, {"b", "2"}}, {{"B", "2"}, {"a", "1"}}, true},
      {{{"a", "1"}, {"a", "2"}}, {{"a", "2"}, {"a", "1"}}, false},
      {{{"a", "1"}}, {{"a", "1"}, {"b", "2"}}, false},
      {{{"a", "1"}, {"b", "2"}}, {{"a", "1"}, {"c", "2"}}, false},
      {{{"a", "1"}, {"a", "1"}}, {{"a", "1"}, {"b", "1"}}, false},
      {{{"a", ""}}, {{"a", ""}}, true},
      {{{"a", "x"}}, {{"a", "y"}}, false},
      {{{"content-type", "t"}, {"x-a", "1"}}, {{"X-A", "1"}, {"Content-Type", "t"}}, true},
  };
  for (const auto& c : cases) {
    HeaderMap a = build(c.a), b = build(c.b);
    EXPECT_EQ(a == b, c.equal);
    EXPECT_EQ(b == a, c.equal);
    EXPECT_TRUE(a == a);
  }
}

TEST(HeaderMap, NamesAndValuesAreValidatedBeforeAnyChange) {
  struct Case {
    std::string name, value;
    std::optional<HeaderMapError> status;
  };
  const Case cases[] = {
      {"a b", "1", HeaderMapError::kInvalidName},
      {"a:b", "1", HeaderMapError::kInvalidName},
      {"", "1", HeaderMapError::kInvalidName},
      {"caf\xc3\xa9", "1", HeaderMapError::kInvalidName},
      {std::string(65536, 'a'), "1", HeaderMapError::kInvalidName},
      {std::string(65535, 'A'), "1", std::nullopt},
      {"x", "a\nb", HeaderMapError::kInvalidValue},
      {"x", "a\rb", HeaderMapError::kInvalidValue},
      {"x", std::string("a\0b", 3), HeaderMapError::kInvalidValue},
      {"x", "\x7f", HeaderMapError::kInvalidValue},
      {"x", "", std::nullopt},
      {"x", "tab\there, caf\xc3\xa9 \xff", std::nullopt},
  };
  for (const auto& c : cases) {
    for (bool replace : {false, true}) {
      HeaderMap m = build({{"x", "old"}});
      std::optional<HeaderMapError> s = replace ? m.insert(c.name, c.value) : m.append(c.name, c.value);
      EXPECT_EQ(s, c.status) << c.name.substr(0, 10) << " " << replace;
      if (s != std::nullopt) {
        EXPECT_EQ(items(m), (Fields{{"x", "old"}}));
      } else {
        HeaderName stored = key(c.name);
        EXPECT_EQ(m.get_all(stored).count(), replace || stored.view() != "x" ? 1u : 2u);
        std::string lower(c.name);
        for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        EXPECT_TRUE(m.contains(key(lower)));
      }
    }
  }
}

TEST(HeaderMap, IndexGrowsAtThreeQuartersUpToTheLimit) {
  HeaderMap m;
  EXPECT_EQ(m.index_slots(), 0u);
  // (names after the add, slots after the add)
  const std::pair<uint32_t, uint32_t> steps[] = {{1, 8},    {5, 8},         {6, 16},       {11, 16},
                                                 {12, 32},  {23, 32},       {24, 64},      {48, 128},
                                                 {96, 256}, {12288, 32768}, {24576, 32768}};
  uint32_t added = 0;
  for (auto [names, slots] : steps) {
    for (; added < names; ++added) ASSERT_EQ(m.append("n" + std::to_string(added), "v"), std::nullopt);
    EXPECT_EQ(m.index_slots(), slots) << names;
  }
  ASSERT_EQ(m.name_count(), HeaderMap::kMaxNames);

  // The 24577th distinct name does not fit and changes nothing...
  HeaderMap before = m;
  EXPECT_EQ(m.append("one-too-many", "v"), HeaderMapError::kFull);
  EXPECT_EQ(m.insert("one-too-many", "v"), HeaderMapError::kFull);
  EXPECT_FALSE(m.contains(key("one-too-many")));
  EXPECT_TRUE(m == before);
  EXPECT_EQ(items(m), items(before));

  // ...while more values under existing names are not limited.
  for (int i = 0; i < 30000; ++i) ASSERT_EQ(m.append("n0", "w"), std::nullopt);
  EXPECT_EQ(m.get_all(key("n0")).count(), 30001u);
  EXPECT_EQ(m.size(), HeaderMap::kMaxNames + 30000u);

  // A freed name makes room for exactly one new one.
  EXPECT_TRUE(m.remove(key("n7")));
  EXPECT_EQ(m.append("one-too-many", "v"), std::nullopt);
  EXPECT_EQ(m.append("two-too-many", "v"), HeaderMapError::kFull);
  for (uint32_t i = 0; i < HeaderMap::kMaxNames; ++i)
    if (i != 7) {
      ASSERT_TRUE(m.contains(key("n" + std::to_string(i)))) << i;
    }
}

TEST(HeaderMap, WellKnownNamesAreSharedStaticText) {
  HeaderMap m = build({{"Content-Type", "text/plain"}, {"X-Custom", "1"}});
  EXPECT_EQ(m.name_id_at(0), WellKnownName::kContentType);
  EXPECT_EQ(m.name_id_at(1), WellKnownName::kNone);
  EXPECT_EQ(m.name_at(0).data(), well_known_name_text(WellKnownName::kContentType).data());
  EXPECT_EQ(m.get(HeaderName(WellKnownName::kContentType)), "text/plain");
  EXPECT_EQ((*m.begin()).name_id, WellKnownName::kContentType);

  // Every well-known name resolves from any spelling and round-trips its id.
  for (std::size_t i = 0; i < kWellKnownNameCount; ++i) {
    auto id = static_cast<WellKnownName>(i);
    std::string upper(well_known_name_text(id));
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(key(upper).well_known(), id) << upper;
    EXPECT_EQ(find_well_known_name(well_known_name_text(id)), id);
    EXPECT_EQ(key(upper).hash(), HeaderName(id).hash());
  }
  EXPECT_EQ(key("X-Not-Known").hash(), hash_header_name("x-not-known"));
  EXPECT_EQ(find_well_known_name("x-not-known"), WellKnownName::kNone);
  EXPECT_EQ(find_well_known_name("Host"), WellKnownName::kNone);  // lookups take stored form
}

// Names are read a word at a time with an overlapping last word, short ones
// from two overlapping loads, and a word with an octet other than a letter,
// digit or "-" through the table.  Every octet at every position of names
// around those lengths must give what the octet rule gives.
TEST(HeaderName, EveryOctetAtEveryPositionFollowsTheRule) {
  const std::string base = "aB-9zZ0yx-Q";
  for (std::size_t length : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 15u, 16u, 17u, 24u, 47u, 48u, 49u, 57u}) {
    for (std::size_t at = 0; at < length; ++at) {
      for (int c = 0; c < 256; ++c) {
        std::string raw(length, ' ');
        for (std::size_t i = 0; i < length; ++i) raw[i] = base[i % base.size()];
        raw[at] = static_cast<char>(c);
        std::optional<HeaderName> name;
        const bool valid = HeaderName::from(raw, &name);
        ASSERT_EQ(valid, is_valid_header_name(raw)) << c << " at " << at << "/" << length;
        ASSERT_EQ(name.has_value(), valid);
        if (!valid) continue;
        std::string lower(raw);
        for (char& ch : lower) ch = static_cast<char>(kLowerTable[static_cast<uint8_t>(ch)]);
        ASSERT_EQ(name->view(), lower) << c << " at " << at << "/" << length;
        ASSERT_EQ(name->hash(), hash_header_name(lower));
        ASSERT_EQ(name->well_known(), WellKnownName::kNone);
      }
    }
  }
  // Reuse: a valid name after an invalid one, and the other way round.
  std::optional<HeaderName> name;
  EXPECT_TRUE(HeaderName::from(std::string(60, 'Q'), &name));
  EXPECT_FALSE(HeaderName::from("a b", &name));
  EXPECT_FALSE(name.has_value());
  EXPECT_TRUE(HeaderName::from("Accept-Encoding", &name));
  EXPECT_EQ(name->well_known(), WellKnownName::kAcceptEncoding);
  // Near misses of well-known names are not taken for them.
  for (const char* miss :
       {"accept-encodinh", "bccept-encoding", "accept_encoding", "hosT-", "hos", "te_", "ta"})
    EXPECT_EQ(key(miss).well_known(), WellKnownName::kNone) << miss;
}

TEST(HeaderMap, CopiesAreIndependentAndMovesLeaveEmpty) {
  HeaderMap a = build({{"a", "1"}, {"b", "2"}, {"a", "3"}, {std::string(100, 'L'), "long name"}});
  HeaderMap b = a;
  EXPECT_TRUE(a == b);
  b.insert("a", "changed");
  b.append("c", "new");
  EXPECT_EQ(items(a), (Fields{{"a", "1"}, {"a", "3"}, {"b", "2"}, {std::string(100, 'l'), "long name"}}));
  EXPECT_FALSE(a == b);

  HeaderMap c = std::move(b);
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(b.name_count(), 0u);
  EXPECT_EQ(items(b), Fields{});
  EXPECT_EQ(c.get(key("a")), "changed");
  b.append("reuse", "ok");  // a moved-from map is usable
  EXPECT_EQ(items(b), (Fields{{"reuse", "ok"}}));

  a = c;
  EXPECT_TRUE(a == c);
  a = HeaderMap();
  EXPECT_TRUE(a.empty());
  c.clear();
  EXPECT_EQ(c.index_slots(), 0u);
  c.append("x", "y");
  EXPECT_EQ(items(c), (Fields{{"x", "y"}}));
}

TEST(HeaderMap, AttachedValuesAreReferencedNotCopied) {
  SharedOctets head = SharedOctets::copy_of("Host: example.com\r\nAccept: */*\r\n");
  HeaderMap m;
  m.attach(head);
  m.attach(head);  // once is enough
  std::string_view host = head.view().substr(6, 11);
  std::string_view accept = head.view().substr(27, 3);
  ASSERT_EQ(m.append("Host", host), std::nullopt);
  ASSERT_EQ(m.append("Accept", accept), std::nullopt);
  ASSERT_EQ(m.append("x-copied", "not in a block"), std::nullopt);
  EXPECT_EQ(m.get(key("host"))->data(), host.data());
  EXPECT_EQ(m.get(key("accept"))->data(), accept.data());

  // The map and its copies keep the block alive.
  HeaderMap copy = m;
  head = SharedOctets();
  m = HeaderMap();
  EXPECT_EQ(items(copy),
            (Fields{{"host", "example.com"}, {"accept", "*/*"}, {"x-copied", "not in a block"}}));
}

TEST(HeaderMap, ValuesTakenFromTheMapItselfSurviveRelocation) {
  HeaderMap m;
  m.append("a", std::string(200, 'x'));
  for (int i = 0; i < 50; ++i) {
    std::string_view own = *m.get(key("a"));
    ASSERT_EQ(m.append("n" + std::to_string(i), own), std::nullopt);
    ASSERT_EQ(m.insert("a", *m.get(key("n" + std::to_string(i)))), std::nullopt);
  }
  for (const HeaderField f : m) EXPECT_EQ(f.value, std::string(200, 'x')) << f.name;
}

TEST(HeaderMap, SensitivityTravelsWithTheValue) {
  HeaderMap m;
  m.append(key("authorization"), "secret", true);
  m.append(key("authorization"), "plain");
  m.append(key("cookie"), "c", true);
  std::vector<bool> marks;
  for (const HeaderField f : m) marks.push_back(f.sensitive);
  EXPECT_EQ(marks, (std::vector<bool>{true, false, true}));
  auto range = m.get_all(key("authorization"));
  auto it = range.begin();
  EXPECT_TRUE(it.sensitive());
  EXPECT_FALSE((++it).sensitive());
  HeaderMap copy = m;
  EXPECT_TRUE((*copy.begin()).sensitive);
  m.insert(key("authorization"), "new");
  EXPECT_FALSE((*m.begin()).sensitive);
}

// Random operations against a plain model of the rules: ordered names, each
// with its list of values; a removal puts the last name in the hole.
TEST(HeaderMap, RandomOperationsMatchAModel) {
  std::mt19937 rng(20240229);
  std::vector<std::string> pool;
  for (int i = 0; i < 40; ++i) pool.push_back("X-Name-" + std::to_string(i));
  for (const char* n : {"Host", "content-type", "DATE", "set-cookie", "te"}) pool.push_back(n);
  pool.push_back(std::string(70, 'H'));  // longer than a name's inline storage
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };

  std::vector<std::pair<std::string, std::vector<std::string>>> model;
  auto find = [&model](const std::string& n) {
    return std::find_if(model.begin(), model.end(), [&n](const auto& e) { return e.first == n; });
  };
  HeaderMap m;
  for (int step = 0; step < 20000; ++step) {
    // Keep the name count drifting up and down through index growth.
    const std::string& raw = pool[rng() % (step % 4000 < 2000 ? pool.size() : 12)];
    const std::string name = lower(raw);
    std::string value(rng() % 4 == 0 ? rng() % 300 : rng() % 12, static_cast<char>('a' + step % 26));
    switch (rng() % 5) {
      case 0:
      case 1: {
        ASSERT_EQ(m.append(raw, value), std::nullopt);
        auto it = find(name);
        if (it == model.end())
          model.push_back({name, {value}});
        else
          it->second.push_back(value);
        break;
      }
      case 2: {
        ASSERT_EQ(m.insert(raw, value), std::nullopt);
        auto it = find(name);
        if (it == model.end())
          model.push_back({name, {value}});
        else
          it->second = {value};
        break;
      }
      default: {
        auto it = find(name);
        ASSERT_EQ(m.remove(key(raw)), it != model.end());
        if (it != model.end()) {
          *it = std::move(model.back());
          model.pop_back();
        }
      }
    }
    Fields expected;
    for (const auto& [n, vs] : model)
      for (const auto& v : vs) expected.emplace_back(n, v);
    ASSERT_EQ(items(m), expected) << "step " << step;
    if (step % 97 == 0) {
      HeaderMap copy = m;
      ASSERT_TRUE(copy == m);
      ASSERT_EQ(items(copy), expected);
    }
  }
}

}  // namespace
}  // namespace vantric::http

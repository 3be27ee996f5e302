#include "core/http/date.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <thread>

#include "core/http/field_rules.h"
#include "core/http/header_map.h"

namespace vantric::http {
namespace {

std::string text(const HttpDateText& t) {
  return {t.data(), t.size()};
}

TEST(HttpDate, KnownInstants) {
  struct Case {
    int64_t seconds;
    const char* expected;
  };
  const Case cases[] = {
      {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
      {68169600, "Tue, 29 Feb 1972 00:00:00 GMT"},   // first leap day after the epoch
      {784111777, "Sun, 06 Nov 1994 08:49:37 GMT"},  // RFC 9110 section 5.6.7
      {946684799, "Fri, 31 Dec 1999 23:59:59 GMT"},
      {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},  // divisible by 400: leap
      {1709251199, "Thu, 29 Feb 2024 23:59:59 GMT"},
      {4107456000, "Sun, 28 Feb 2100 00:00:00 GMT"},
      {4107542400, "Mon, 01 Mar 2100 00:00:00 GMT"},  // divisible by 100 only: no leap day
      {kMaxHttpDateSeconds, "Fri, 31 Dec 9999 23:59:59 GMT"},
      // Outside the renderable range the ends are used.
      {-1, "Thu, 01 Jan 1970 00:00:00 GMT"},
      {INT64_MIN, "Thu, 01 Jan 1970 00:00:00 GMT"},
      {kMaxHttpDateSeconds + 1, "Fri, 31 Dec 9999 23:59:59 GMT"},
      {INT64_MAX, "Fri, 31 Dec 9999 23:59:59 GMT"},
  };
  for (const auto& c : cases) EXPECT_EQ(text(format_http_date(c.seconds)), c.expected) << c.seconds;
}

// The C library as an oracle across the whole range, at a different time of
// day on each sampled day.
TEST(HttpDate, MatchesGmtimeAcrossTheRange) {
  for (int64_t day = 0, n = 0; day * 86400 <= kMaxHttpDateSeconds; day += 5, ++n) {
    int64_t t = day * 86400 + (n * 7919) % 86400;
    if (t > kMaxHttpDateSeconds) break;
    std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    ASSERT_NE(gmtime_r(&tt, &tm), nullptr);
    char expected[64];
    ASSERT_EQ(std::strftime(expected, sizeof expected, "%a, %d %b %Y %H:%M:%S GMT", &tm), kHttpDateLength);
    ASSERT_EQ(text(format_http_date(t)), expected) << t;
  }
}

WallTime g_now;
WallTime fake_clock() noexcept {
  return g_now;
}

TEST(HttpDateCache, RefreshesOnlyWhenStrictlyPastTheNextSecond) {
  // Each step sets the clock, reads, and states whether a render happened and
  // which second the value shows.
  struct Step {
    WallTime now;
    bool renders;
    int64_t shows;
  };
  const Step steps[] = {
      {{1000, 500'000'000}, true, 1000},   // first read always renders
      {{1000, 999'999'999}, false, 1000},  // same second
      {{1001, 0}, false, 1000},            // exactly the next refresh: not later
      {{1001, 1}, true, 1001},
      {{1001, 2}, false, 1001},
      {{990, 0}, false, 1001},  // the clock stepped back: keep the value
      {{1002, 0}, false, 1001},
      {{5000, 7}, true, 5000},  // long idle: renders on the next read
      {{5001, 999'999'999}, true, 5001},
  };
  DateCache cache(&fake_clock);
  uint64_t renders = 0;
  for (const auto& s : steps) {
    g_now = s.now;
    std::string_view value = cache.current();
    renders += s.renders;
    EXPECT_EQ(cache.render_count(), renders) << s.now.seconds << "." << s.now.nanoseconds;
    EXPECT_EQ(value, text(format_http_date(s.shows))) << s.now.seconds << "." << s.now.nanoseconds;
  }
}

TEST(HttpDateCache, SharedValueIsStableAndMadeOncePerRender) {
  DateCache cache(&fake_clock);
  g_now = {784111777, 0};
  SharedOctets a = cache.current_shared();
  g_now = {784111777, 900'000'000};
  SharedOctets b = cache.current_shared();
  EXPECT_EQ(a, b);  // same block within the second
  EXPECT_EQ(cache.current().data(), cache.current().data());

  g_now = {784111778, 1};
  SharedOctets c = cache.current_shared();
  EXPECT_FALSE(a == c);
  EXPECT_EQ(a.view(), "Sun, 06 Nov 1994 08:49:37 GMT");  // old handles keep their octets
  EXPECT_EQ(c.view(), "Sun, 06 Nov 1994 08:49:38 GMT");

  // A header collection holds the block and refers to it without copying.
  HeaderMap m;
  m.attach(c);
  ASSERT_EQ(m.append(HeaderName(WellKnownName::kDate), c.view()), std::nullopt);
  c = SharedOctets();
  g_now = {784111790, 1};
  cache.current_shared();
  EXPECT_EQ(m.get(HeaderName(WellKnownName::kDate)), "Sun, 06 Nov 1994 08:49:38 GMT");
}

TEST(HttpDateCache, ThreadCacheUsesTheSystemClock) {
  std::string_view value = thread_date_cache().current();
  ASSERT_EQ(value.size(), kHttpDateLength);
  EXPECT_EQ(value.substr(25), " GMT");
  EXPECT_TRUE(is_valid_header_value(value));
  // Equal to a fresh rendering of the system clock, give or take the second
  // that may have turned between the two reads.
  int64_t now = system_wall_time().seconds;
  EXPECT_TRUE(value == text(format_http_date(now)) || value == text(format_http_date(now - 1))) << value;

  const DateCache* other = nullptr;
  std::thread([&other] { other = &thread_date_cache(); }).join();
  EXPECT_NE(other, &thread_date_cache());
}

}  // namespace
}  // namespace vantric::http

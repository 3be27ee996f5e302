#include "core/http/date.h"

#include <time.h>

#include <algorithm>
#include <chrono>

#include "core/http/field_rules.h"

namespace vantric::http {
namespace {

constexpr char kDayNames[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr char kMonthNames[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct CivilDate {
  int64_t year;
  unsigned month;  // 1..12
  unsigned day;    // 1..31
};

// Proleptic Gregorian date of a day count since 1970-01-01 (H. Hinnant's
// civil_from_days, for non-negative counts).
constexpr CivilDate civil_from_days(int64_t days) noexcept {
  const int64_t z = days + 719468;
  const int64_t era = z / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);                    // [0, 146096]
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                // [0, 365]
  const unsigned mp = (5 * doy + 2) / 153;                                     // [0, 11], March first
  const unsigned day = doy - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<int64_t>(yoe) + era * 400 + (month <= 2), month, day};
}

void put2(char* p, unsigned v) noexcept {
  p[0] = static_cast<char>('0' + v / 10);
  p[1] = static_cast<char>('0' + v % 10);
}

bool later(const WallTime& a, const WallTime& b) noexcept {
  return a.seconds > b.seconds || (a.seconds == b.seconds && a.nanoseconds > b.nanoseconds);
}

}  // namespace

HttpDateText format_http_date(int64_t unix_seconds) noexcept {
  if (unix_seconds < kMinHttpDateSeconds) unix_seconds = kMinHttpDateSeconds;
  if (unix_seconds > kMaxHttpDateSeconds) unix_seconds = kMaxHttpDateSeconds;
  const int64_t days = unix_seconds / 86400;
  const auto second_of_day = static_cast<unsigned>(unix_seconds % 86400);
  const CivilDate date = civil_from_days(days);
  const auto year = static_cast<unsigned>(date.year);
  const unsigned weekday = static_cast<unsigned>((days + 4) % 7);  // 1970-01-01 was a Thursday

  HttpDateText out;
  char* p = out.data();
  // day-name "," SP day SP month SP year SP hour ":" minute ":" second SP "GMT"
  std::copy_n(kDayNames[weekday], 3, p);
  p[3] = ',';
  p[4] = ' ';
  put2(p + 5, date.day);
  p[7] = ' ';
  std::copy_n(kMonthNames[date.month - 1], 3, p + 8);
  p[11] = ' ';
  put2(p + 12, year / 100);
  put2(p + 14, year % 100);
  p[16] = ' ';
  put2(p + 17, second_of_day / 3600);
  p[19] = ':';
  put2(p + 20, second_of_day / 60 % 60);
  p[22] = ':';
  put2(p + 23, second_of_day % 60);
  std::copy_n(" GMT", 4, p + 25);
  return out;
}

WallTime system_wall_time() noexcept {
#if defined(CLOCK_REALTIME_COARSE)
  // The real-time clock as of the last timer tick (a few milliseconds at
  // most): the cache needs only the second, and every response reads the
  // clock, where the precise reading costs several times as much.
  timespec ts;
  if (clock_gettime(CLOCK_REALTIME_COARSE, &ts) == 0)
    return {static_cast<int64_t>(ts.tv_sec), static_cast<uint32_t>(ts.tv_nsec)};
#endif
  using namespace std::chrono;
  const auto ns = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
  // Floor division keeps the sub-second part in 0..999999999 before 1970 too.
  int64_t seconds = ns / 1000000000;
  int64_t rest = ns % 1000000000;
  if (rest < 0) {
    rest += 1000000000;
    --seconds;
  }
  return {seconds, static_cast<uint32_t>(rest)};
}

void DateCache::refresh() noexcept {
  const WallTime now = clock_();
  if (!later(now, next_refresh_)) return;
  const HttpDateText text = format_http_date(now.seconds);
  // The value is written into header blocks as it stands, so it must be a
  // valid field value (RFC 9110 section 5.5) before it is stored.
  if (is_valid_header_value({text.data(), text.size()})) {
    text_ = text;
    ++renders_;
  }
  // The start of the following whole second: now + 1s - the sub-second part.
  next_refresh_ = {now.seconds + 1, 0};
}

std::string_view DateCache::current() noexcept {
  refresh();
  return {text_.data(), text_.size()};
}

SharedOctets DateCache::current_shared() {
  refresh();
  if (!shared_ || shared_render_ != renders_) {
    shared_ = SharedOctets::copy_of({text_.data(), text_.size()});
    shared_render_ = renders_;
  }
  return shared_;
}

DateCache& thread_date_cache() noexcept {
  thread_local DateCache cache;
  return cache;
}

}  // namespace vantric::http

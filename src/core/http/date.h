// The Date header value: IMF-fixdate rendering and a per-thread cache that
// renders at most once per second.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/http/shared_octets.h"

namespace vantric::http {

// "Sun, 06 Nov 1994 08:49:37 GMT" (RFC 9110 section 5.6.7).
inline constexpr std::size_t kHttpDateLength = 29;
using HttpDateText = std::array<char, kHttpDateLength>;

// The renderable range: 1970-01-01T00:00:00Z to 9999-12-31T23:59:59Z.
inline constexpr int64_t kMinHttpDateSeconds = 0;
inline constexpr int64_t kMaxHttpDateSeconds = 253402300799;

// The IMF-fixdate of the whole second `unix_seconds`.  Instants outside the
// renderable range are clamped to its ends, since four-digit years cannot say
// more.
HttpDateText format_http_date(int64_t unix_seconds) noexcept;

// A wall-clock instant: seconds since the Unix epoch and the sub-second part.
struct WallTime {
  int64_t seconds;
  uint32_t nanoseconds;  // 0..999999999
};

// The system real-time clock.
WallTime system_wall_time() noexcept;

// A Date value refreshed on demand: each read takes the clock, and when the
// instant is strictly later than the next refresh it renders the instant's
// whole second and sets the next refresh to the start of the following
// second.  Reads within one second return the same octets without rendering.
// Not thread-safe: one cache per thread (thread_date_cache()).
class DateCache {
 public:
  using Clock = WallTime (*)() noexcept;

  explicit DateCache(Clock clock = &system_wall_time) noexcept : clock_(clock) {}
  DateCache(const DateCache&) = delete;
  DateCache& operator=(const DateCache&) = delete;

  // The current value, refreshed when due.  The view is valid until the next
  // current() or current_shared() on this cache.  Never allocates.
  std::string_view current() noexcept;

  // The current value, refreshed when due, as a block a HeaderMap can attach
  // and reference without copying (valid as long as the handle).  Allocates
  // once per rendered second at most; throws std::bad_alloc.
  SharedOctets current_shared();

  // How many times a value was rendered (for tests of the refresh rule).
  uint64_t render_count() const noexcept { return renders_; }

 private:
  void refresh() noexcept;

  Clock clock_;
  // Starts in the past, so the first read renders.
  WallTime next_refresh_{INT64_MIN, 0};
  HttpDateText text_{};
  uint64_t renders_ = 0;
  SharedOctets shared_;  // text_ of render number shared_render_
  uint64_t shared_render_ = 0;
};

// The calling thread's cache on the system clock, created on first use and
// destroyed with the thread.
DateCache& thread_date_cache() noexcept;

}  // namespace vantric::http

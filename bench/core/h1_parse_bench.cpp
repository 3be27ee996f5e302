// HTTP/1 head parsing, the ceiling of the host-level figures: the core parse
// of the three heads of bench/py/bench_h1_parse.py, from bytes in the read
// buffer to a head with its HeaderMap, in ns per head and bytes per second.
//
//   cmake -S . -B build/bench -G Ninja -DVANTRIC_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release
//   cmake --build build/bench --target h1_parse_bench && build/bench/h1_parse_bench
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "core/h1/codec.h"
#include "core/h1/head_parser.h"

namespace {

using namespace vantric;
using namespace vantric::h1;

constexpr std::string_view kMinimal = "GET / HTTP/1.1\r\nHost: example.com\r\n\r\n";

constexpr std::string_view kBrowser =
    "GET /search?q=http%2F1.1&ie=UTF-8 HTTP/1.1\r\n"
    "Host: www.example.org\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0\r\n"
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
    "Accept-Language: en-US,en;q=0.5\r\n"
    "Accept-Encoding: gzip, deflate, br, zstd\r\n"
    "Connection: keep-alive\r\n"
    "Cookie: session=4f2a9c1e7b; theme=dark\r\n"
    "Upgrade-Insecure-Requests: 1\r\n"
    "Sec-Fetch-Dest: document\r\n"
    "Sec-Fetch-Mode: navigate\r\n"
    "\r\n";

constexpr std::string_view kResponse =
    "HTTP/1.1 200 OK\r\n"
    "Server: nginx/1.24.0\r\n"
    "Date: Mon, 07 Dec 2026 10:00:00 GMT\r\n"
    "Content-Type: text/html; charset=utf-8\r\n"
    "Content-Length: 1256\r\n"
    "Last-Modified: Tue, 01 Dec 2026 09:00:00 GMT\r\n"
    "Connection: keep-alive\r\n"
    "ETag: \"6555d2f1-4e8\"\r\n"
    "\r\n";

volatile uint64_t g_sink;

// The best of five timed runs: the machine is shared, and the fastest run is
// the one least disturbed by other work.
template <class F>
void run(const char* name, std::size_t bytes, int heads, long iterations, F&& body) {
  for (long i = 0; i < iterations / 10; ++i) body();
  double best = 0;
  for (int rep = 0; rep < 5; ++rep) {
    auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < iterations; ++i) body();
    auto ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    const double per_op = ns / static_cast<double>(iterations) / heads;
    if (rep == 0 || per_op < best) best = per_op;
  }
  std::printf("%-32s %6zu B/head %8.1f ns/head %8.1f MB/s\n", name, bytes / heads, best,
              static_cast<double>(bytes) / heads / best * 1e3);
}

void check(Progress status) {
  if (status != Progress::kDone) std::abort();
}

}  // namespace

int main() {
  // The codec path the host class takes: append to the read buffer, parse,
  // split the head off, build the head and its HeaderMap.
  Codec codec(CodecConfig{});
  ParseKind error{};
  for (auto [name, head] :
       {std::pair{"request: minimal GET", kMinimal}, std::pair{"request: browser GET", kBrowser}}) {
    run(name, head.size(), 1, 2'000'000, [&, head = head] {
      RequestHead out;
      http::HeaderMap headers;
      check(codec.receive_request_head(head, out, headers, error));
      g_sink = g_sink + headers.size();
    });
  }
  run("response: six fields + length", kResponse.size(), 1, 2'000'000, [&] {
    ResponseHead out;
    http::HeaderMap headers;
    check(codec.receive_head(kResponse, out, headers, error));
    g_sink = g_sink + out.body_length;
  });

  // Throughput over a buffer of 64 pipelined browser requests, parsed one
  // after the other (one append, 64 heads).
  std::string many;
  for (int i = 0; i < 64; ++i) many.append(kBrowser);
  run("pipelined: 64 browser GETs", many.size(), 64, 50'000, [&] {
    ByteBuffer buffer;
    buffer.append(many);
    while (!buffer.empty()) {
      RequestHead out;
      http::HeaderMap headers;
      check(parse_request(buffer, ParseLimits{}, out, headers).status);
    }
  });
  return 0;
}

// Property: any input gives a response head, "need more", or one of the
// response-side parse errors, never a crash, a hang or an over-read; feeding
// it in pieces ends exactly as feeding it whole (interim 1xx heads included);
// a head's framing follows from its status, the request method and its
// fields.
//
// Input: one octet choosing the request method, two octets of split
// positions, then the bytes on the wire.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/h1/head_parser.h"

namespace {

using namespace vantric;
using namespace vantric::h1;

void check(bool ok) {
  if (!ok) std::abort();
}

bool inside(std::string_view part, std::string_view whole) {
  if (part.empty()) return true;
  auto p = reinterpret_cast<std::uintptr_t>(part.data());
  auto b = reinterpret_cast<std::uintptr_t>(whole.data());
  return p >= b && p - b + part.size() <= whole.size();
}

bool is_response_error(ParseKind kind) {
  switch (kind) {
    case ParseKind::Version:
    case ParseKind::Status:
    case ParseKind::HeaderToken:
    case ParseKind::HeaderContentLengthInvalid:
    case ParseKind::HeaderTransferEncodingUnexpected:
    case ParseKind::TooLarge:
      return true;
    default:
      return false;
  }
}

std::string check_head(const ResponseHead& h, const http::HeaderMap& headers, std::optional<Method> method) {
  const std::string_view block = h.block.view();
  check(h.status >= 100 && h.status <= 999);
  check(h.status == 101 || h.status >= 200);
  check(!h.is_upgrade || (!h.keep_alive && h.body_length == 0));
  check(headers.size() <= kDefaultMaxHeaders);
  const bool bodyless = h.status == 101 || h.status == 204 || h.status == 304 || method == Method::Head ||
                        (method == Method::Connect && h.status / 100 == 2);
  if (bodyless) check(h.body_length == 0);
  if (h.body_length == kBodyChunked)
    check(headers.contains(http::HeaderName(http::WellKnownName::kTransferEncoding)));
  std::string out = std::to_string(h.status) + " ";
  for (const http::HeaderField& f : headers) {
    check(inside(f.value, block));
    out.append(f.name).append(":").append(f.value).append("\n");
  }
  out += std::to_string(h.body_length) + (h.keep_alive ? "k" : "") + (h.is_upgrade ? "u" : "") +
         (h.http10 ? "0" : "");
  return out;
}

std::string run(const std::vector<std::string_view>& pieces, std::optional<Method> method,
                const ParseLimits& limits) {
  ByteBuffer buffer;
  std::string out;
  bool failed = false;
  for (std::string_view piece : pieces) {
    buffer.append(piece);
    // After a failure the rest is only buffered, as a codec would.
    if (failed) continue;
    for (;;) {
      const std::string before(buffer.view());
      ResponseHead head;
      http::HeaderMap headers;
      const HeadResult r = parse_response(buffer, method, limits, head, headers);
      // Interim heads may be consumed whatever the result; only from the front.
      check(before.ends_with(buffer.view()));
      if (r.status == HeadStatus::NeedMore) break;
      if (r.status == HeadStatus::Failed) {
        check(is_response_error(r.error));
        out += "error " + std::string(parse_kind_string(r.error));
        failed = true;
        break;
      }
      check(buffer.size() < before.size());
      out += check_head(head, headers, method) + "\n--\n";
    }
  }
  return out + " | " + std::string(buffer.view());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  constexpr std::optional<Method> kMethods[] = {std::nullopt, Method::Get, Method::Head, Method::Connect,
                                                Method::Post, Method::Extension};
  const std::optional<Method> method = kMethods[data[0] % std::size(kMethods)];
  std::string_view wire(reinterpret_cast<const char*>(data + 3), size - 3);
  ParseLimits limits;
  limits.max_buf_size = wire.size() + kMinMaxBufSize;
  // Request-side settings must not change anything here.
  limits.ignore_invalid_headers = (data[0] & 0x80) != 0;
  limits.max_headers = data[0] & 0x40 ? 1 : kDefaultMaxHeaders;

  const std::string whole = run({wire}, method, limits);
  std::size_t a = data[1] * wire.size() / 256, b = data[2] * wire.size() / 256;
  if (a > b) std::swap(a, b);
  check(run({wire.substr(0, a), wire.substr(a, b - a), wire.substr(b)}, method, limits) == whole);
  if (wire.size() <= 512) {
    std::vector<std::string_view> bytes;
    for (std::size_t i = 0; i < wire.size(); ++i) bytes.push_back(wire.substr(i, 1));
    check(run(bytes, method, limits) == whole);
  }
  limits.max_buf_size = kMinMaxBufSize;
  const std::string capped = run({wire}, method, limits);
  check(capped == whole || capped.find("error too_large") != std::string::npos);
  return 0;
}

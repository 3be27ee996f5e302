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
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/h1/head_parser.h"
#include "h1_split.h"

namespace {

using namespace vantric;
using namespace vantric::fuzz;
using namespace vantric::h1;

bool is_response_error(ParseKind kind) {
  switch (kind) {
    case ParseKind::kVersion:
    case ParseKind::kStatus:
    case ParseKind::kHeaderToken:
    case ParseKind::kHeaderContentLengthInvalid:
    case ParseKind::kHeaderTransferEncodingUnexpected:
    case ParseKind::kTooLarge:
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
  const bool bodyless = h.status == 101 || h.status == 204 || h.status == 304 || method == Method::kHead ||
                        (method == Method::kConnect && h.status / 100 == 2);
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
  return feed(pieces, [&](ByteBuffer& buffer, std::string& out) {
    const std::string before(buffer.view());
    ResponseHead head;
    http::HeaderMap headers;
    const HeadResult r = parse_response(buffer, method, limits, head, headers);
    // Interim heads may be consumed whatever the result; only from the front.
    check(before.ends_with(buffer.view()));
    if (r.status == Progress::kNeedMore) return Progress::kNeedMore;
    if (r.status == Progress::kFailed) {
      check(is_response_error(r.error));
      out += "error " + std::string(parse_kind_string(r.error));
      return Progress::kFailed;
    }
    check(buffer.size() < before.size());
    out += check_head(head, headers, method) + "\n--\n";
    return Progress::kDone;
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  constexpr std::optional<Method> kMethods[] = {std::nullopt,     Method::kGet,  Method::kHead,
                                                Method::kConnect, Method::kPost, Method::kExtension};
  const std::optional<Method> method = kMethods[data[0] % std::size(kMethods)];
  std::string_view wire(reinterpret_cast<const char*>(data + 3), size - 3);
  ParseLimits limits;
  limits.max_buf_size = wire.size() + kMinMaxBufSize;
  // Request-side settings must not change anything here.
  limits.ignore_invalid_headers = (data[0] & 0x80) != 0;
  limits.max_headers = data[0] & 0x40 ? 1 : kDefaultMaxHeaders;

  const std::string whole =
      check_splits(wire, data[1], data[2],
                   [&](const std::vector<std::string_view>& pieces) { return run(pieces, method, limits); });
  limits.max_buf_size = kMinMaxBufSize;
  const std::string capped = run({wire}, method, limits);
  check(capped == whole || capped.find("error too_large") != std::string::npos);
  return 0;
}

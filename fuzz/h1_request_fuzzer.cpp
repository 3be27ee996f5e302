// Property: any input gives a request head, "need more", or one of the
// request-side parse errors, never a crash, a hang or an over-read; feeding
// it in pieces ends exactly as feeding it whole; a head's framing never lets
// a content-length stand next to a transfer coding.
//
// Input: one octet of configuration (ignore_invalid_headers, a small field
// limit), two octets of split positions, then the bytes on the wire.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/h1/field_values.h"
#include "core/h1/head_parser.h"
#include "h1_split.h"

namespace {

using namespace vantric;
using namespace vantric::fuzz;
using namespace vantric::h1;

bool is_request_error(ParseKind kind) {
  return kind != ParseKind::kStatus && kind != ParseKind::kInternal;
}

// The head in a comparable form, after checking what must hold of any head.
std::string check_head(const RequestHead& h, const http::HeaderMap& headers, const ParseLimits& limits) {
  const std::string_view block = h.block.view();
  check(inside(h.method_text, block) && inside(h.target, block));
  check(is_method_token(h.method_text) && method_from_token(h.method_text) == h.method);
  check(!h.target.empty() && h.target.size() <= kMaxTargetLength);
  check(headers.size() <= limits.max_headers);
  check(h.body_length != kBodyCloseDelimited);
  const http::HeaderName cl(http::WellKnownName::kContentLength);
  const http::HeaderName te(http::WellKnownName::kTransferEncoding);
  if (h.body_length == kBodyChunked) {
    check(headers.contains(te) && !headers.contains(cl) && !h.http10);
  } else {
    check(!headers.contains(te));
    check(headers.get_all(cl).count() <= 1);
    if (auto v = headers.get(cl)) {
      check(parse_decimal(*v) == h.body_length);
    } else {
      check(h.body_length == 0);
    }
  }
  if (h.method == Method::kConnect) check(h.is_upgrade);
  std::string out(h.method_text);
  out.append(" ").append(h.target_scheme).append(h.target).append(" ");
  for (const http::HeaderField& f : headers) {
    check(inside(f.value, block));
    out.append(f.name).append(":").append(f.value).append("\n");
  }
  out += std::to_string(h.body_length) + (h.keep_alive ? "k" : "") + (h.expect_continue ? "e" : "") +
         (h.is_upgrade ? "u" : "") + (h.http10 ? "0" : "") + (h.allow_trailers ? "t" : "");
  return out;
}

// Parses after each piece; the heads and errors found, then what is left.
// Split feeds resume from the progress kept across pieces, as the codec does.
std::string run(const std::vector<std::string_view>& pieces, const ParseLimits& limits) {
  RequestScanProgress progress;
  return feed(pieces, [&](ByteBuffer& buffer, std::string& out) {
    const std::string before(buffer.view());
    RequestHead head;
    http::HeaderMap headers;
    const HeadResult r = pieces.size() == 1 ? parse_request(buffer, limits, head, headers)
                                            : parse_request(buffer, limits, head, headers, progress);
    if (r.status == Progress::kNeedMore) {
      check(buffer.view() == before);
      return Progress::kNeedMore;
    }
    if (r.status == Progress::kFailed) {
      check(buffer.view() == before && is_request_error(r.error));
      check(r.error != ParseKind::kVersionH2 || before.starts_with("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"));
      out += "error " + std::string(parse_kind_string(r.error));
      return Progress::kFailed;
    }
    check(buffer.size() < before.size() && before.ends_with(buffer.view()));
    out += check_head(head, headers, limits) + "\n--\n";
    return Progress::kDone;
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t config = data[0];
  std::string_view wire(reinterpret_cast<const char*>(data + 3), size - 3);
  ParseLimits limits;
  limits.ignore_invalid_headers = (config & 1) != 0;
  if (config & 2) limits.max_headers = config >> 4;
  // Above the input, so that the cap on incomplete heads cannot tell a
  // prefix from the whole.
  limits.max_buf_size = wire.size() + kMinMaxBufSize;

  const std::string whole =
      check_splits(wire, data[1], data[2],
                   [&](const std::vector<std::string_view>& pieces) { return run(pieces, limits); });

  // With the smallest cap an incomplete head fails instead; nothing else changes.
  limits.max_buf_size = kMinMaxBufSize;
  const std::string capped = run({wire}, limits);
  check(capped == whole || capped.find("error too_large") != std::string::npos ||
        capped.find("error version_h2") != std::string::npos);
  return 0;
}

// Property: every input gives a parse or one of the specified errors, never a
// crash, a hang or an over-read; a parse describes its input exactly.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/http/uri.h"
#include "fuzz_check.h"

namespace {

using namespace vantric::fuzz;
using namespace vantric::http;

void check_uri(std::string_view in, const Uri& u) {
  check(inside(u.authority, in) && inside(u.userinfo, in) && inside(u.host, in) && inside(u.port_text, in) &&
        inside(u.path, in) && inside(u.query, in) && inside(u.fragment, in) && inside(u.path_and_query, in));
  check(u.has_query || u.query.empty());
  check(u.has_fragment || u.fragment.empty());
  check(!u.port || u.has_port);
  std::string rebuilt;
  switch (u.form) {
    case UriForm::kAbsolute:
      check(!u.host.empty() && u.scheme_kind != SchemeKind::kNone);
      rebuilt.append(in.substr(0, u.scheme.size())).append("://").append(u.authority);
      break;
    case UriForm::kAuthority:
      check(!u.host.empty() && u.authority == in);
      return;
    case UriForm::kAsterisk:
      check(in == "*");
      return;
    case UriForm::kOrigin:
      check(!u.path.empty() && u.path[0] == '/');
      break;
  }
  rebuilt.append(u.path_and_query);
  if (u.has_fragment) rebuilt.append("#").append(u.fragment);
  check(rebuilt == in);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  Uri u;
  const std::optional<UriError> e = parse_uri(in, u);
  check(!e || !uri_error_text(*e).empty());
  if (e == std::nullopt) check_uri(in, u);

  UriParts parts;
  check(uri_parts(in, parts) == e);
  if (e == std::nullopt && parts.host) check(inside(*parts.host, in));

  if (parse_authority(in, u) == std::nullopt) check(u.form == UriForm::kAuthority && u.authority == in);
  if (parse_request_path(in, u) == std::nullopt) check_uri(in, u);

  std::array<uint8_t, 16> v6;
  std::array<uint8_t, 4> v4;
  parse_ipv6(in, &v6);
  parse_ipv4(in, &v4);

  std::string quoted = quote_for_message(in);
  check(quoted.size() >= in.size() + 2 && quoted.front() == '"' && quoted.back() == '"');
  return 0;
}

#include "core/proxy/entry.h"

#include "core/http/uri.h"
#include "core/proxy/text.h"

namespace vantric::proxy {
namespace {

// The SOCKS schemes are matched exactly, as curl does: only these four
// spellings name a SOCKS proxy.
bool is_socks_scheme(std::string_view scheme) noexcept {
  return scheme == "socks4" || scheme == "socks4a" || scheme == "socks5" || scheme == "socks5h";
}

Credentials parse_credentials(std::string_view userinfo, ProxyKind kind) {
  std::string_view user_text = userinfo;
  std::string_view password_text;
  if (std::size_t colon = userinfo.find(':'); colon != std::string_view::npos) {
    user_text = userinfo.substr(0, colon);
    password_text = userinfo.substr(colon + 1);
  }
  std::string user = replace_invalid_utf8(percent_decode(user_text));
  std::string password = replace_invalid_utf8(percent_decode(password_text));
  if (kind == ProxyKind::kSocks) return RawAuth{std::move(user), std::move(password)};
  // RFC 7617 section 2: user-pass = userid ":" password, even when the
  // password is empty.
  user.push_back(':');
  user.append(password);
  return BasicAuth{"Basic " + base64(user)};
}

}  // namespace

std::optional<ProxyEntry> parse_proxy_entry(std::string_view setting) {
  http::Uri uri;
  if (http::parse_uri(setting, uri) != std::nullopt) return std::nullopt;
  if (uri.form != http::UriForm::kAbsolute && uri.form != http::UriForm::kAuthority) return std::nullopt;

  ProxyEntry entry;
  std::string_view scheme = "http";
  if (uri.scheme_kind == http::SchemeKind::kHttp || uri.scheme_kind == http::SchemeKind::kHttps) {
    scheme = uri.scheme;
  } else if (uri.scheme_kind == http::SchemeKind::kOther) {
    if (!is_socks_scheme(uri.scheme)) return std::nullopt;
    scheme = uri.scheme;
    entry.kind = ProxyKind::kSocks;
  }
  if (uri.has_port && !uri.port_text.empty() && !uri.port) return std::nullopt;

  entry.uri.reserve(scheme.size() + 4 + uri.host.size() + 1 + uri.port_text.size());
  entry.uri.append(scheme).append("://").append(uri.host);
  if (!uri.port_text.empty()) entry.uri.append(1, ':').append(uri.port_text);
  entry.uri.push_back('/');
  http::Uri check;
  if (http::parse_uri(entry.uri, check) != std::nullopt) return std::nullopt;

  if (uri.has_userinfo) entry.credentials = parse_credentials(uri.userinfo, entry.kind);
  return entry;
}

}  // namespace vantric::proxy

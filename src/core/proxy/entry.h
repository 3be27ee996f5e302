// A proxy as configured by one setting: where to connect and which
// credentials to present.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vantric::proxy {

enum class ProxyKind : uint8_t {
  kHttp,   // http or https: the client sends Proxy-Authorization itself
  kSocks,  // socks4, socks4a, socks5, socks5h: credentials go into the handshake
};

// The value of a Proxy-Authorization field for an HTTP-style proxy:
// "Basic " and the Base64 of user ":" password (RFC 7617 section 2).
struct BasicAuth {
  std::string header_value;
  bool operator==(const BasicAuth&) const = default;
};

// User and password for a SOCKS handshake (RFC 1929); the password is empty
// when the setting gave none.
struct RawAuth {
  std::string user;
  std::string password;
  bool operator==(const RawAuth&) const = default;
};

using Credentials = std::variant<std::monostate, BasicAuth, RawAuth>;

struct ProxyEntry {
  ProxyKind kind = ProxyKind::kHttp;
  // scheme "://" host [ ":" port ] "/": never user information.  The scheme
  // is lowercase for http and https and as written for SOCKS; the host keeps
  // its letters and brackets.
  std::string uri;
  Credentials credentials;
};

// Parses one proxy setting (an ALL_PROXY, HTTP_PROXY or HTTPS_PROXY value, or
// the matching argument) with the module's URI grammar.  Accepted: an
// absolute URI with scheme http or https (any case) or exactly socks4,
// socks4a, socks5 or socks5h, or an authority without a scheme (an http
// proxy).  Any path, query or fragment is dropped.  User information is
// split at its first ":" into user and password, each percent-decoded and
// read as UTF-8 with ill-formed sequences replaced by U+FFFD.
//
// nullopt for the empty text, an invalid URI, another scheme, a missing
// authority, and a port that is present but not a number from 0 to 65535
// (dialing a default port instead of the one written would reach the wrong
// server).  An empty port counts as none (RFC 3986 section 6.2.3).  Never
// fails otherwise; throws std::bad_alloc.
std::optional<ProxyEntry> parse_proxy_entry(std::string_view setting);

}  // namespace vantric::proxy

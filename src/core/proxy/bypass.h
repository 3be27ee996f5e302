// The NO_PROXY list: destinations that are reached directly.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantric::proxy {

class BypassList {
 public:
  // Parses a NO_PROXY value: pieces separated by commas, each trimmed of
  // white space, then taken as the first of: an IP network (address "/"
  // prefix length, at most 32 for IPv4 and 128 for IPv6), an IP address, a
  // domain (the text as written, which may begin with "."), "*".  Empty
  // pieces are skipped; nothing is an error.  An IPv6 address may be written
  // in brackets, as in a URL.  Throws std::bad_alloc.
  static BypassList parse(std::string_view setting);

  // Whether requests to `host` (a URI host: a name, an IPv4 address or an
  // IPv6 literal in brackets) go direct.  An address host is compared with
  // the address and network entries of its family only; a name host with
  // the domain entries, ignoring ASCII case.  Does not allocate.
  bool bypasses(std::string_view host) const noexcept;

 private:
  struct Ipv4Network {
    uint32_t address;  // host byte order, already masked
    uint32_t mask;
  };
  struct Ipv6Network {
    std::array<uint8_t, 16> address;
    uint8_t prefix;
  };
  void add(std::string_view piece);
  bool bypasses_name(std::string_view host) const noexcept;

  std::vector<Ipv4Network> v4_;
  std::vector<Ipv6Network> v6_;
  // Domain entries without their leading ".", in lowercase: each matches the
  // name itself and every name below it.
  std::vector<std::string> domains_;
  bool any_name_ = false;  // "*": every name host
};

}  // namespace vantric::proxy

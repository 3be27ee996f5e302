#include "core/proxy/bypass.h"

#include <algorithm>

#include "core/http/uri.h"

namespace vantric::proxy {
namespace {

constexpr std::string_view kWhiteSpace = " \t\r\n\v\f";

std::string_view trim(std::string_view text) noexcept {
  const std::size_t first = text.find_first_not_of(kWhiteSpace);
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(kWhiteSpace);
  return text.substr(first, last - first + 1);
}

char lower(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c;
}

// An IPv6 address as a URL writes it, in brackets; bare addresses too.
std::string_view without_brackets(std::string_view text) noexcept {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') return text.substr(1, text.size() - 2);
  return text;
}

// A prefix length: one to three decimal digits, at most `limit`.
bool parse_prefix(std::string_view text, unsigned limit, uint8_t* out) noexcept {
  if (text.empty() || text.size() > 3) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > limit) return false;
  *out = static_cast<uint8_t>(value);
  return true;
}

uint32_t ipv4_value(const std::array<uint8_t, 4>& octets) noexcept {
  return uint32_t{octets[0]} << 24 | uint32_t{octets[1]} << 16 | uint32_t{octets[2]} << 8 | octets[3];
}

uint32_t ipv4_mask(uint8_t prefix) noexcept {
  return prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
}

bool ipv6_in(const std::array<uint8_t, 16>& address, const std::array<uint8_t, 16>& network,
             uint8_t prefix) noexcept {
  const std::size_t whole = prefix / 8;
  if (!std::equal(address.begin(), address.begin() + whole, network.begin())) return false;
  const unsigned bits = prefix % 8;
  if (bits == 0) return true;
  const auto mask = static_cast<uint8_t>(0xff << (8 - bits));
  return ((address[whole] ^ network[whole]) & mask) == 0;
}

// Whether `host` is the (lowercase) domain `name` or a name below it,
// ignoring ASCII case in `host`.
bool in_domain(std::string_view host, std::string_view name) noexcept {
  if (host.size() < name.size()) return false;
  const std::size_t offset = host.size() - name.size();
  for (std::size_t i = name.size(); i-- > 0;)
    if (lower(host[offset + i]) != name[i]) return false;
  return offset == 0 || host[offset - 1] == '.';
}

// A name with one trailing "." dropped: "example.com." is the absolute form
// of "example.com" (RFC 1034 section 3.1), and curl matches the two alike.
std::string_view relative(std::string_view name) noexcept {
  if (name.size() > 1 && name.back() == '.') name.remove_suffix(1);
  return name;
}

}  // namespace

BypassList BypassList::parse(std::string_view setting) {
  BypassList list;
  while (true) {
    const std::size_t comma = setting.find(',');
    if (const std::string_view piece = trim(setting.substr(0, comma)); !piece.empty()) list.add(piece);
    if (comma == std::string_view::npos) break;
    setting.remove_prefix(comma + 1);
  }
  return list;
}

void BypassList::add(std::string_view piece) {
  std::array<uint8_t, 4> v4;
  std::array<uint8_t, 16> v6;
  uint8_t prefix = 0;
  if (const std::size_t slash = piece.find('/'); slash != std::string_view::npos) {
    const std::string_view address = piece.substr(0, slash);
    const std::string_view length = piece.substr(slash + 1);
    if (http::parse_ipv4(address, &v4) && parse_prefix(length, 32, &prefix)) {
      v4_.push_back({ipv4_value(v4) & ipv4_mask(prefix), ipv4_mask(prefix)});
      return;
    }
    if (http::parse_ipv6(without_brackets(address), &v6) && parse_prefix(length, 128, &prefix)) {
      v6_.push_back({v6, prefix});
      return;
    }
  } else if (http::parse_ipv4(piece, &v4)) {
    v4_.push_back({ipv4_value(v4), ~uint32_t{0}});
    return;
  } else if (http::parse_ipv6(without_brackets(piece), &v6)) {
    v6_.push_back({v6, 128});
    return;
  }
  if (piece == "*") {
    any_name_ = true;
    return;
  }
  // A leading "." adds nothing: "example.com" already covers the names below
  // it, and ".example.com" still covers the name itself.
  std::string name(piece.substr(piece.front() == '.' ? 1 : 0));
  std::transform(name.begin(), name.end(), name.begin(), lower);
  domains_.push_back(std::move(name));
}

bool BypassList::bypasses(std::string_view host) const noexcept {
  if (!host.empty() && host.front() == '[') {
    while (!host.empty() && (host.front() == '[' || host.front() == ']')) host.remove_prefix(1);
    while (!host.empty() && (host.back() == '[' || host.back() == ']')) host.remove_suffix(1);
  }
  std::array<uint8_t, 4> v4;
  if (http::parse_ipv4(host, &v4)) {
    const uint32_t value = ipv4_value(v4);
    for (const Ipv4Network& net : v4_)
      if ((value & net.mask) == net.address) return true;
    return false;
  }
  std::array<uint8_t, 16> v6;
  if (http::parse_ipv6(host, &v6)) {
    for (const Ipv6Network& net : v6_)
      if (ipv6_in(v6, net.address, net.prefix)) return true;
    return false;
  }
  return bypasses_name(host);
}

bool BypassList::bypasses_name(std::string_view host) const noexcept {
  if (host.empty()) return false;
  if (any_name_) return true;
  for (const std::string& name : domains_) {
    if (in_domain(host, name)) return true;
    if ((host.back() == '.' || (!name.empty() && name.back() == '.')) &&
        in_domain(relative(host), relative(name)))
      return true;
  }
  return false;
}

}  // namespace vantric::proxy

#include "core/h2/message_rules.h"

#include <string_view>

#include "core/h2/frame_reader.h"
#include "core/http/header_name.h"

namespace vantric::h2 {

namespace {

using hpack::Pseudo;

constexpr uint8_t bit(Pseudo which) {
  return static_cast<uint8_t>(1u << static_cast<unsigned>(which));
}

constexpr uint8_t kRequestPseudo = bit(Pseudo::kMethod) | bit(Pseudo::kScheme) | bit(Pseudo::kPath) |
                                   bit(Pseudo::kAuthority) | bit(Pseudo::kProtocol);

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The authority without the scheme's default port ("example.com:443" is
// "example.com" for https).
std::string_view without_default_port(std::string_view authority, std::string_view scheme) {
  const std::string_view port = scheme == "http" ? ":80" : scheme == "https" ? ":443" : "";
  if (!port.empty() && authority.size() > port.size() && authority.ends_with(port))
    authority.remove_suffix(port.size());
  return authority;
}

// RFC 9113 section 8.3.1: "the values of fields need to be normalized to
// compare them": host names are case-insensitive (RFC 3986 section 3.2.2) and
// an explicit default port names the same origin.
bool same_authority(std::string_view a, std::string_view b, std::string_view scheme) {
  a = without_default_port(a, scheme);
  b = without_default_port(b, scheme);
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

}  // namespace

MessageShape shape_of(const HeaderBlock& block) noexcept {
  MessageShape shape;
  for (Pseudo which :
       {Pseudo::kAuthority, Pseudo::kMethod, Pseudo::kScheme, Pseudo::kPath, Pseudo::kProtocol})
    if (block.pseudo(which)) shape.with(which);
  if (block.status) shape.with(Pseudo::kStatus);
  if (const auto path = block.pseudo(Pseudo::kPath)) shape.empty_path = path->empty();
  shape.connect = block.pseudo(Pseudo::kMethod) == std::string_view("CONNECT");
  if (const auto authority = block.pseudo(Pseudo::kAuthority)) {
    const std::string_view scheme = block.pseudo(Pseudo::kScheme).value_or("");
    for (std::string_view host : block.headers.get_all(http::HeaderName(http::WellKnownName::kHost)))
      if (!same_authority(host, *authority, scheme)) shape.host_conflict = true;
  }
  shape.over_size = block.over_size;
  return shape;
}

bool is_request_head(const MessageShape& shape, bool extended_connect) noexcept {
  if (shape.has(Pseudo::kStatus) || shape.host_conflict) return false;
  if (shape.has(Pseudo::kProtocol))
    return extended_connect && shape.connect && shape.has(Pseudo::kScheme) && shape.has(Pseudo::kPath) &&
           !shape.empty_path && shape.has(Pseudo::kAuthority);
  if (shape.connect)
    return shape.has(Pseudo::kAuthority) && !shape.has(Pseudo::kScheme) && !shape.has(Pseudo::kPath);
  return shape.has(Pseudo::kMethod) && shape.has(Pseudo::kScheme) && shape.has(Pseudo::kPath) &&
         !shape.empty_path;
}

bool is_response_head(const MessageShape& shape) noexcept {
  return shape.has(Pseudo::kStatus) && (shape.pseudo & kRequestPseudo) == 0;
}

bool is_trailer_section(const MessageShape& shape) noexcept {
  return shape.pseudo == 0;
}

}  // namespace vantric::h2

// HTTP request methods (RFC 9110 section 9): the standard ones as values of a
// small set, every other token as an extension method.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vantric::h1 {

// The ten standard methods, then Extension for any other token.  QUERY is the
// safe method with a body of draft-ietf-httpbis-safe-method-w-body.
enum class Method : uint8_t {
  kOptions,
  kGet,
  kPost,
  kPut,
  kDelete,
  kHead,
  kTrace,
  kConnect,
  kPatch,
  kQuery,
  kExtension,
};

inline constexpr std::size_t kStandardMethodCount = static_cast<std::size_t>(Method::kExtension);

// The text of a standard method ("GET"); empty for Extension.  Static storage.
std::string_view method_name(Method method) noexcept;

// The standard method spelled exactly `token` (methods are case-sensitive,
// RFC 9110 section 9.1), else Extension.  Does not validate `token`.
Method method_from_token(std::string_view token) noexcept;

// Whether `text` is a method: one or more tchars (RFC 9110 section 9.1).
bool is_method_token(std::string_view text) noexcept;

}  // namespace vantric::h1

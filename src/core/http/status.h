// The range of an HTTP status code.
#pragma once

#include <cstdint>

namespace vantric::http {

// RFC 9110 section 15: a status code is three digits, 100 to 999.
constexpr bool is_status_code(uint32_t status) noexcept {
  return status >= 100 && status <= 999;
}

}  // namespace vantric::http

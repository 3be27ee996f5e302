#include "core/h1/method.h"

#include <array>

#include "core/http/field_rules.h"

namespace vantric::h1 {
namespace {

constexpr std::array<std::string_view, kStandardMethodCount> kNames = {
    "OPTIONS", "GET", "POST", "PUT", "DELETE", "HEAD", "TRACE", "CONNECT", "PATCH", "QUERY",
};

}  // namespace

std::string_view method_name(Method method) noexcept {
  const auto i = static_cast<std::size_t>(method);
  return i < kStandardMethodCount ? kNames[i] : std::string_view();
}

Method method_from_token(std::string_view token) noexcept {
  // The first octet and the length pick at most one candidate.
  switch (token.size()) {
    case 3:
      if (token == "GET") return Method::Get;
      if (token == "PUT") return Method::Put;
      break;
    case 4:
      if (token == "POST") return Method::Post;
      if (token == "HEAD") return Method::Head;
      break;
    case 5:
      if (token == "PATCH") return Method::Patch;
      if (token == "TRACE") return Method::Trace;
      if (token == "QUERY") return Method::Query;
      break;
    case 6:
      if (token == "DELETE") return Method::Delete;
      break;
    case 7:
      if (token == "OPTIONS") return Method::Options;
      if (token == "CONNECT") return Method::Connect;
      break;
    default:
      break;
  }
  return Method::Extension;
}

bool is_method_token(std::string_view text) noexcept {
  if (text.empty()) return false;
  for (char c : text)
    if (!http::is_tchar(static_cast<uint8_t>(c))) return false;
  return true;
}

}  // namespace vantric::h1

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
      if (token == "GET") return Method::kGet;
      if (token == "PUT") return Method::kPut;
      break;
    case 4:
      if (token == "POST") return Method::kPost;
      if (token == "HEAD") return Method::kHead;
      break;
    case 5:
      if (token == "PATCH") return Method::kPatch;
      if (token == "TRACE") return Method::kTrace;
      if (token == "QUERY") return Method::kQuery;
      break;
    case 6:
      if (token == "DELETE") return Method::kDelete;
      break;
    case 7:
      if (token == "OPTIONS") return Method::kOptions;
      if (token == "CONNECT") return Method::kConnect;
      break;
    default:
      break;
  }
  return Method::kExtension;
}

bool is_method_token(std::string_view text) noexcept {
  if (text.empty()) return false;
  for (char c : text)
    if (!http::is_tchar(static_cast<uint8_t>(c))) return false;
  return true;
}

}  // namespace vantric::h1

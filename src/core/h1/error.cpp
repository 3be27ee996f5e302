#include "core/h1/error.h"

#include <array>

namespace vantric::h1 {
namespace {

constexpr std::array<std::string_view, kErrorKindCount> kKindDescriptions = {
    "",  // Parse: per sub-kind
    "",  // User: per sub-kind
    "connection closed before message completed",
    "received unexpected message from connection",
    "operation was canceled",
    "channel closed",
    "connection error",
    "read header from client timeout",
    "error reading a body from connection",
    "error writing a body to connection",
    "error shutting down connection",
};

struct SubKindText {
  std::string_view kind;
  std::string_view description;
};

constexpr std::array<SubKindText, kParseKindCount> kParseTexts = {{
    {"method", "invalid HTTP method parsed"},
    {"version", "invalid HTTP version parsed"},
    {"version_h2", "invalid HTTP version parsed (found HTTP2 preface)"},
    {"uri", "invalid URI"},
    {"uri_too_long", "URI too long"},
    {"header_token", "invalid HTTP header parsed"},
    {"header_content_length_invalid", "invalid content-length parsed"},
    {"header_transfer_encoding_invalid", "invalid transfer-encoding parsed"},
    {"header_transfer_encoding_unexpected", "unexpected transfer-encoding parsed"},
    {"too_large", "message head is too large"},
    {"status", "invalid HTTP status-code parsed"},
    {"internal", "internal error inside the HTTP core and/or its dependencies, please report"},
}};

constexpr std::array<SubKindText, kUserKindCount> kUserTexts = {{
    {"body", "error from user's Body stream"},
    {"body_write_aborted", "user body write aborted"},
    {"service", "error from user's Service"},
    {"unexpected_header", "user sent unexpected header"},
    {"unsupported_status_code", "response has 1xx status code, not supported by server"},
    {"no_upgrade", "no upgrade available"},
    {"manual_upgrade", "upgrade expected but low level API in use"},
    {"dispatch_gone", "dispatch task is gone"},
}};

const SubKindText* sub_kind_text(const Error& e) {
  if (e.kind == ErrorKind::kParse && e.sub_kind < kParseKindCount) return &kParseTexts[e.sub_kind];
  if (e.kind == ErrorKind::kUser && e.sub_kind < kUserKindCount) return &kUserTexts[e.sub_kind];
  return nullptr;
}

}  // namespace

std::string_view parse_kind_string(ParseKind sub) {
  return kParseTexts[static_cast<std::size_t>(sub)].kind;
}

std::string_view user_kind_string(UserKind sub) {
  return kUserTexts[static_cast<std::size_t>(sub)].kind;
}

std::string_view Error::kind_string() const {
  const SubKindText* text = sub_kind_text(*this);
  return text ? text->kind : std::string_view();
}

std::string_view Error::description() const {
  if (const SubKindText* text = sub_kind_text(*this)) return text->description;
  return kKindDescriptions[static_cast<std::size_t>(kind)];
}

std::string Error::message() const {
  std::string out(description());
  if (cause) {
    out += ": ";
    out += cause->text;
  }
  return out;
}

std::string_view Error::io_kind() const {
  if (auto found = first_io_kind(cause.get())) return io_kind_snake_name(*found);
  return "other";
}

}  // namespace vantric::h1

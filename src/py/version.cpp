#include "py/version.h"

namespace vantric::py {
namespace {

// `text` with every occurrence of `from`, left to right, replaced by `to`.
std::string replace_all(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  for (std::size_t at = text.find(from); at != std::string_view::npos; at = text.find(from)) {
    out.append(text.substr(0, at));
    out.append(to);
    text.remove_prefix(at + from.size());
  }
  out.append(text);
  return out;
}

}  // namespace

std::string host_version(std::string_view text) {
  return replace_all(replace_all(text, "-alpha", "a"), "-beta", "b");
}

}  // namespace vantric::py

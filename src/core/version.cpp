#include "core/version.h"

namespace vantric {
namespace {

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

}  // namespace

std::string host_version(std::string_view text) {
  return replace_all(replace_all(std::string(text), "-alpha", "a"), "-beta", "b");
}

}  // namespace vantric

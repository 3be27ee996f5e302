// The binding's text helpers that need no Python.h: the module's version
// string and the "Did you mean" suggestion of a misspelt keyword argument.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "core/version.h"
#include "py/suggest.h"
#include "py/version.h"

namespace vantric::py {
namespace {

TEST(BindingText, HostVersion) {
  EXPECT_EQ(host_version("0.4.0"), "0.4.0");
  EXPECT_EQ(host_version("0.4.0-alpha"), "0.4.0a");
  EXPECT_EQ(host_version("1.0.0-beta.2"), "1.0.0b.2");
  EXPECT_EQ(host_version("1-alpha-beta-alpha"), "1aba");
  EXPECT_EQ(host_version(kVersionText), "0.4.0");
}

TEST(BindingText, ClosestName) {
  const std::string_view params[] = {
      "initial_window_size", "connection_window", "max_frame_size", "url", "name", "default"};
  struct Case {
    std::string_view typo;
    std::string_view expected;
  };
  const Case cases[] = {
      {"ur", "url"},
      {"nme", "name"},
      {"Name", "name"},
      {"defualt", "default"},
      {"max_frame_sise", "max_frame_size"},
      {"initial_window", "initial_window_size"},
      {"x", ""},
      {"url", ""},  // an exact match is never suggested
      {"completely_different_thing", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(closest_name(c.typo, params), c.expected) << c.typo;
}

}  // namespace
}  // namespace vantric::py

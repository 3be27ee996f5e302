// The package version and its host spelling.
#pragma once

#include <string>
#include <string_view>

namespace vantric {

// The release text of the package.
inline constexpr std::string_view kVersionText = "0.4.0";

// The host's version form: every "-alpha" becomes "a", then every "-beta"
// becomes "b" ("0.4.0-alpha" -> "0.4.0a"); a release text is unchanged.
std::string host_version(std::string_view text);

}  // namespace vantric

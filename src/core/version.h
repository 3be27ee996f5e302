// The package version: the one place it is written.  The build reads it from
// here for the distribution's metadata, and the binding derives the module's
// __version__ from it.
#pragma once

#include <string_view>

namespace vantric {

// The release text of the package.
inline constexpr std::string_view kVersionText = "0.4.0";

}  // namespace vantric

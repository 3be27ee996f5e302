// The module's __version__: the package version in the host's spelling.
// Needs no Python.h, so the C++ tests check it too.
#pragma once

#include <string>
#include <string_view>

namespace vantric::py {

// The host's version form: every "-alpha" becomes "a", then every "-beta"
// becomes "b" ("0.4.0-alpha" -> "0.4.0a"); a release text is unchanged.
std::string host_version(std::string_view text);

}  // namespace vantric::py

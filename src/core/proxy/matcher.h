// Proxy selection: which proxy, if any, a request to a URL goes through.
//
// Configured once, from the conventional environment variables or from
// explicit texts, then immutable: any number of threads may call intercept()
// at once without a lock.  Nothing in configuration or matching fails;
// unusable settings and pieces are ignored.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/proxy/bypass.h"
#include "core/proxy/entry.h"

namespace vantric::proxy {

// The four texts a matcher is built from; empty means unset.
struct ProxySettings {
  std::string all = {};
  std::string http = {};
  std::string https = {};
  std::string no = {};
};

// Looks up one environment variable by its exact name: its octets, or
// nullopt when it is not set.  The view must stay valid until the next call.
using EnvLookup = std::function<std::optional<std::string_view>(const char* name)>;

// Reads the settings through `lookup`: each from ALL_PROXY / all_proxy,
// HTTP_PROXY / http_proxy, HTTPS_PROXY / https_proxy, NO_PROXY / no_proxy,
// the first of the two that is set and valid UTF-8, even when empty.  When
// REQUEST_METHOD is set at all the process runs as a CGI script, whose
// request headers arrive as variables (a "Proxy:" header would become
// HTTP_PROXY, the "httpoxy" attack), so nothing is read and every setting is
// empty.  Throws std::bad_alloc.
ProxySettings read_env_settings(const EnvLookup& lookup);

class ProxyMatcher {
 public:
  ProxyMatcher() = default;

  // Builds from settings: the http and https proxies each fall back to the
  // all proxy when their own setting yields none.  Throws std::bad_alloc.
  static ProxyMatcher from_settings(const ProxySettings& settings);
  static ProxyMatcher from_env(const EnvLookup& lookup) { return from_settings(read_env_settings(lookup)); }

  // The proxy for a request to `url`, or null: when the URL does not parse
  // with the module's URI grammar, has no host, has a scheme other than http
  // and https (or none), has no proxy configured for its scheme, or its host
  // is bypassed.  The entry is immutable and shared; holding it keeps it
  // alive after the matcher.  Does not allocate.
  std::shared_ptr<const ProxyEntry> intercept(std::string_view url) const noexcept;

  const std::shared_ptr<const ProxyEntry>& http() const noexcept { return http_; }
  const std::shared_ptr<const ProxyEntry>& https() const noexcept { return https_; }

 private:
  std::shared_ptr<const ProxyEntry> http_;
  std::shared_ptr<const ProxyEntry> https_;
  BypassList no_;
};

}  // namespace vantric::proxy

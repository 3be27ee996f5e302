#include "core/proxy/matcher.h"

#include "core/http/uri.h"
#include "core/proxy/text.h"

namespace vantric::proxy {
namespace {

// The first of `upper` and `lower` that is set and holds UTF-8 text; an
// empty upper-case variable wins, so setting HTTP_PROXY= disables a
// lower-case http_proxy.
std::string read_setting(const EnvLookup& lookup, const char* upper, const char* lower) {
  for (const char* name : {upper, lower}) {
    const std::optional<std::string_view> value = lookup(name);
    if (value && is_valid_utf8(*value)) return std::string(*value);
  }
  return {};
}

std::shared_ptr<const ProxyEntry> shared_entry(std::string_view setting) {
  std::optional<ProxyEntry> entry = parse_proxy_entry(setting);
  if (!entry) return nullptr;
  return std::make_shared<const ProxyEntry>(std::move(*entry));
}

}  // namespace

ProxySettings read_env_settings(const EnvLookup& lookup) {
  // RFC 3875 section 4.1.12 and section 4.1.18 (HTTP_* meta-variables).
  if (lookup("REQUEST_METHOD")) return {};
  ProxySettings settings;
  settings.all = read_setting(lookup, "ALL_PROXY", "all_proxy");
  settings.http = read_setting(lookup, "HTTP_PROXY", "http_proxy");
  settings.https = read_setting(lookup, "HTTPS_PROXY", "https_proxy");
  settings.no = read_setting(lookup, "NO_PROXY", "no_proxy");
  return settings;
}

ProxyMatcher ProxyMatcher::from_settings(const ProxySettings& settings) {
  ProxyMatcher matcher;
  // The entries are immutable, so the http and https proxies share the all
  // proxy instead of copying it.
  std::shared_ptr<const ProxyEntry> all = shared_entry(settings.all);
  matcher.http_ = shared_entry(settings.http);
  if (!matcher.http_) matcher.http_ = all;
  matcher.https_ = shared_entry(settings.https);
  if (!matcher.https_) matcher.https_ = all;
  matcher.no_ = BypassList::parse(settings.no);
  return matcher;
}

std::shared_ptr<const ProxyEntry> ProxyMatcher::intercept(std::string_view url) const noexcept {
  http::Uri uri;
  if (http::parse_uri(url, uri) != std::nullopt) return nullptr;
  // The scheme decides first: without a proxy for it the bypass list cannot
  // change the answer, and the common no-proxy case ends here.
  const std::shared_ptr<const ProxyEntry>* entry = nullptr;
  if (uri.scheme_kind == http::SchemeKind::kHttp) {
    entry = &http_;
  } else if (uri.scheme_kind == http::SchemeKind::kHttps) {
    entry = &https_;
  }
  if (entry == nullptr || !*entry || uri.host.empty()) return nullptr;
  if (no_.bypasses(uri.host)) return nullptr;
  return *entry;
}

}  // namespace vantric::proxy

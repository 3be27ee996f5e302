// Header names in their stored form: validated, lowercase, hashed, and
// resolved to a well-known name when there is one.
//
// A well-known name is kept as shared static text and carries a small id, so
// a collection stores no octets for it, compares it by id, and the binding and
// HPACK can map it to a cached object or a static-table index without looking
// at the octets again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vantric::http {

// The first 47 are the regular names of the HPACK static table (RFC 7541
// Appendix A) in table order; the rest are names that are common on the wire.
#define VANTRIC_WELL_KNOWN_HEADER_NAMES(X)                              \
  X(kAcceptCharset, "accept-charset")                                   \
  X(kAcceptEncoding, "accept-encoding")                                 \
  X(kAcceptLanguage, "accept-language")                                 \
  X(kAcceptRanges, "accept-ranges")                                     \
  X(kAccept, "accept")                                                  \
  X(kAccessControlAllowOrigin, "access-control-allow-origin")           \
  X(kAge, "age")                                                        \
  X(kAllow, "allow")                                                    \
  X(kAuthorization, "authorization")                                    \
  X(kCacheControl, "cache-control")                                     \
  X(kContentDisposition, "content-disposition")                         \
  X(kContentEncoding, "content-encoding")                               \
  X(kContentLanguage, "content-language")                               \
  X(kContentLength, "content-length")                                   \
  X(kContentLocation, "content-location")                               \
  X(kContentRange, "content-range")                                     \
  X(kContentType, "content-type")                                       \
  X(kCookie, "cookie")                                                  \
  X(kDate, "date")                                                      \
  X(kEtag, "etag")                                                      \
  X(kExpect, "expect")                                                  \
  X(kExpires, "expires")                                                \
  X(kFrom, "from")                                                      \
  X(kHost, "host")                                                      \
  X(kIfMatch, "if-match")                                               \
  X(kIfModifiedSince, "if-modified-since")                              \
  X(kIfNoneMatch, "if-none-match")                                      \
  X(kIfRange, "if-range")                                               \
  X(kIfUnmodifiedSince, "if-unmodified-since")                          \
  X(kLastModified, "last-modified")                                     \
  X(kLink, "link")                                                      \
  X(kLocation, "location")                                              \
  X(kMaxForwards, "max-forwards")                                       \
  X(kProxyAuthenticate, "proxy-authenticate")                           \
  X(kProxyAuthorization, "proxy-authorization")                         \
  X(kRange, "range")                                                    \
  X(kReferer, "referer")                                                \
  X(kRefresh, "refresh")                                                \
  X(kRetryAfter, "retry-after")                                         \
  X(kServer, "server")                                                  \
  X(kSetCookie, "set-cookie")                                           \
  X(kStrictTransportSecurity, "strict-transport-security")              \
  X(kTransferEncoding, "transfer-encoding")                             \
  X(kUserAgent, "user-agent")                                           \
  X(kVary, "vary")                                                      \
  X(kVia, "via")                                                        \
  X(kWwwAuthenticate, "www-authenticate")                               \
  X(kAccessControlAllowCredentials, "access-control-allow-credentials") \
  X(kAccessControlAllowHeaders, "access-control-allow-headers")         \
  X(kAccessControlAllowMethods, "access-control-allow-methods")         \
  X(kAccessControlExposeHeaders, "access-control-expose-headers")       \
  X(kAccessControlMaxAge, "access-control-max-age")                     \
  X(kAccessControlRequestHeaders, "access-control-request-headers")     \
  X(kAccessControlRequestMethod, "access-control-request-method")       \
  X(kAltSvc, "alt-svc")                                                 \
  X(kConnection, "connection")                                          \
  X(kContentSecurityPolicy, "content-security-policy")                  \
  X(kDnt, "dnt")                                                        \
  X(kEarlyData, "early-data")                                           \
  X(kForwarded, "forwarded")                                            \
  X(kHttp2Settings, "http2-settings")                                   \
  X(kKeepAlive, "keep-alive")                                           \
  X(kOrigin, "origin")                                                  \
  X(kPragma, "pragma")                                                  \
  X(kPriority, "priority")                                              \
  X(kProxyConnection, "proxy-connection")                               \
  X(kSecFetchDest, "sec-fetch-dest")                                    \
  X(kSecFetchMode, "sec-fetch-mode")                                    \
  X(kSecFetchSite, "sec-fetch-site")                                    \
  X(kSecFetchUser, "sec-fetch-user")                                    \
  X(kSecWebsocketAccept, "sec-websocket-accept")                        \
  X(kSecWebsocketExtensions, "sec-websocket-extensions")                \
  X(kSecWebsocketKey, "sec-websocket-key")                              \
  X(kSecWebsocketProtocol, "sec-websocket-protocol")                    \
  X(kSecWebsocketVersion, "sec-websocket-version")                      \
  X(kTe, "te")                                                          \
  X(kTimingAllowOrigin, "timing-allow-origin")                          \
  X(kTrailer, "trailer")                                                \
  X(kUpgrade, "upgrade")                                                \
  X(kUpgradeInsecureRequests, "upgrade-insecure-requests")              \
  X(kXContentTypeOptions, "x-content-type-options")                     \
  X(kXForwardedFor, "x-forwarded-for")                                  \
  X(kXForwardedHost, "x-forwarded-host")                                \
  X(kXForwardedProto, "x-forwarded-proto")                              \
  X(kXFrameOptions, "x-frame-options")                                  \
  X(kXRealIp, "x-real-ip")                                              \
  X(kXRequestId, "x-request-id")                                        \
  X(kXRequestedWith, "x-requested-with")                                \
  X(kXXssProtection, "x-xss-protection")

enum class WellKnownName : uint8_t {
#define VANTRIC_X(id, text) id,
  VANTRIC_WELL_KNOWN_HEADER_NAMES(VANTRIC_X)
#undef VANTRIC_X
      kCount,
  kNone = 0xff,
};

inline constexpr std::size_t kWellKnownNameCount = static_cast<std::size_t>(WellKnownName::kCount);

// The stored text of a well-known name (`id` below kCount).  Static storage.
std::string_view well_known_name_text(WellKnownName id) noexcept;

// The well-known name whose text is `lowercase`, or kNone.
WellKnownName find_well_known_name(std::string_view lowercase) noexcept;

// The hash of a stored (lowercase) name, as HeaderName::hash() gives it.  It
// is keyed per process, so that a peer cannot choose names that pile up in
// one probe run of a collection's index (hash flooding); values therefore
// differ between processes and must never be stored or sent.
uint32_t hash_header_name(std::string_view lowercase) noexcept;

// A validated header name in stored form.  Owns its octets (inline up to
// kInlineCapacity, on the heap beyond), so it may outlive the input it was
// made from.
class HeaderName {
  struct Tag {
    explicit Tag() = default;
  };

 public:
  static constexpr std::size_t kInlineCapacity = 48;

  // Validates `raw` as a header name (1 to 65535 tchars of RFC 9110 section
  // 5.6.2, any case) and keeps its lowercase form.  nullopt when invalid.
  // May throw std::bad_alloc for names longer than kInlineCapacity.
  static std::optional<HeaderName> from(std::string_view raw);
  // The same, built in place in *out (which is reset first): false, with *out
  // empty, when invalid.  Saves the move of a result on hot paths.
  static bool from(std::string_view raw, std::optional<HeaderName>* out);

  // The well-known name `id` (below kCount).  No validation, no allocation.
  explicit HeaderName(WellKnownName id) noexcept;

  // Only for from(), which builds its result in place inside the optional;
  // the tag cannot be named outside the class.
  explicit HeaderName(Tag) noexcept {}

  HeaderName(const HeaderName& other);
  HeaderName& operator=(const HeaderName& other);
  HeaderName(HeaderName&& other) noexcept;
  HeaderName& operator=(HeaderName&& other) noexcept;
  ~HeaderName() = default;

  // The lowercase octets; valid as long as this object is unchanged.
  std::string_view view() const noexcept {
    if (static_text_ != nullptr) return {static_text_, size_};
    if (size_ <= kInlineCapacity) return {inline_, size_};
    return {heap_.get(), size_};
  }
  uint32_t hash() const noexcept { return hash_; }
  WellKnownName well_known() const noexcept { return id_; }

 private:
  void copy_from(const HeaderName& other);

  const char* static_text_ = nullptr;
  uint32_t hash_ = 0;
  uint16_t size_ = 0;
  WellKnownName id_ = WellKnownName::kNone;
  char inline_[kInlineCapacity];
  std::unique_ptr<char[]> heap_;  // only for names longer than kInlineCapacity
};

}  // namespace vantric::http

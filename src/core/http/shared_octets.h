// An immutable, reference-counted block of octets.
//
// A block lets one buffer back header values in several places without
// copying: the per-thread cached Date value, or the bytes of a parsed head that
// a HeaderMap refers to instead of copying each value.  The count is atomic
// because a map holding a block may be destroyed on another thread than the
// one that made the block.
#pragma once

#include <atomic>
#include <cstddef>
#include <string_view>

namespace vantric::http {

class SharedOctets {
 public:
  SharedOctets() noexcept = default;

  // A new block holding a copy of `octets`.  Throws std::bad_alloc.
  static SharedOctets copy_of(std::string_view octets);

  SharedOctets(const SharedOctets& other) noexcept;
  SharedOctets(SharedOctets&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
  SharedOctets& operator=(const SharedOctets& other) noexcept;
  SharedOctets& operator=(SharedOctets&& other) noexcept;
  ~SharedOctets() { release(); }

  // The octets; valid as long as any handle to the block exists.  Empty for an
  // empty handle.
  std::string_view view() const noexcept;

  explicit operator bool() const noexcept { return block_ != nullptr; }

  // Whether `octets` lies wholly inside this block (false for an empty handle).
  bool contains(std::string_view octets) const noexcept;

  friend bool operator==(const SharedOctets& a, const SharedOctets& b) noexcept {
    return a.block_ == b.block_;
  }

 private:
  struct Block {
    std::atomic<std::size_t> refs;
    std::size_t size;
  };

  const char* data() const noexcept { return reinterpret_cast<const char*>(block_ + 1); }
  void release() noexcept;

  Block* block_ = nullptr;
};

}  // namespace vantric::http

#include "core/http/shared_octets.h"

#include <cstdint>
#include <cstring>
#include <new>

namespace vantric::http {

SharedOctets SharedOctets::copy_of(std::string_view octets) {
  // The octets follow the header in the same allocation; the header's
  // alignment is a multiple of char's, so `block_ + 1` is a valid char array.
  void* raw = ::operator new(sizeof(Block) + octets.size());
  auto* block = new (raw) Block{{1}, octets.size()};
  if (!octets.empty()) std::memcpy(static_cast<char*>(raw) + sizeof(Block), octets.data(), octets.size());
  SharedOctets out;
  out.block_ = block;
  return out;
}

SharedOctets::SharedOctets(const SharedOctets& other) noexcept : block_(other.block_) {
  if (block_ != nullptr) block_->refs.fetch_add(1, std::memory_order_relaxed);
}

SharedOctets& SharedOctets::operator=(const SharedOctets& other) noexcept {
  if (other.block_ != nullptr) other.block_->refs.fetch_add(1, std::memory_order_relaxed);
  release();
  block_ = other.block_;
  return *this;
}

SharedOctets& SharedOctets::operator=(SharedOctets&& other) noexcept {
  if (this != &other) {
    release();
    block_ = other.block_;
    other.block_ = nullptr;
  }
  return *this;
}

std::string_view SharedOctets::view() const noexcept {
  if (block_ == nullptr) return {};
  return {data(), block_->size};
}

bool SharedOctets::contains(std::string_view octets) const noexcept {
  if (block_ == nullptr) return false;
  // Compare as integers: relational operators on pointers into different
  // objects are unspecified.
  auto begin = reinterpret_cast<std::uintptr_t>(data());
  auto p = reinterpret_cast<std::uintptr_t>(octets.data());
  return p >= begin && p - begin <= block_->size && octets.size() <= block_->size - (p - begin);
}

void SharedOctets::release() noexcept {
  if (block_ == nullptr) return;
  if (block_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    block_->~Block();
    ::operator delete(block_);
  }
  block_ = nullptr;
}

}  // namespace vantric::http

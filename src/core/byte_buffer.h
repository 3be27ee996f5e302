// A growable, contiguous byte buffer consumed from the front.
//
// The read buffers of the HTTP/1 codec and body decoder: bytes are appended at
// the back and consumed from the front without moving the rest; the live bytes
// are compacted to the start only when appending needs the room.  A whole
// buffer moves to another owner without copying (take / append of a buffer
// into an empty one).
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace vantric {

class ByteBuffer {
 public:
  ByteBuffer() noexcept = default;
  // A buffer whose first allocation is `min_capacity` bytes rather than the
  // default (a scratch for small writes, kept by many idle connections).
  explicit ByteBuffer(std::size_t min_capacity) noexcept : min_capacity_(min_capacity) {}
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer(ByteBuffer&& other) noexcept { swap(other); }
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    ByteBuffer moved(std::move(other));
    swap(moved);
    return *this;
  }

  // The live bytes; valid until the next non-const call.
  std::string_view view() const noexcept { return {data_.get() + begin_, end_ - begin_}; }
  const char* data() const noexcept { return data_.get() + begin_; }
  // The live bytes for rewriting in place (a frame header written once its
  // payload's length is known); valid until the next call that adds bytes.
  char* data() noexcept { return data_.get() + begin_; }
  std::size_t size() const noexcept { return end_ - begin_; }
  bool empty() const noexcept { return begin_ == end_; }
  std::size_t capacity() const noexcept { return capacity_; }

  // Appends a copy of `bytes` (which may not point into this buffer).  Throws
  // std::bad_alloc, leaving the buffer unchanged.
  void append(std::string_view bytes) {
    if (bytes.empty()) return;
    char* at = prepare(bytes.size());
    std::memcpy(at, bytes.data(), bytes.size());
    end_ += bytes.size();
  }

  // Appends every byte of `other` and leaves it empty; when this buffer is
  // empty, its storage is taken over without copying.
  void append(ByteBuffer&& other) {
    if (empty() && other.capacity_ >= capacity_) {
      swap(other);
      other.clear();
      return;
    }
    append(other.view());
    other.clear();
  }

  // Room for `n` more bytes at the back (may compact or grow); returns where
  // they go.  Commit them with commit(n).  Throws std::bad_alloc.
  char* prepare(std::size_t n) {
    if (capacity_ - end_ >= n) return data_.get() + end_;
    const std::size_t live = size();
    if (capacity_ - live >= n && begin_ >= live) {
      // Compacting frees enough room and copies less than the live bytes twice.
      std::memmove(data_.get(), data_.get() + begin_, live);
    } else {
      std::size_t capacity = capacity_ < min_capacity_ ? min_capacity_ : capacity_;
      while (capacity - live < n) capacity *= 2;
      auto fresh = std::make_unique_for_overwrite<char[]>(capacity);
      if (live != 0) std::memcpy(fresh.get(), data_.get() + begin_, live);
      data_ = std::move(fresh);
      capacity_ = capacity;
    }
    begin_ = 0;
    end_ = live;
    return data_.get() + end_;
  }
  void commit(std::size_t n) noexcept { end_ += n; }

  // Drops `n` (at most size()) bytes from the front.
  void consume(std::size_t n) noexcept {
    begin_ += n;
    if (begin_ == end_) begin_ = end_ = 0;
  }
  void clear() noexcept { begin_ = end_ = 0; }

  // Moves every byte out into a new buffer, leaving this one empty.
  ByteBuffer take() noexcept {
    ByteBuffer out(std::move(*this));
    return out;
  }

  void swap(ByteBuffer& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(begin_, other.begin_);
    std::swap(end_, other.end_);
    std::swap(capacity_, other.capacity_);
  }

 private:
  static constexpr std::size_t kMinCapacity = 4096;

  std::unique_ptr<char[]> data_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::size_t capacity_ = 0;
  std::size_t min_capacity_ = kMinCapacity;  // the owner's, not moved with the storage
};

}  // namespace vantric

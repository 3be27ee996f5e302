// Process-wide one-time creation of host objects (type objects, exception
// classes, interned strings).
//
// The first caller creates the object while holding a creation mutex; a second
// thread that needs it meanwhile detaches from the interpreter while it waits,
// so the creator (which needs the interpreter) can finish.  A failed creation
// leaves the slot empty and the host exception set; a later call tries again.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace vantric::py {

// Sets the internal-fault exception (defined with the error hierarchy).
void set_internal_fault(const char* text);

template <typename T>
class ProcessOnce {
 public:
  // Returns the object, creating it with `make()` (a new reference or nullptr
  // with an exception set) on first use.  Returns nullptr on failure.
  template <typename Make>
  T* get(Make&& make) {
    if (T* value = value_.load(std::memory_order_acquire)) [[likely]]
      return value;
    return create(make);
  }

  T* peek() const { return value_.load(std::memory_order_acquire); }

 private:
  template <typename Make>
  T* create(Make& make) {
    const std::thread::id self = std::this_thread::get_id();
    if (!mutex_.try_lock()) {
      if (creator_.load(std::memory_order_relaxed) == self) {
        // Re-entered from host code run during our own creation (a finalizer).
        set_internal_fault("recursive creation of a process-wide object");
        return nullptr;
      }
      Py_BEGIN_ALLOW_THREADS mutex_.lock();
      Py_END_ALLOW_THREADS
    }
    std::unique_lock<std::mutex> lock(mutex_, std::adopt_lock);
    if (T* value = value_.load(std::memory_order_acquire)) return value;
    creator_.store(self, std::memory_order_relaxed);
    struct ClearCreator {
      std::atomic<std::thread::id>& creator;
      ~ClearCreator() { creator.store(std::thread::id(), std::memory_order_relaxed); }
    } clear_creator{creator_};
    T* value = make();
    if (value) value_.store(value, std::memory_order_release);
    return value;
  }

  std::atomic<T*> value_{nullptr};
  std::mutex mutex_;
  std::atomic<std::thread::id> creator_{};
};

}  // namespace vantric::py

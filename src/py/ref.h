// Owning references to host objects.
//
// `Ref` owns one strong reference.  It is made only by `Ref::steal` (take over a
// new reference) or `Ref::from_borrowed` (add one), moves but never copies, and
// releases in its destructor.  Borrowed pointers stay raw `PyObject*` and are
// never stored.  A `Ref` that may be released while an object lock is held must
// instead be moved into a local declared before the lock guard.
#pragma once

#include <Python.h>

#include <cstdint>
#include <new>
#include <utility>
#include <vector>

namespace vantric::py {

class Ref {
 public:
  Ref() = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    PyObject* old = p_;
    p_ = other.p_;
    other.p_ = nullptr;
    Py_XDECREF(old);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  [[nodiscard]] static Ref steal(PyObject* p) { return Ref(p); }
  [[nodiscard]] static Ref from_borrowed(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const { return p_; }
  // A second owner of the same object.
  [[nodiscard]] Ref share() const { return from_borrowed(p_); }
  explicit operator bool() const { return p_ != nullptr; }
  // Hands the reference to the caller (a result leaving the module).
  [[nodiscard]] PyObject* release() { return std::exchange(p_, nullptr); }
  void reset() { Py_CLEAR(p_); }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// References leaving an object under its lock, released when this goes out of
// scope: declare it before the lock guard.  The first few are kept without
// allocating.
class Released {
 public:
  Released() = default;
  Released(const Released&) = delete;
  Released& operator=(const Released&) = delete;
  ~Released() {
    for (uint32_t i = 0; i < count_; ++i) Py_DECREF(inline_[i]);
    for (PyObject* obj : more_) Py_DECREF(obj);
  }

  // Takes over `ref`.  When no room can be made, std::bad_alloc propagates
  // and `ref` keeps the reference.
  void add(Ref&& ref) {
    if (!ref) return;
    if (count_ == kInline && more_.size() == more_.capacity()) more_.reserve(2 * more_.size() + kInline);
    add_plain(ref.release());
  }
  // A sink for a core's take_all().
  auto sink() {
    return [this](Ref&& ref) { add(std::move(ref)); };
  }
  // Takes over `obj` (nullptr is ignored), an object whose deallocation runs
  // no host code (bytes, str): when no room can be made it is released at
  // once, which then cannot re-enter the object whose lock is held.
  void add_plain(PyObject* obj) noexcept {
    if (obj == nullptr) return;
    if (count_ < kInline) {
      inline_[count_++] = obj;
      return;
    }
    try {
      more_.push_back(obj);
    } catch (const std::bad_alloc&) {
      Py_DECREF(obj);
    }
  }

 private:
  static constexpr uint32_t kInline = 8;
  PyObject* inline_[kInline];
  uint32_t count_ = 0;
  std::vector<PyObject*> more_;
};

// The object a Ref holds, or None; a new reference (takes the Ref's).
inline PyObject* object_or_none(Ref&& ref) {
  if (!ref) Py_RETURN_NONE;
  return ref.release();
}

// An argument that may be None or not passed, as a Ref that is empty then.
inline Ref optional_ref(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return {};
  return Ref::from_borrowed(obj);
}

// A 2-tuple of the two objects, None for an empty one.
inline PyObject* pack_pair(Ref&& a, Ref&& b) {
  Ref first = Ref::steal(object_or_none(std::move(a)));
  Ref second = Ref::steal(object_or_none(std::move(b)));
  return PyTuple_Pack(2, first.get(), second.get());
}

}  // namespace vantric::py

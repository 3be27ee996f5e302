// A stand-in for the binding's owning reference in the tests of the states
// that keep host objects: a shared id, empty when absent.
#pragma once

#include <memory>

namespace vantric::test {

struct Handle {
  std::shared_ptr<int> id;
  Handle() = default;
  explicit Handle(int v) : id(std::make_shared<int>(v)) {}
  explicit operator bool() const { return static_cast<bool>(id); }
  Handle share() const {
    Handle h;
    h.id = id;
    return h;
  }
  int value() const { return id ? *id : 0; }
};

}  // namespace vantric::test

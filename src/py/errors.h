// The module's exception classes and the conversion of core error values into
// host exceptions.
//
// Core operations return error values (plain data, built under object locks);
// the binding raises them with these functions after unlocking.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/h1/error.h"
#include "core/h2/error.h"

namespace vantric::py {

// Every exception class the module defines, bases before subclasses.
enum class ExcId : uint8_t {
  kVantricError,
  kConnectionClosedError,
  kH1Error,
  kH1ParseError,
  kH1BodyError,
  kH1IncompleteMessageError,
  kH1UnexpectedMessageError,
  kH1UserError,
  kH2Error,
  kH2ProtocolError,
  kH2StreamError,
  kH2UserError,
  kH2FlowControlError,
  kInternalFault,
  kCount,
};

// The process-wide class (borrowed; it lives as long as the process), created
// with its bases on first use.  nullptr with an exception set on failure.
PyObject* exception_class(ExcId id);

// Each raise_* leaves the matching host exception set (or the failure to build
// it).  Call them after every object lock is released.
void raise(const h1::Error& error);
void raise(const h2::Error& error);
void raise_h2_user(h2::UserErrorKind kind, std::string_view message = {});
void raise_flow_control();
void raise_library_stream_error(uint32_t stream_id, uint32_t reason);
void raise_protocol(std::optional<uint32_t> reason, std::string_view message);
void raise_connection_closed(std::string_view message);
// A new ConnectionClosedError carrying `message`, not raised; nullptr with
// an exception set on failure.
PyObject* new_connection_closed(std::string_view message);

// Sets the internal-fault exception (derived from BaseException) with `text`.
void set_internal_fault(const char* text);

// Inside a catch block: turns the in-flight C++ exception into a host exception
// (MemoryError for an allocation failure, the internal fault otherwise).
void translate_current_exception() noexcept;

}  // namespace vantric::py

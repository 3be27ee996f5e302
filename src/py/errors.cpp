#include "py/errors.h"

#include <array>
#include <exception>
#include <new>
#include <string>

#include "py/once.h"
#include "py/ref.h"
#include "py/results.h"

namespace vantric::py {
namespace {

constexpr std::size_t kExcCount = static_cast<std::size_t>(ExcId::kCount);

struct ExceptionSpec {
  const char* dotted_name;
  ExcId base;  // ignored for the two roots
  const char* doc;
};

constexpr std::array<ExceptionSpec, kExcCount> kExceptions = {{
    {"_vantric.VantricError", ExcId::kVantricError,
     "Root of every HTTP/1 and HTTP/2 error this module raises."},
    {"_vantric.ConnectionClosedError", ExcId::kVantricError,
     "The transport failed (reset or I/O error) with work still in flight.\n\n"
     "args: (message,)"},
    {"_vantric.H1Error", ExcId::kVantricError,
     "Base of every HTTP/1 error; raised itself for HTTP/1 failures without a subclass.\n\n"
     "args: (message,)"},
    {"_vantric.H1ParseError", ExcId::kH1Error, "A malformed HTTP/1 message head.\n\nargs: (kind, message)"},
    {"_vantric.H1BodyError", ExcId::kH1Error,
     "An HTTP/1 body that cannot be decoded: a framing error, or the transport closing "
     "before the body was complete.\n\nargs: (io_kind, message)"},
    {"_vantric.H1IncompleteMessageError", ExcId::kH1Error,
     "The connection closed while an HTTP/1 message was still expected.\n\nargs: (message,)"},
    {"_vantric.H1UnexpectedMessageError", ExcId::kH1Error,
     "The peer sent bytes when none were expected.\n\nargs: (message,)"},
    {"_vantric.H1UserError", ExcId::kH1Error,
     "Local misuse detected on the HTTP/1 wire path; the connection is closed.\n\n"
     "args: (kind, message)"},
    {"_vantric.H2Error", ExcId::kVantricError, "Base of every HTTP/2 protocol error."},
    {"_vantric.H2ProtocolError", ExcId::kH2Error,
     "A connection-level HTTP/2 protocol violation, answered with GOAWAY.\n\n"
     "args: (reason, message); reason is an HTTP/2 error code or None"},
    {"_vantric.H2StreamError", ExcId::kH2Error,
     "A stream-level HTTP/2 protocol violation; the stream is reset and the connection "
     "survives.\n\nargs: (stream_id, reason, initiator); initiator is \"user\", \"library\" "
     "or \"remote\""},
    {"_vantric.H2UserError", ExcId::kH2Error,
     "Local misuse of the HTTP/2 interface.\n\nargs: (kind, message)"},
    {"_vantric.H2FlowControlError", ExcId::kH2Error,
     "An HTTP/2 flow-control window overflow or underflow.\n\n"
     "args: (reason,); reason is 3 (FLOW_CONTROL_ERROR)"},
    {"_vantric.InternalFault", ExcId::kInternalFault,
     "An internal invariant of the module failed.  Not a VantricError: it reports a bug "
     "and callers are not expected to handle it."},
}};

std::array<ProcessOnce<PyObject>, kExcCount> g_classes;

std::string pending_error_text() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  std::string text;
  if (value != nullptr) {
    Ref s = Ref::steal(PyObject_Str(value));
    const char* utf8 = s ? PyUnicode_AsUTF8(s.get()) : nullptr;
    if (utf8 != nullptr) text = utf8;
  }
  PyErr_Clear();
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  return text;
}

PyObject* create_class(ExcId id) {
  const ExceptionSpec& spec = kExceptions[static_cast<std::size_t>(id)];
  PyObject* base = nullptr;
  if (id == ExcId::kVantricError) {
    base = PyExc_Exception;
  } else if (id == ExcId::kInternalFault) {
    base = PyExc_BaseException;
  } else {
    base = exception_class(spec.base);
    if (base == nullptr) return nullptr;
  }
  PyObject* cls = PyErr_NewExceptionWithDoc(spec.dotted_name, spec.doc, base, nullptr);
  if (cls == nullptr && id != ExcId::kInternalFault) {
    std::string text = "Failed to initialize new exception type. (";
    text += spec.dotted_name;
    text += ": ";
    text += pending_error_text();
    text += ')';
    set_internal_fault(text.c_str());
  }
  return cls;
}

PyObject* new_text(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace");
}

// Instantiates the class with `args` (a new reference, may be nullptr after a
// failed build) and sets it as the pending exception.
void raise_with(ExcId id, PyObject* args) {
  Ref owned_args = Ref::steal(args);
  if (!owned_args) return;
  PyObject* cls = exception_class(id);
  if (cls == nullptr) return;
  Ref instance = Ref::steal(PyObject_Call(cls, owned_args.get(), nullptr));
  if (!instance) return;
  PyErr_SetObject(cls, instance.get());
}

// (text,)
PyObject* args_text(std::string_view text) {
  Ref s = Ref::steal(new_text(text));
  return s ? PyTuple_Pack(1, s.get()) : nullptr;
}

// (label, text)
PyObject* args_label_text(std::string_view label, std::string_view text) {
  Ref a = Ref::steal(new_text(label));
  Ref b = Ref::steal(new_text(text));
  return a && b ? PyTuple_Pack(2, a.get(), b.get()) : nullptr;
}

// (reason or None, text)
PyObject* args_reason_text(std::optional<uint32_t> reason, std::string_view text) {
  Ref r = reason ? Ref::steal(PyLong_FromUnsignedLong(*reason)) : Ref::from_borrowed(Py_None);
  Ref t = Ref::steal(new_text(text));
  return r && t ? PyTuple_Pack(2, r.get(), t.get()) : nullptr;
}

constexpr std::array<ExcId, h1::kErrorKindCount> kH1Classes = {
    ExcId::kH1ParseError,              // Parse
    ExcId::kH1UserError,               // User
    ExcId::kH1IncompleteMessageError,  // IncompleteMessage
    ExcId::kH1UnexpectedMessageError,  // UnexpectedMessage
    ExcId::kH1Error,                   // Canceled
    ExcId::kH1Error,                   // ChannelClosed
    ExcId::kConnectionClosedError,     // Io
    ExcId::kH1Error,                   // HeaderTimeout
    ExcId::kH1BodyError,               // Body
    ExcId::kH1Error,                   // BodyWrite
    ExcId::kConnectionClosedError,     // Shutdown
};

Word initiator_word(h2::Initiator initiator) {
  switch (initiator) {
    case h2::Initiator::kUser:
      return Word::kUser;
    case h2::Initiator::kRemote:
      return Word::kRemote;
    case h2::Initiator::kLibrary:
      break;
  }
  return Word::kLibrary;
}

void raise_conn_error(const h2::ConnError& e) {
  switch (e.variant) {
    case h2::ConnError::Variant::kReset: {
      Ref initiator = Ref::steal(new_word(initiator_word(e.initiator)));
      if (!initiator) return;
      raise_with(ExcId::kH2StreamError, Py_BuildValue("(kkO)", static_cast<unsigned long>(e.stream_id),
                                                      static_cast<unsigned long>(e.reason), initiator.get()));
      return;
    }
    case h2::ConnError::Variant::kGoAway:
      raise_with(ExcId::kH2ProtocolError, args_reason_text(e.reason, e.message()));
      return;
    case h2::ConnError::Variant::kIo:
      raise_with(ExcId::kConnectionClosedError, args_text(e.message()));
      return;
  }
}

}  // namespace

PyObject* exception_class(ExcId id) {
  return g_classes[static_cast<std::size_t>(id)].get([id] { return create_class(id); });
}

void raise(const h1::Error& error) {
  const ExcId id = kH1Classes[static_cast<std::size_t>(error.kind)];
  const std::string message = error.message();
  switch (error.kind) {
    case h1::ErrorKind::kParse:
    case h1::ErrorKind::kUser:
      raise_with(id, args_label_text(error.kind_string(), message));
      return;
    case h1::ErrorKind::kBody:
      raise_with(id, args_label_text(error.io_kind(), message));
      return;
    default:
      raise_with(id, args_text(message));
      return;
  }
}

void raise(const h2::Error& error) {
  struct Visitor {
    void operator()(const h2::ConnError& e) const { raise_conn_error(e); }
    void operator()(const h2::UserError& e) const { raise_h2_user(e.kind, e.message); }
    void operator()(const h2::ProtocolError& e) const { raise_protocol(e.reason, e.message); }
    void operator()(const h2::FlowControlError&) const { raise_flow_control(); }
    void operator()(const h2::TransportError& e) const { raise_connection_closed(e.message); }
  };
  std::visit(Visitor{}, error);
}

void raise_h2_user(h2::UserErrorKind kind, std::string_view message) {
  if (message.empty()) message = h2::user_error_default_message(kind);
  raise_with(ExcId::kH2UserError, args_label_text(h2::user_error_kind_name(kind), message));
}

void raise_flow_control() {
  raise_with(ExcId::kH2FlowControlError,
             Py_BuildValue("(k)", static_cast<unsigned long>(h2::code(h2::Reason::kFlowControlError))));
}

void raise_library_stream_error(uint32_t stream_id, uint32_t reason) {
  raise_conn_error(h2::ConnError::reset(stream_id, reason, h2::Initiator::kLibrary));
}

void raise_protocol(std::optional<uint32_t> reason, std::string_view message) {
  raise_with(ExcId::kH2ProtocolError, args_reason_text(reason, message));
}

void raise_connection_closed(std::string_view message) {
  raise_with(ExcId::kConnectionClosedError, args_text(message));
}

PyObject* new_connection_closed(std::string_view message) {
  PyObject* cls = exception_class(ExcId::kConnectionClosedError);
  if (cls == nullptr) return nullptr;
  Ref args = Ref::steal(args_text(message));
  return args ? PyObject_Call(cls, args.get(), nullptr) : nullptr;
}

void set_internal_fault(const char* text) {
  PyObject* cls = exception_class(ExcId::kInternalFault);
  if (cls == nullptr) return;  // the failure to create it stays set
  PyErr_SetString(cls, text);
}

void translate_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    try {
      set_internal_fault(e.what());
    } catch (...) {
      PyErr_SetString(PyExc_SystemError, e.what());
    }
  } catch (...) {
    try {
      set_internal_fault("unknown internal failure");
    } catch (...) {
      PyErr_SetString(PyExc_SystemError, "unknown internal failure");
    }
  }
}

}  // namespace vantric::py

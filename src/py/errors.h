// The module's exception classes and H2Reason, each created once per
// process in a once-only slot shared by raising code and the module
// attributes, and the one place where core failure values become Python
// exceptions.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/http2/error.h"
#include "src/py/python.h"

namespace vintrel::py {

// The exception classes: VintrelError and ConnectionClosedError under it;
// H2Error under VintrelError, and the four HTTP/2 errors under H2Error.
enum class ErrorClass : uint8_t { Vintrel, ConnectionClosed, H2, H2Protocol, H2Stream, H2User, H2FlowControl };

// Borrowed references to the process-wide classes (created on first use),
// or nullptr with an exception set.
PyObject* error_class(ErrorClass which);
// The same as a getter of the module's export table.
template <ErrorClass C>
PyObject* error_class() {
  return error_class(C);
}
PyObject* h2_reason_enum();

// Each raise builds the exception from the recorded values only now, and
// returns nullptr so that callers can `return raise_...(...)`.
PyObject* raise_failure(const h2::Failure& failure);
PyObject* raise_h2_error(const h2::Error& error);
PyObject* raise_user_error(h2::UserErrorKind kind, std::string_view message = {});
PyObject* raise_flow_control_error();
PyObject* raise_protocol_error(std::optional<uint32_t> reason, std::string_view message);
PyObject* raise_value_error(std::string_view message);
// ValueError("<prefix>: <detail>").
PyObject* raise_value_error(std::string_view prefix, std::string_view detail);

}  // namespace vintrel::py

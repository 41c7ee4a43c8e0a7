// The nine HTTP/2 frame event classes: immutable snapshots that
// H2Codec.receive returns, one per frame event of the core reader.
#pragma once

#include "core/http2/frame_reader.h"
#include "src/py/python.h"

namespace vintrel::py {

// The Python event of one core frame event (a new reference), or nullptr
// with an exception set. Call it outside any lock: DATA payloads and GOAWAY
// debug data are copied from their views into new bytes here, so the
// storage they view must still be alive. The event is left moved from.
PyObject* new_frame_event(h2::FrameEvent& event);

}  // namespace vintrel::py

// The HTTP/1 head events, H1ResponseHead and H1RequestHead: immutable
// snapshots of a parsed head, made only by H1Codec.
#pragma once

#include "core/http1/head_parse.h"
#include "src/py/python.h"

namespace vintrel::py {

// New events taking over the parsed head (its fields become the event's
// HeaderMap without another copy), or nullptr with an exception set.
PyObject* new_response_head(http1::ResponseHead&& head);
PyObject* new_request_head(http1::RequestHead&& head);

}  // namespace vintrel::py

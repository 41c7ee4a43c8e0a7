// The process-wide class objects that the module exports, each created once
// (borrowed references, or nullptr with an exception set). The module's
// execution step adds them in the order of its export table.
#pragma once

#include "src/py/python.h"

namespace vintrel::py {

PyObject* version_object();
PyObject* header_map_type();
PyObject* h2_codec_type();
PyObject* h2_frame_headers_type();
PyObject* h2_frame_data_type();
PyObject* h2_frame_settings_type();
PyObject* h2_frame_window_update_type();
PyObject* h2_frame_ping_type();
PyObject* h2_frame_go_away_type();
PyObject* h2_frame_rst_stream_type();
PyObject* h2_frame_priority_type();
PyObject* h2_frame_stream_error_type();
PyObject* stream_state_type();
PyObject* flow_control_type();
PyObject* h1_codec_type();
PyObject* h1_response_head_type();
PyObject* h1_request_head_type();
PyObject* body_decoder_type();
PyObject* proxy_matcher_type();
PyObject* proxy_intercept_type();

}  // namespace vintrel::py

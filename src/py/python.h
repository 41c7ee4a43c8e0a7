// The interpreter's C API as every file of this layer includes it: sizes
// of `#` formats are Py_ssize_t.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

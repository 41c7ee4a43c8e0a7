#include "src/py/objects.h"

#include <string>

namespace vintrel::py {

// What a locked callable may return: core values, never an object pointer.
static_assert(kIsPythonObject<PyObject*> && kIsPythonObject<PyObject* const&>);
static_assert(!kIsPythonObject<int> && !kIsPythonObject<std::string> && !kIsPythonObject<const char*>);

PyObject* make_type(PyType_Spec* spec) { return PyType_FromSpec(spec); }

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
  return nullptr;
}

}  // namespace vintrel::py

// The extension module: multi-phase initialisation, no module state, and a
// registration step that adds each class in a fixed order to `__all__`.

#include "errors.hpp"
#include "registry.hpp"

namespace brindle::py {
namespace {

int add_to_all(PyObject* module, const char* name) {
  PyObject* all = nullptr;
  if (PyObject_GetOptionalAttrString(module, "__all__", &all) < 0) return -1;
  if (all == nullptr) {
    all = PyList_New(0);
    if (all == nullptr) return -1;
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return -1;
    }
  }
  OwnedRef all_ref(all);
  OwnedRef str(PyUnicode_FromString(name));
  if (!str) return -1;
  return PyList_Append(all_ref.get(), str.get());
}

int brindle_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "brindle: module exec slot was not given a module");
    return -1;
  }
  for (const ClassEntry& entry : registered_classes()) {
    PyTypeObject* type = entry.type();
    if (type == nullptr) return -1;
    if (!entry.exported) continue;
    if (PyModule_AddObjectRef(module, entry.name, reinterpret_cast<PyObject*>(type)) < 0) return -1;
    if (add_to_all(module, entry.name) < 0) return -1;
  }
  // Reachable by name so that it can be caught, but not exported by `*`.
  PyObject* panic = panic_exception_type();
  if (panic == nullptr || PyModule_AddObjectRef(module, "PanicException", panic) < 0) return -1;
  // A module with no classes yet still has an (empty) __all__.
  if (!PyObject_HasAttrStringWithError(module, "__all__")) {
    OwnedRef all(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(brindle_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "brindle", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace brindle::py

PyMODINIT_FUNC PyInit_brindle() { return PyModuleDef_Init(&brindle::py::module_def); }

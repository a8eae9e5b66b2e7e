#include "traceback.hpp"

// PyFrame_New and the frame structure (f_lineno) are not part of Python.h.
#include <frameobject.h>

#include <map>
#include <utility>

#include "names.hpp"

namespace korvalinden {
namespace {

const Interned kSourceFile{"src\\korvalinden\\korvalinden.py"};

// Entry code objects by (function name, line): an exception that climbs a deep
// recursion of the filter would otherwise build the same object at every level.
std::map<std::pair<PyObject*, int>, ProcessRef> entry_codes;

Ref entry_code(PyObject* function_name, int line) {
  ProcessRef& cached = entry_codes[{function_name, line}];
  if (!cached) {
    Ref no_names = checked(PyTuple_New(0));
    cached.set(make_code(function_name, line, 0, no_names.get()));
  }
  return Ref::borrow(cached.get());
}

}  // namespace

PyObject* source_file_name() noexcept { return kSourceFile.get(); }

Ref make_code(PyObject* name, int first_line, int argument_count, PyObject* local_names) {
  Ref no_bytes = checked(PyBytes_FromStringAndSize(nullptr, 0));
  Ref no_objects = checked(PyTuple_New(0));
  int local_count = static_cast<int>(PyTuple_GET_SIZE(local_names));
  return checked(reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
      argument_count, 0, 0, local_count, 0, CO_OPTIMIZED | CO_NEWLOCALS, no_bytes.get(), no_objects.get(),
      no_objects.get(), local_names, no_objects.get(), no_objects.get(), kSourceFile.get(), name, first_line,
      no_bytes.get())));
}

void add_traceback_entry(PyObject* function_name, int line) noexcept {
  PyObject* globals = module_dict();
  if (globals == nullptr) return;
  Ref frame;
  {
    PendingException set_aside;  // no C-API call may run with an exception pending
    try {
      Ref code = entry_code(function_name, line);
      frame = checked(reinterpret_cast<PyObject*>(
          PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
      reinterpret_cast<PyFrameObject*>(frame.get())->f_lineno = line;
    } catch (const PythonError&) {
      PyErr_Clear();  // the original exception goes on without this entry
    } catch (...) {
    }
  }
  if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

HandledException::HandledException(const Frame& frame) noexcept {
  frame.add_traceback_entry();
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  PyObject *outer_type, *outer_value, *outer_traceback;
  PyErr_GetExcInfo(&outer_type, &outer_value, &outer_traceback);
  outer_type_ = Ref::steal(outer_type);
  outer_value_ = Ref::steal(outer_value);
  outer_traceback_ = Ref::steal(outer_traceback);
  PyErr_SetExcInfo(type, value, traceback);
}

HandledException::~HandledException() {
  PyErr_SetExcInfo(outer_type_.release(), outer_value_.release(), outer_traceback_.release());
}

void absorb_exception(const Frame& frame) {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_python_error();
  HandledException handled(frame);
}

}  // namespace korvalinden

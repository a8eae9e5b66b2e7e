#include "text.hpp"

#include "names.hpp"

namespace korvalinden {
namespace {

Interned kSplit{"split"};
Interned kStrip{"strip"};

// str.strip() without arguments, for an exact str.
Ref strip_whitespace(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
  throw_if_failed(PyUnicode_READY(text));  // from 3.12 every str is ready
#endif
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  Py_ssize_t start = 0, end = length;
  while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
  while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
  if (start == 0 && end == length) return Ref::borrow(text);
  return owned_or_throw(PyUnicode_Substring(text, start, end));
}

}  // namespace

Ref split_and_strip(PyObject* text, PyObject* separator) {
  if (PyUnicode_CheckExact(text) && PyUnicode_CheckExact(separator)) {
    Ref items = owned_or_throw(PyUnicode_Split(text, separator, -1));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
      Ref stripped = strip_whitespace(PyList_GET_ITEM(items.get(), i));
      throw_if_failed(PyList_SetItem(items.get(), i, stripped.release()));
    }
    return items;
  }
  Ref pieces = call_method(text, kSplit, {separator});
  Ref items = owned_or_throw(PyList_New(0));
  Ref iterator = owned_or_throw(PyObject_GetIter(pieces.get()));
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    throw_if_failed(PyList_Append(items.get(), call_method(item.get(), kStrip).get()));
  }
  if (PyErr_Occurred()) throw_python_error();
  return items;
}

}  // namespace korvalinden

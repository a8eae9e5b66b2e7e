// The exact floor of filter_results, for bench_filter.py: the module's steps
// with the same lookups, allocations and prefetching, and nothing else: no
// line markers, no recursion or exception bookkeeping, no dict kept from the
// collector, the recursion a plain C call. It gives the module's results for
// the benchmark's replies (exact lists and dicts, exact str keys), which the
// benchmark checks; it is no filter for other callers.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>

namespace {

PyObject* marker;  // "FILTER_NOT_FOUND"

PyObject* filter(PyObject* results, PyObject* filters);

// step.split("&") with each piece stripped, as the module does it.
PyObject* split_and_strip(PyObject* step) {
  PyObject* separator = PyUnicode_FromString("&");
  PyObject* keys = separator ? PyUnicode_Split(step, separator, -1) : nullptr;
  Py_XDECREF(separator);
  for (Py_ssize_t i = 0; keys && i < PyList_GET_SIZE(keys); ++i) {
    PyObject* text = PyList_GET_ITEM(keys, i);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t start = 0, end = PyUnicode_GET_LENGTH(text);
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    if (start == 0 && end == PyUnicode_GET_LENGTH(text)) continue;
    PyObject* key = PyUnicode_Substring(text, start, end);
    if (key == nullptr) Py_CLEAR(keys);
    else PyList_SetItem(keys, i, key);
  }
  return keys;
}

// source[key], new; null and no error set for a miss.
PyObject* member(PyObject* source, PyObject* key) {
  if (PyDict_CheckExact(source)) return Py_XNewRef(PyDict_GetItemWithError(source, key));
  PyObject* value = PyObject_GetItem(source, key);
  if (value == nullptr && PyErr_ExceptionMatches(PyExc_KeyError)) PyErr_Clear();
  return value;
}

bool copy_member(PyObject* target, PyObject* source, PyObject* key) {
  PyObject* value = member(source, key);
  if (value == nullptr && PyErr_Occurred()) return false;
  const int status = PyDict_SetItem(target, key, value ? value : marker);
  Py_XDECREF(value);
  return status == 0;
}

PyObject* new_dict() {  // without setting off a collection, as the module makes it
#if PY_VERSION_HEX < 0x030C0000
  const int enabled = PyGC_Disable();
  PyObject* dict = PyDict_New();
  if (enabled) PyGC_Enable();
  return dict;
#else
  return PyDict_New();
#endif
}

// The module's prefetching: the record three distances ahead, its key table
// two ahead, the step's values one ahead, at the positions of the first record.
struct Prefetcher {
  static constexpr Py_ssize_t kDistance = 16, kMaxKeys = 8;
  PyObject* list;
  Py_ssize_t count = 0, positions[kMaxKeys];

  Prefetcher(PyObject* records, PyObject* keys) : list(records) {
    if (PyList_GET_SIZE(keys) < 2 || PyList_GET_SIZE(records) == 0) return;
    PyObject* first = PyList_GET_ITEM(records, 0);
    if (!PyDict_CheckExact(first)) return;
    count = std::min(PyList_GET_SIZE(keys), kMaxKeys);
    for (Py_ssize_t i = 0; i < count; ++i) {
      positions[i] = -1;
      Py_ssize_t position = 0, before = 0;
      PyObject *key, *value;
      while (PyDict_Next(first, &position, &key, &value)) {
        if (PyUnicode_CheckExact(key) && PyUnicode_Compare(key, PyList_GET_ITEM(keys, i)) == 0) {
          positions[i] = before;
          break;
        }
        before = position;
      }
    }
  }

  void ahead(Py_ssize_t index) const {
    const Py_ssize_t size = PyList_GET_SIZE(list);
    if (index + 3 * kDistance < size) __builtin_prefetch(PyList_GET_ITEM(list, index + 3 * kDistance));
    if (index + 2 * kDistance < size) {
      PyObject* record = PyList_GET_ITEM(list, index + 2 * kDistance);
      if (PyDict_CheckExact(record)) {
        const char* table = reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(record)->ma_keys);
        for (int line = 0; line < 3; ++line) __builtin_prefetch(table + 64 * line);
      }
    }
    if (count == 0 || index + kDistance >= size) return;
    PyObject* record = PyList_GET_ITEM(list, index + kDistance);
    if (!PyDict_CheckExact(record)) return;
    for (Py_ssize_t i = 0; i < count; ++i) {
      Py_ssize_t position = positions[i];
      PyObject *key, *value;
      if (position >= 0 && PyDict_Next(record, &position, &key, &value)) __builtin_prefetch(value);
    }
  }
};

PyObject* filter_list(PyObject* records, PyObject* keys, PyObject* rest) {
  const Py_ssize_t size = PyList_GET_SIZE(records);
  PyObject* out = PyList_New(size);
  if (out == nullptr) return nullptr;
  PyObject_GC_UnTrack(out);
  const Prefetcher prefetcher(records, keys);
  for (Py_ssize_t i = 0; i < size; ++i) {
    prefetcher.ahead(i);
    PyObject* record = PyList_GET_ITEM(records, i);
    PyObject* item = nullptr;
    if (PyList_GET_SIZE(keys) > 1) {
      item = new_dict();
      for (Py_ssize_t k = 0; item && k < PyList_GET_SIZE(keys); ++k) {
        if (!copy_member(item, record, PyList_GET_ITEM(keys, k))) Py_CLEAR(item);
      }
    } else if ((item = member(record, PyList_GET_ITEM(keys, 0))) == nullptr && !PyErr_Occurred()) {
      PyErr_SetObject(PyExc_KeyError, PyList_GET_ITEM(keys, 0));
    }
    if (item == nullptr) return Py_DECREF(out), nullptr;
    PyList_SET_ITEM(out, i, item);
  }
  PyObject_GC_Track(out);
  PyObject* result = filter(out, rest);
  Py_DECREF(out);
  return result;
}

PyObject* filter_dict(PyObject* record, PyObject* step, PyObject* keys, PyObject* rest) {
  PyObject* out = PyDict_New();
  const bool single = PyList_GET_SIZE(keys) == 1;
  for (Py_ssize_t k = 0; out && k < PyList_GET_SIZE(keys); ++k) {
    if (!copy_member(out, record, single ? step : PyList_GET_ITEM(keys, k))) Py_CLEAR(out);
  }
  if (out == nullptr) return nullptr;
  PyObject* result = filter(single ? PyDict_GetItemWithError(out, step) : out, rest);
  Py_DECREF(out);
  return result;
}

PyObject* filter(PyObject* results, PyObject* filters) {
  if (PyList_GET_SIZE(filters) == 0) return Py_NewRef(results);
  PyObject* step = PyList_GET_ITEM(filters, 0);
  PyObject* rest = PyList_GetSlice(filters, 1, PY_SSIZE_T_MAX);
  PyObject* keys = rest ? split_and_strip(step) : nullptr;
  PyObject* result = nullptr;
  if (keys == nullptr) result = nullptr;
  else if (PyList_Check(results)) result = filter_list(results, keys, rest);
  else if (PyDict_Check(results)) result = filter_dict(results, step, keys, rest);
  else result = Py_NewRef(Py_None);
  Py_XDECREF(keys);
  Py_XDECREF(rest);
  return result;
}

PyObject* filter_results(PyObject*, PyObject* const* args, Py_ssize_t count) {
  if (count != 2 || !PyList_CheckExact(args[1])) {
    PyErr_SetString(PyExc_TypeError, "filter_results(results, filters: list)");
    return nullptr;
  }
  return filter(args[0], args[1]);
}

PyMethodDef methods[] = {
    {"filter_results", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(filter_results)), METH_FASTCALL,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "korvalinden_floor", nullptr, -1, methods, nullptr, nullptr, nullptr,
                      nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_korvalinden_floor() {
  marker = PyUnicode_InternFromString("FILTER_NOT_FOUND");
  return marker ? PyModule_Create(&module) : nullptr;
}

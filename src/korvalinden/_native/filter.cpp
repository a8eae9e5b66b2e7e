// filter_results: reduces a decoded reply by a filter path, one step per call.
//
// A step names one key or several joined by "&". On a list the step maps every
// element; on a dict it selects members. Missing members of compound steps (and
// of a single step on a dict) become the marker "FILTER_NOT_FOUND"; that miss
// is tested, not thrown, because replies with sparse records make it common.
#include <optional>

#include "function.hpp"
#include "names.hpp"
#include "text.hpp"

namespace korvalinden {
namespace {

constexpr const char* kLocalNames[] = {"results",       "filters",     "current_filter", "remaining_filters",
                                       "split_filters", "new_results", "result",         "new_dict",
                                       "filter",        "item"};

const Interned kFilterResults{"filter_results"};
const Interned kKeySeparator{"&"};
const Interned kNotFound{"FILTER_NOT_FOUND"};

// filters[1:]
const Constant kFromSecond{[] {
  Ref one = checked(PyLong_FromLong(1));
  return checked(PySlice_New(one.get(), nullptr, nullptr));
}};

PyObject* key_error() { return bound_builtins().key_error.get(); }

// filters[0]
Ref first_step(PyObject* filters) {
  if (PyList_CheckExact(filters)) return Ref::borrow(PyList_GET_ITEM(filters, 0));
  if (PyTuple_CheckExact(filters)) return Ref::borrow(PyTuple_GET_ITEM(filters, 0));
  Ref zero = checked(PyLong_FromLong(0));
  return checked(PyObject_GetItem(filters, zero.get()));
}

// filters[1:], through the mapping protocol as a slice always is.
Ref remaining_steps(PyObject* filters) {
  if (PyList_CheckExact(filters)) return checked(PyList_GetSlice(filters, 1, PY_SSIZE_T_MAX));
  if (PyTuple_CheckExact(filters)) return checked(PyTuple_GetSlice(filters, 1, PY_SSIZE_T_MAX));
  PyMappingMethods* mapping = Py_TYPE(filters)->tp_as_mapping;
  if (mapping == nullptr || mapping->mp_subscript == nullptr) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(filters)->tp_name);
    throw_python_error();
  }
  return checked(mapping->mp_subscript(filters, kFromSecond));
}

// How many records ahead an exact list is prefetched while it is walked.
constexpr Py_ssize_t kPrefetchDistance = 16;

// Calls `visit(element)` for each element of `results` (a list or subclass),
// with the host's iteration protocol; an exact list is walked by index, which
// is what its iterator does.
template <class Visit>
void for_each_element(PyObject* results, Visit visit) {
  if (PyList_CheckExact(results)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(results); ++i) {
      // The records of a decoded reply lie apart in the heap, with their strings
      // between them, so the hardware cannot guess the next one; asking for the
      // record a few places ahead hides most of the wait for its first lookup.
      // A prefetch never faults, and the pointer is read within the current size.
      if (i + kPrefetchDistance < PyList_GET_SIZE(results)) {
        __builtin_prefetch(PyList_GET_ITEM(results, i + kPrefetchDistance));
      }
      Ref element = Ref::borrow(PyList_GET_ITEM(results, i));  // held: a lookup may run code that shrinks the list
      visit(element.get());
    }
    return;
  }
  Ref iterator = checked(PyObject_GetIter(results));
  while (Ref element = Ref::steal(PyIter_Next(iterator.get()))) visit(element.get());
  if (PyErr_Occurred()) throw_python_error();
}

enum class Member { stored, missing, key_error_raised };

// `target[key] = source[key]`, the one statement of a `try` whose `except
// KeyError` stores the marker: a KeyError from anywhere in it (the lookup, a
// key's comparison or hash, the store) is a miss, and is left pending for the
// except clause. A plain dict that lacks the key raises nothing at all, so the
// common miss costs no exception.
Member store_member(PyObject* target, PyObject* source, PyObject* key) {
  Ref value;
  if (PyDict_CheckExact(source)) {
    value = Ref::borrow(PyDict_GetItemWithError(source, key));
    if (!value && !PyErr_Occurred()) return Member::missing;
  } else {
    value = Ref::steal(PyObject_GetItem(source, key));
  }
  if (value && PyDict_SetItem(target, key, value.get()) == 0) return Member::stored;
  if (PyErr_ExceptionMatches(key_error())) return Member::key_error_raised;
  throw_python_error();
}

// try: target[key] = source[key]
// except KeyError: target[key] = "FILTER_NOT_FOUND"
void copy_member_or_marker(Frame& frame, PyObject* target, PyObject* source, PyObject* key, int lookup_line,
                           int marker_line) {
  frame.at(lookup_line);
  const Member member = store_member(target, source, key);
  if (member == Member::stored) return;
  // A raised KeyError is the exception being handled while the marker is
  // stored, so an error there takes it as its context.
  std::optional<HandledException> caught;
  if (member == Member::key_error_raised) caught.emplace(frame);
  frame.at(marker_line);
  check(PyDict_SetItem(target, key, kNotFound));
}

Ref call_filter_results(PyObject* results, PyObject* filters) {
  Ref filter_results = lookup_global(kFilterResults);
  return call(filter_results.get(), {results, filters});
}

Ref filter_list(Frame& frame, PyObject* results, PyObject* keys, PyObject* remaining_filters) {
  frame.at(37);
  Ref new_results = checked(PyList_New(0));
  frame.at(38);
  const Py_ssize_t key_count = PyList_GET_SIZE(keys);  // our own list: nothing else can change it
  if (key_count > 1) {
    frame.at(39);
    for_each_element(results, [&](PyObject* result) {
      frame.at(40);
      Ref new_dict = checked(PyDict_New());
      for (Py_ssize_t i = 0; i < key_count; ++i) {
        copy_member_or_marker(frame, new_dict.get(), result, PyList_GET_ITEM(keys, i), 43, 45);
      }
      frame.at(46);
      check(PyList_Append(new_results.get(), new_dict.get()));
      frame.at(39);
    });
    frame.at(47);
  } else {
    frame.at(49);
    for_each_element(results, [&](PyObject* result) {
      frame.at(50);
      // The key is taken per element, as split_filters[0]: a step that is no
      // string may split into nothing, and then has no key to take.
      if (key_count == 0) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        throw_python_error();
      }
      check(PyList_Append(new_results.get(), get_item(result, PyList_GET_ITEM(keys, 0)).get()));
      frame.at(49);
    });
    frame.at(51);
  }
  return call_filter_results(new_results.get(), remaining_filters);
}

Ref filter_dict(Frame& frame, PyObject* results, PyObject* current_filter, PyObject* keys,
                PyObject* remaining_filters) {
  frame.at(53);
  Ref new_results = checked(PyDict_New());
  frame.at(54);
  const Py_ssize_t key_count = PyList_GET_SIZE(keys);
  if (key_count > 1) {
    for (Py_ssize_t i = 0; i < key_count; ++i) {
      copy_member_or_marker(frame, new_results.get(), results, PyList_GET_ITEM(keys, i), 57, 59);
    }
    frame.at(60);
    return call_filter_results(new_results.get(), remaining_filters);
  }
  // A single step on a dict looks up the step as written, blanks included,
  // and descends into the member.
  copy_member_or_marker(frame, new_results.get(), results, current_filter, 63, 65);
  frame.at(66);
  Ref member = get_item(new_results.get(), current_filter);
  return call_filter_results(member.get(), remaining_filters);
}

Ref filter_results(Frame& frame, PyObject* const* arguments) {
  PyObject* results = arguments[0];
  PyObject* filters = arguments[1];

  frame.at(32);
  const Py_ssize_t length = PyObject_Length(filters);
  if (length < 0) throw_python_error();
  if (length < 1) return Ref::borrow(results);

  frame.at(33);
  Ref current_filter = first_step(filters);
  frame.at(34);
  Ref remaining_filters = remaining_steps(filters);
  frame.at(35);
  Ref split_filters = split_and_strip(current_filter.get(), kKeySeparator);

  if (PyList_Check(results)) return filter_list(frame, results, split_filters.get(), remaining_filters.get());
  if (PyDict_Check(results)) {
    return filter_dict(frame, results, current_filter.get(), split_filters.get(), remaining_filters.get());
  }
  return none();
}

}  // namespace

const FunctionDefinition filter_results_function{"filter_results", 31, 2, kLocalNames, filter_results};

}  // namespace korvalinden

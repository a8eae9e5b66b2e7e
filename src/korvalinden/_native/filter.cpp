// filter_results: reduces a decoded reply by a filter path, one step per call.
//
// A step names one key or several joined by "&". On a list the step maps every
// element; on a dict it selects members. Missing members of compound steps (and
// of a single step on a dict) become the marker "FILTER_NOT_FOUND"; that miss
// is tested, not thrown, because replies with sparse records make it common.
#include "py.hpp"

#include <algorithm>
#include <array>

#include "function.hpp"
#include "interpreter_state.hpp"
#include "names.hpp"
#include "text.hpp"

namespace korvalinden {
namespace {

constexpr const char* kLocalNames[] = {"results",       "filters",     "current_filter", "remaining_filters",
                                       "split_filters", "new_results", "result",         "new_dict",
                                       "filter",        "item"};

Interned kKeySeparator{"&"};
Interned kNotFound{"FILTER_NOT_FOUND"};

// filters[1:]
Constant kFromSecond{[] {
  Ref one = owned_or_throw(PyLong_FromLong(1));
  return owned_or_throw(PySlice_New(one.get(), nullptr, nullptr));
}};

PyObject* key_error() { return process_state.builtins.key_error.get(); }

// The source lines of the statements, which a traceback entry names.
namespace lines {
constexpr int first = 31;
constexpr int filter_count = 32;     // len(filters)
constexpr int first_step = 33;       // filters[0]
constexpr int remaining_steps = 34;  // filters[1:]
constexpr int split_step = 35;       // the step split at "&", each piece stripped
// results is a list. Line 38 counts the keys: the length of a list, which
// cannot fail.
constexpr int new_list = 37;
// A compound step: a loop whose header (line 39) also fetches each next
// element, so the marker goes back to it at the end of every pass.
constexpr int each_element = 39;
constexpr int new_element_dict = 40;
constexpr int append_element_dict = 46;
constexpr int recurse_after_compound = 47;  // looks up filter_results and calls it
// A single step: the same loop shape over lines 49 and 50.
constexpr int each_element_single = 49;
constexpr int element_value = 50;  // the key, the element's value for it, the append
constexpr int recurse_after_single = 51;
// results is a dict. Line 54 counts the keys, as line 38 does.
constexpr int new_dict = 53;
constexpr int recurse_after_members = 60;
constexpr int descend = 66;  // reads the stored member back, and recurses on it
}  // namespace lines

// The two statements of `try: target[key] = source[key]` and of its
// `except KeyError: target[key] = "FILTER_NOT_FOUND"` (the `except` line
// between them, fetching the KeyError, cannot fail).
struct MemberLines {
  int lookup;
  int marker;
};
constexpr MemberLines kElementMember{43, 45};  // compound step on a list, per element and key
constexpr MemberLines kDictMember{57, 59};     // compound step on a dict, per key
constexpr MemberLines kSingleMember{63, 65};   // single step on a dict: the step as written

[[noreturn]] void raise_index_error() {
  PyErr_SetString(PyExc_IndexError, "list index out of range");
  throw_python_error();
}

// filters[0]. Another thread may have emptied the list since it was counted.
Ref first_step(PyObject* filters) {
  if (PyList_CheckExact(filters)) {
    if (Ref step = list_item(filters, 0)) return step;
    raise_index_error();
  }
  if (PyTuple_CheckExact(filters)) return Ref::borrow(PyTuple_GET_ITEM(filters, 0));
  Ref zero = owned_or_throw(PyLong_FromLong(0));
  return owned_or_throw(PyObject_GetItem(filters, zero.get()));
}

// filters[1:], through the mapping protocol as a slice always is.
Ref remaining_steps(PyObject* filters) {
  if (PyList_CheckExact(filters)) return owned_or_throw(PyList_GetSlice(filters, 1, PY_SSIZE_T_MAX));
  if (PyTuple_CheckExact(filters)) return owned_or_throw(PyTuple_GetSlice(filters, 1, PY_SSIZE_T_MAX));
  PyMappingMethods* mapping = Py_TYPE(filters)->tp_as_mapping;
  if (mapping == nullptr || mapping->mp_subscript == nullptr) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(filters)->tp_name);
    throw_python_error();
  }
  return owned_or_throw(mapping->mp_subscript(filters, kFromSecond));
}

// source[key], by a lookup with the step's own key: what the subscription does,
// down to its comparisons. A lookup compares the key with each member of the
// same hash that it meets before its own, and that runs code of the caller's
// unless the member is an exact str. So no shorter way is taken: a value read
// where the first record holds the key, or a lookup with the first record's
// equal key object, would skip those comparisons or hand them another object.
// Both are exact only for a record whose keys are all exact str, and the public
// API tells that only by a walk over all of the record's keys, which costs more
// than the lookup (measured). An exact dict's miss comes back empty without an
// exception set: the common miss costs no exception.
Ref member_of(PyObject* source, PyObject* key) {
  if (PyDict_CheckExact(source)) return dict_item(source, key);
  [[maybe_unused]] PythonSubscriptCount subscript(source);
  return Ref::steal(PyObject_GetItem(source, key));
}

// The records of a decoded reply lie apart in the heap, so the hardware cannot
// guess where the walk goes next, and each lookup would wait for the record,
// then for its key table, then for the values it finds. So the walk asks ahead,
// in stages, each using what the stage before brought in: the record three
// distances ahead, its key table two ahead, and, for a step of several keys, one
// ahead the values of the step's keys. Those are found by position: PyDict_Next's
// cursor at the places the first record holds the keys; in a record of another
// shape it finds another member. A single key's values are left to the
// hardware, which keeps up with one stream of them: there the cursor costs more
// than it saves (measured).
// These are hints only: a prefetch never faults, nothing found here is used
// for the result, and PyDict_Next, the only function called, reads within the
// dict and runs no code of the caller's. Without the GIL the records could
// change or go while they are looked at, so a free-threaded build asks nothing
// ahead.
#ifdef Py_GIL_DISABLED
class RecordPrefetcher {
 public:
  RecordPrefetcher(PyObject*, PyObject*) noexcept {}
  void ahead(Py_ssize_t) const noexcept {}
};
#else
class RecordPrefetcher {
 public:
  RecordPrefetcher(PyObject* list, PyObject* keys) : list_(list) {
    positions_.fill(-1);
    if (PyList_GET_SIZE(keys) > 1 && PyList_GET_SIZE(list) > 0) learn_positions(PyList_GET_ITEM(list, 0), keys);
  }

  void ahead(Py_ssize_t index) {
    const Py_ssize_t size = PyList_GET_SIZE(list_);  // read each time: a lookup may have shrunk the list
    if (index + 3 * kDistance < size) __builtin_prefetch(PyList_GET_ITEM(list_, index + 3 * kDistance));
    if (index + 2 * kDistance < size) prefetch_key_table(PyList_GET_ITEM(list_, index + 2 * kDistance));
    if (position_count_ > 0 && index + kDistance < size) prefetch_values(PyList_GET_ITEM(list_, index + kDistance));
  }

 private:
  // Where the first record holds each of the step's keys, as PyDict_Next
  // counts. Only exact str keys are compared, which runs no code of the caller's.
  void learn_positions(PyObject* first, PyObject* keys) {
    if (!PyDict_CheckExact(first)) return;
    position_count_ = std::min<Py_ssize_t>(PyList_GET_SIZE(keys), kMaxKeys);
    for (Py_ssize_t i = 0; i < position_count_; ++i) {
      PyObject* wanted = PyList_GET_ITEM(keys, i);
      if (!PyUnicode_CheckExact(wanted)) continue;
      Py_ssize_t position = 0, before = 0;
      PyObject *key, *value;  // borrowed
      while (PyDict_Next(first, &position, &key, &value)) {
        if (PyUnicode_CheckExact(key) && PyUnicode_Compare(key, wanted) == 0) {
          positions_[i] = before;
          break;
        }
        before = position;
      }
    }
  }

  static void prefetch_key_table(PyObject* record) {
    if (!PyDict_CheckExact(record)) return;
    const char* key_table = reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(record)->ma_keys);
    // The header, the index and the first entries of a small record's table.
    for (int line = 0; line < 3; ++line) __builtin_prefetch(key_table + 64 * line);
  }

  void prefetch_values(PyObject* record) const {
    if (!PyDict_CheckExact(record)) return;
    for (Py_ssize_t i = 0; i < position_count_; ++i) {
      Py_ssize_t position = positions_[i];
      PyObject *key, *value;  // borrowed
      if (position >= 0 && PyDict_Next(record, &position, &key, &value)) __builtin_prefetch(value);
    }
  }

  static constexpr Py_ssize_t kDistance = 16;  // records between the stages; measured, not derived
  static constexpr Py_ssize_t kMaxKeys = 8;
  PyObject* list_;  // borrowed from the caller
  Py_ssize_t position_count_ = 0;
  std::array<Py_ssize_t, kMaxKeys> positions_;
};
#endif

// The result of a step over a list: one item per element, appended in order.
// For an exact list the result is made as long as the list at the start and
// filled in place, which saves growing it step by step. Until it is full it
// holds empty slots, so it stays away from the collector, the only way code of
// the caller's could reach it (gc.get_objects, gc.get_referrers); while it is
// away, what it holds counts as referenced from outside, so nothing it holds is
// collected early.
class ResultList {
 public:
  explicit ResultList(PyObject* results)
      : list_(owned_or_throw(PyList_New(PyList_CheckExact(results) ? PyList_GET_SIZE(results) : 0))) {
    PyObject_GC_UnTrack(list_.get());
  }

  void append(Ref item) {
    if (count_ < PyList_GET_SIZE(list_.get())) {
      PyList_SET_ITEM(list_.get(), count_, item.release());
    } else {
      throw_if_failed(PyList_Append(list_.get(), item.get()));  // the walked list grew
    }
    ++count_;
  }

  // The finished list; shorter than made when a lookup shrank the walked list.
  Ref finish() {
    if (count_ < PyList_GET_SIZE(list_.get())) return owned_or_throw(PyList_GetSlice(list_.get(), 0, count_));
    PyObject_GC_Track(list_.get());
    return std::move(list_);
  }

 private:
  Ref list_;
  Py_ssize_t count_ = 0;
};

// Calls `visit(element)` for each element of `results` (a list or subclass),
// with the host's iteration protocol; an exact list is walked by index, which
// is what its iterator does. Each element is held while it is visited: a
// lookup may run code that shrinks the list.
template <class Visit>
void for_each_element(PyObject* results, PyObject* keys, Visit visit) {
  if (PyList_CheckExact(results)) {
    RecordPrefetcher prefetcher(results, keys);
    for (Py_ssize_t i = 0; Ref element = list_item(results, i); ++i) {
      prefetcher.ahead(i);
      visit(element.get());
    }
    return;
  }
  Ref iterator = owned_or_throw(PyObject_GetIter(results));
  while (Ref element = Ref::steal(PyIter_Next(iterator.get()))) visit(element.get());
  if (PyErr_Occurred()) throw_python_error();
}

// A new dict for one element of a walked list, made without setting off a
// collection.
//
// A compound step over a long list makes one dict per element, and each one
// counts towards the collector's next run. Left alone, the collector would run
// every few hundred elements and walk everything young, the growing result
// included; once the new dicts hold dicts (nested members are the common
// case), they survive into the oldest generation and set off full collections
// that cost far more than the step itself. So the collector runs once, after
// the step, when Python code next allocates. See allocate_without_collection
// for why holding it off is safe.
Ref new_dict_without_collection() {
  return allocate_without_collection([] { return PyDict_New(); });
}

// A dict that a step fills, `new_dict` or `new_results`, and hands on when it
// is full. Until then it stays away from the collector, the only way code of
// the caller's (which a lookup runs) could reach it, and it is filled by stores
// that run no such code for as long as every key is an exact str. So the module
// knows, without looking, that every key in it is an exact str; a store that
// may run code of the caller's ends that knowledge. While the dict is away,
// what it holds counts as referenced from outside, so nothing it holds is
// collected early; it is handed on tracked exactly when the host would have
// tracked it for what it holds.
class NewDict {
 public:
  // From 3.14 the host tracks every dict from its start.
  explicit NewDict(Ref dict) : dict_(std::move(dict)) { keep_from_collector(); }

  // dict[key] = value; the status of the store.
  int store(PyObject* key, PyObject* value) {
    if (add_without_caller_code(key, value)) return 0;
    exact_str_keys_ = false;  // the store may run code of the caller's, which could reach the dict
    const int status = PyDict_SetItem(dict_.get(), key, value);
    keep_from_collector(key, value);
    return status;
  }

  // Stores `value` under `key` where that runs no code of the caller's; false,
  // with nothing stored, where it could. Only a key's hash and comparisons, and
  // the release of a value that the store replaces, could run any; an exact str
  // among exact str runs none to be found or missed. So it runs none where the
  // key and every key stored are exact str and the key is not there yet, or
  // holds `value` already. One store, whatever the dict holds.
  bool add_without_caller_code(PyObject* key, PyObject* value) {
    if (!exact_str_keys_ || !PyUnicode_CheckExact(key)) return false;
    PyObject* there = PyDict_SetDefault(dict_.get(), key, value);  // borrowed
    keep_from_collector(key, value);
    if (there == nullptr) throw_python_error();
    return there == value;
  }

  // Whether storing under `key` now runs no code of the caller's, as above.
  bool store_runs_no_caller_code(PyObject* key) const {
    return exact_str_keys_ && PyUnicode_CheckExact(key) && PyDict_Contains(dict_.get(), key) == 0;
  }

  Ref finish() {
    if (tracked_) PyObject_GC_Track(dict_.get());
    return std::move(dict_);
  }

 private:
  void keep_from_collector() {
    if (!PyObject_GC_IsTracked(dict_.get())) return;
    tracked_ = true;
    PyObject_GC_UnTrack(dict_.get());
  }

  // A store starts tracking the dict only for a key or value of a type that
  // the collector can track.
  void keep_from_collector(PyObject* key, PyObject* value) {
    if (PyType_IS_GC(Py_TYPE(key)) || PyType_IS_GC(Py_TYPE(value))) keep_from_collector();
  }

  Ref dict_;
  bool exact_str_keys_ = true;
  bool tracked_ = false;
};

enum class Member { stored, missing, key_error_raised };

// `value`, what member_of found, stored as `target[key]`: the one statement of
// a `try` whose `except KeyError` stores the marker. A KeyError from anywhere in
// it (the lookup, a key's comparison or hash, the store) is a miss, and is left
// pending for the except clause.
Member store_member(NewDict& target, PyObject* key, Ref value) {
  if (!value && !PyErr_Occurred()) return Member::missing;
  if (value && target.store(key, value.get()) == 0) return Member::stored;
  if (PyErr_ExceptionMatches(key_error())) return Member::key_error_raised;
  throw_python_error();
}

// try: target[key] = source[key]
// except KeyError: target[key] = "FILTER_NOT_FOUND"
// The caller holds `source` and `key`: the lookup may run code of the caller's.
void copy_member_or_marker(LineMarker& line, NewDict& target, PyObject* source, PyObject* key,
                           MemberLines member_lines) {
  line.at(member_lines.lookup);
  const Member member = store_member(target, key, member_of(source, key));
  if (member == Member::stored) return;
  auto store_marker = [&] {
    line.at(member_lines.marker);
    throw_if_failed(target.store(key, kNotFound));
  };
  // The KeyError is handled while the marker is stored. Only where that can
  // run code of the caller's does it need to exist and be the exception being
  // handled: that code sees it, and an error there takes it as its context.
  if (member == Member::missing) {
    line.at(member_lines.marker);
    if (target.add_without_caller_code(key, kNotFound)) return;
    line.at(member_lines.lookup);
    set_key_error(key);  // the miss, as the subscription raises it
    if (!PyErr_ExceptionMatches(key_error())) throw_python_error();
  } else if (target.store_runs_no_caller_code(key)) {
    return handle_without_caller_code(line, store_marker);
  }
  HandledException caught(line);
  store_marker();
}

// The step's key list, split_filters, is reachable by code of the caller's that
// a lookup runs (gc.get_referrers of a key finds it), which may change it. So
// it is read as Python reads it: `for key in split_filters` takes its length at
// every pass and holds each key while it is used (list_item), and
// split_filters[0] is taken afresh for every element.

// result[split_filters[0]]: a miss raises KeyError. The list may be empty: a
// step that is no string may split into nothing, and a lookup may have emptied it.
Ref element_value(PyObject* result, PyObject* keys) {
  Ref key = list_item(keys, 0);
  if (!key) raise_index_error();
  return found_or_key_error(member_of(result, key.get()), key.get());
}

Ref call_filter_results(PyObject* results, PyObject* filters) {
  Ref filter_results = lookup_global(kFilterResults);
  return call(filter_results.get(), {results, filters});
}

Ref filter_list(LineMarker& line, PyObject* results, PyObject* keys, PyObject* remaining_filters) {
  line.at(lines::new_list);
  ResultList new_results(results);
  if (PyList_GET_SIZE(keys) > 1) {
    line.at(lines::each_element);
    for_each_element(results, keys, [&](PyObject* result) {
      line.at(lines::new_element_dict);
      NewDict new_dict(new_dict_without_collection());
      for (Py_ssize_t i = 0; Ref key = list_item(keys, i); ++i) {
        copy_member_or_marker(line, new_dict, result, key.get(), kElementMember);
      }
      line.at(lines::append_element_dict);
      new_results.append(new_dict.finish());
      line.at(lines::each_element);
    });
    line.at(lines::recurse_after_compound);
  } else {
    line.at(lines::each_element_single);
    for_each_element(results, keys, [&](PyObject* result) {
      line.at(lines::element_value);
      new_results.append(element_value(result, keys));
      line.at(lines::each_element_single);
    });
    line.at(lines::recurse_after_single);
  }
  return call_filter_results(new_results.finish().get(), remaining_filters);
}

Ref filter_dict(LineMarker& line, PyObject* results, PyObject* current_filter, PyObject* keys,
                PyObject* remaining_filters) {
  line.at(lines::new_dict);
  NewDict new_results(owned_or_throw(PyDict_New()));
  if (PyList_GET_SIZE(keys) > 1) {
    for (Py_ssize_t i = 0; Ref key = list_item(keys, i); ++i) {
      copy_member_or_marker(line, new_results, results, key.get(), kDictMember);
    }
    line.at(lines::recurse_after_members);
    return call_filter_results(new_results.finish().get(), remaining_filters);
  }
  // A single step on a dict looks up the step as written, blanks included,
  // and descends into the member.
  copy_member_or_marker(line, new_results, results, current_filter, kSingleMember);
  line.at(lines::descend);
  Ref full = new_results.finish();
  Ref member = get_item(full.get(), current_filter);
  return call_filter_results(member.get(), remaining_filters);
}

Ref filter_results(LineMarker& line, PyObject* results, PyObject* filters) {
  line.at(lines::filter_count);
  const Py_ssize_t length = PyObject_Length(filters);
  if (length < 0) throw_python_error();
  if (length < 1) return Ref::borrow(results);

  line.at(lines::first_step);
  Ref current_filter = first_step(filters);
  line.at(lines::remaining_steps);
  Ref remaining_filters = remaining_steps(filters);
  line.at(lines::split_step);
  Ref split_filters = [&] {
    [[maybe_unused]] BuiltinCallCount split_call;
    return split_and_strip(current_filter.get(), kKeySeparator);
  }();

  if (PyList_Check(results)) return filter_list(line, results, split_filters.get(), remaining_filters.get());
  if (PyDict_Check(results)) {
    return filter_dict(line, results, current_filter.get(), split_filters.get(), remaining_filters.get());
  }
  return none();
}

}  // namespace

const FunctionDefinition filter_results_function =
    define_function<filter_results>("filter_results", lines::first, kLocalNames);

}  // namespace korvalinden

// filter_results: reduces a decoded reply by a filter path, one step per call.
//
// A step names one key or several joined by "&". On a list the step maps every
// element; on a dict it selects members. Missing members of compound steps (and
// of a single step on a dict) become the marker "FILTER_NOT_FOUND"; that miss
// is tested, not thrown, because replies with sparse records make it common.
#include "py.hpp"

#include <algorithm>
#include <array>
#include <optional>

#include "function.hpp"
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
// results is a list. Line 38 counts the keys: the length of the module's own
// list, which cannot fail.
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

// filters[0]
Ref first_step(PyObject* filters) {
  if (PyList_CheckExact(filters)) return Ref::borrow(PyList_GET_ITEM(filters, 0));
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

// source[key]: the value, or empty with an exception set, or empty without one
// where an exact dict lacks the key (the common miss, which costs no exception).
Ref member_of(PyObject* source, PyObject* key) {
  if (PyDict_CheckExact(source)) return Ref::borrow(PyDict_GetItemWithError(source, key));
  return Ref::steal(PyObject_GetItem(source, key));
}

// What the first record of a walked list tells about the rest, which in one
// reply share its shape: for each key of the step, the record's own key object
// equal to it, and where the record holds it as PyDict_Next counts. Only exact
// str keys are compared, which runs no code of the caller's.
//
// An element that holds that very key object at that place needs no lookup:
// PyDict_Next reads the entry there, and it is the entry `element[key]` finds,
// since a dict holds no two keys that compare equal (keys must compare
// consistently for a dict to work at all). This runs no code of the
// caller's, so the element need not be held for it. Any other exact dict is
// searched with the record's key object, which the dict finds by identity,
// without comparing the characters; an equal str finds exactly what the step's
// own key would. What is stored and reported stays the step's own key.
class RecordShape {
 public:
  RecordShape(PyObject* results, PyObject* keys) : keys_(keys) {
    positions_.fill(-1);
    if (!PyList_CheckExact(results) || PyList_GET_SIZE(results) == 0) return;
    PyObject* first = PyList_GET_ITEM(results, 0);
    if (!PyDict_CheckExact(first)) return;
    const Py_ssize_t key_count = std::min<Py_ssize_t>(PyList_GET_SIZE(keys), kMaxKeys);
    for (Py_ssize_t i = 0; i < key_count; ++i) learn(first, i);
  }

  Py_ssize_t key_count() const { return PyList_GET_SIZE(keys_); }

  // The entry of an exact dict at the place where the first record holds key
  // `index`, borrowed: whatever member stands there, or none (false).
  bool entry_in_place(PyObject* element, Py_ssize_t index, PyObject** key, PyObject** value) const {
    if (index >= kMaxKeys || positions_[index] < 0 || !PyDict_CheckExact(element)) return false;
    Py_ssize_t position = positions_[index];
    return PyDict_Next(element, &position, key, value);
  }

  // The value of key `index` in `element` where the element is shaped like the
  // first record, borrowed; nullptr where it is not.
  PyObject* value_in_place(PyObject* element, Py_ssize_t index) const {
    PyObject *key, *value;  // borrowed
    if (!entry_in_place(element, index, &key, &value) || key != record_keys_[index].get()) return nullptr;
    return value;
  }

  // element[key] for key `index`, as member_of gives it. `element` must be held
  // if it is no dict shaped like the first record: a lookup may run code that
  // changes the list.
  Ref find(PyObject* element, Py_ssize_t index) const {
    if (PyObject* value = value_in_place(element, index)) return Ref::borrow(value);
    return look_up(element, index);
  }

  // element[key] for key `index` by a lookup, as find makes it.
  Ref look_up(PyObject* element, Py_ssize_t index) const {
    const bool learned = index < kMaxKeys && record_keys_[index] && PyDict_CheckExact(element);
    return member_of(element, learned ? record_keys_[index].get() : PyList_GET_ITEM(keys_, index));
  }

 private:
  static constexpr Py_ssize_t kMaxKeys = 8;

  void learn(PyObject* record, Py_ssize_t index) {
    PyObject* wanted = PyList_GET_ITEM(keys_, index);
    if (!PyUnicode_CheckExact(wanted)) return;
    Py_ssize_t position = 0, before = 0;
    PyObject *key, *value;  // borrowed
    while (PyDict_Next(record, &position, &key, &value)) {
      if (PyUnicode_CheckExact(key) && PyUnicode_Compare(key, wanted) == 0) {
        positions_[index] = before;
        // Held: a lookup may run code that changes the record, and the
        // identity test needs this object alive.
        record_keys_[index] = Ref::borrow(key);
        return;
      }
      before = position;
    }
  }

  PyObject* keys_;  // borrowed from the caller
  std::array<Py_ssize_t, kMaxKeys> positions_;
  std::array<Ref, kMaxKeys> record_keys_;
};

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
// dict and runs no code of the caller's.
class RecordPrefetcher {
 public:
  RecordPrefetcher(PyObject* list, const RecordShape& shape)
      : list_(list), shape_(shape), several_keys_(shape.key_count() > 1) {}

  void ahead(Py_ssize_t index) {
    const Py_ssize_t size = PyList_GET_SIZE(list_);  // read each time: a lookup may have shrunk the list
    if (index + 3 * kDistance < size) __builtin_prefetch(PyList_GET_ITEM(list_, index + 3 * kDistance));
    if (index + 2 * kDistance < size) prefetch_key_table(PyList_GET_ITEM(list_, index + 2 * kDistance));
    if (several_keys_ && index + kDistance < size) prefetch_values(PyList_GET_ITEM(list_, index + kDistance));
  }

 private:
  static void prefetch_key_table(PyObject* record) {
    if (!PyDict_CheckExact(record)) return;
    const char* key_table = reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(record)->ma_keys);
    // The header, the index and the first entries of a small record's table.
    for (int line = 0; line < 3; ++line) __builtin_prefetch(key_table + 64 * line);
  }

  void prefetch_values(PyObject* record) const {
    for (Py_ssize_t i = 0; i < shape_.key_count(); ++i) {
      PyObject *key, *value;  // borrowed
      if (shape_.entry_in_place(record, i, &key, &value)) __builtin_prefetch(value);
    }
  }

  static constexpr Py_ssize_t kDistance = 16;  // records between the stages; measured, not derived
  PyObject* list_;  // borrowed from the caller
  const RecordShape& shape_;
  bool several_keys_;
};

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
// is what its iterator does. An element of an exact list is borrowed from the
// list: `visit` holds it before anything that may run code of the caller's.
template <class Visit>
void for_each_element(PyObject* results, const RecordShape& shape, Visit visit) {
  if (PyList_CheckExact(results)) {
    RecordPrefetcher prefetcher(results, shape);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(results); ++i) {
      prefetcher.ahead(i);
      visit(PyList_GET_ITEM(results, i));
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

enum class Member { stored, missing, key_error_raised };

// The value `source[key]` found (see RecordShape::find), stored as
// `target[key]`: the one statement of a `try` whose `except KeyError` stores the
// marker. A KeyError from anywhere in it (the lookup, a key's comparison or
// hash, the store) is a miss, and is left pending for the except clause.
Member store_member(PyObject* target, PyObject* key, Ref value) {
  if (!value && !PyErr_Occurred()) return Member::missing;
  if (value && PyDict_SetItem(target, key, value.get()) == 0) return Member::stored;
  if (PyErr_ExceptionMatches(key_error())) return Member::key_error_raised;
  throw_python_error();
}

// try: target[key] = source[key]
// except KeyError: target[key] = "FILTER_NOT_FOUND"
// `find` makes the lookup, as RecordShape::find does.
template <class Find>
void copy_member_or_marker(LineMarker& line, PyObject* target, PyObject* key, MemberLines member_lines, Find find) {
  line.at(member_lines.lookup);
  const Member member = store_member(target, key, find());
  if (member == Member::stored) return;
  // A raised KeyError is the exception being handled while the marker is
  // stored, so an error there takes it as its context.
  std::optional<HandledException> caught;
  if (member == Member::key_error_raised) caught.emplace(line);
  line.at(member_lines.marker);
  throw_if_failed(PyDict_SetItem(target, key, kNotFound));
}

// result[key] for the one key of a single step: a miss raises KeyError.
Ref element_value(const RecordShape& shape, PyObject* result, PyObject* key) {
  if (PyObject* value = shape.value_in_place(result, 0)) return Ref::borrow(value);
  Ref held = Ref::borrow(result);  // a lookup may run code that shrinks the list
  return found_or_key_error(shape.look_up(result, 0), key);
}

Ref call_filter_results(PyObject* results, PyObject* filters) {
  Ref filter_results = lookup_global(kFilterResults);
  return call(filter_results.get(), {results, filters});
}

Ref filter_list(LineMarker& line, PyObject* results, PyObject* keys, PyObject* remaining_filters) {
  line.at(lines::new_list);
  ResultList new_results(results);
  const Py_ssize_t key_count = PyList_GET_SIZE(keys);  // the module's own list: nothing else can change it
  const RecordShape shape(results, keys);
  if (key_count > 1) {
    line.at(lines::each_element);
    for_each_element(results, shape, [&](PyObject* result) {
      Ref held = Ref::borrow(result);  // a lookup may run code that shrinks the list
      line.at(lines::new_element_dict);
      Ref new_dict = new_dict_without_collection();
      for (Py_ssize_t i = 0; i < key_count; ++i) {
        copy_member_or_marker(line, new_dict.get(), PyList_GET_ITEM(keys, i), kElementMember,
                              [&] { return shape.find(result, i); });
      }
      line.at(lines::append_element_dict);
      new_results.append(std::move(new_dict));
      line.at(lines::each_element);
    });
    line.at(lines::recurse_after_compound);
  } else {
    line.at(lines::each_element_single);
    for_each_element(results, shape, [&](PyObject* result) {
      line.at(lines::element_value);
      // The key is taken per element, as split_filters[0]: a step that is no
      // string may split into nothing, and then has no key to take.
      if (key_count == 0) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        throw_python_error();
      }
      new_results.append(element_value(shape, result, PyList_GET_ITEM(keys, 0)));
      line.at(lines::each_element_single);
    });
    line.at(lines::recurse_after_single);
  }
  return call_filter_results(new_results.finish().get(), remaining_filters);
}

Ref filter_dict(LineMarker& line, PyObject* results, PyObject* current_filter, PyObject* keys,
                PyObject* remaining_filters) {
  line.at(lines::new_dict);
  Ref new_results = owned_or_throw(PyDict_New());
  const Py_ssize_t key_count = PyList_GET_SIZE(keys);
  if (key_count > 1) {
    for (Py_ssize_t i = 0; i < key_count; ++i) {
      PyObject* key = PyList_GET_ITEM(keys, i);
      copy_member_or_marker(line, new_results.get(), key, kDictMember, [&] { return member_of(results, key); });
    }
    line.at(lines::recurse_after_members);
    return call_filter_results(new_results.get(), remaining_filters);
  }
  // A single step on a dict looks up the step as written, blanks included,
  // and descends into the member.
  copy_member_or_marker(line, new_results.get(), current_filter, kSingleMember,
                        [&] { return member_of(results, current_filter); });
  line.at(lines::descend);
  Ref member = get_item(new_results.get(), current_filter);
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
  Ref split_filters = split_and_strip(current_filter.get(), kKeySeparator);

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

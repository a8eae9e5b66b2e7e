// tarvenox_api: runs the API call that one configuration file describes.
//
// The options of section "tarvenox" become the form fields, after the session
// identifier. An option whose value reads "output(<file>)" makes a compound
// call: <file> is run first and this file's request is posted once per element
// of its result.
#include "config_file.hpp"
#include "controller.hpp"
#include "function.hpp"
#include "names.hpp"
#include "text.hpp"

namespace korvalinden {
namespace {

constexpr const char* kLocalNames[] = {
    "controller_ip",        "username",          "password",         "config_dir",      "config_file",
    "controller_api_url",   "config",            "CID",              "rdata",           "compound_boolean",
    "temp_filters",         "filters",           "option",           "compound_option", "compound_config_file",
    "compound_filepath",    "compound_results",  "compound_return",  "result",          "r",
    "compound_object",      "item"};

Interned kOptions{"options"};
Interned kFilters{"filters"};
Interned kFilterSeparator{","};
Interned kTarvenoxSection{"tarvenox"};
Interned kStartswith{"startswith"};
Interned kReferenceStart{"output("};
Interned kReferenceEnd{")"};
Interned kObject{"object"};
Interned kResults{"results"};

// "output(" is 7 characters: the referenced name starts after it.
constexpr Py_ssize_t kReferenceNameStart = 7;

// ---- output-reference chain -----------------------------------------------------

Interned kChainKey{"korvalinden.output_reference_chain"};
Interned kRealpath{"realpath"};
Interned kChainArrow{" -> "};
constexpr const char* kCycleMessage = "output reference cycle: ";

// The files whose compound calls are running further up this thread's stack,
// as (real path, path as given) pairs. Kept in the thread state, so threads
// never see each other's chain.
Ref chain_of_this_thread() {
  PyObject* thread_dict = PyThreadState_GetDict();  // borrowed
  if (thread_dict == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "no thread state");
    throw_python_error();
  }
  Ref chain = Ref::borrow(PyDict_GetItemWithError(thread_dict, kChainKey));
  if (chain) return chain;
  if (PyErr_Occurred()) throw_python_error();
  chain = owned_or_throw(PyList_New(0));
  throw_if_failed(PyDict_SetItem(thread_dict, kChainKey, chain.get()));
  return chain;
}

// The path to compare for cycles. A path that realpath cannot resolve (an
// open descriptor, an embedded NUL, an OS error) is compared as given: the
// check must never report a failure of its own in place of the one that
// running the file gives.
Ref comparable_path(PyObject* path) {
  // The interpreter's own os.path, not the module global: this check is ours.
  Ref os_path = owned_or_throw(PyImport_ImportModule("os.path"));
  try {
    return call_method(os_path.get(), kRealpath, {path});
  } catch (const PythonError&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    PyErr_Clear();
    return Ref::borrow(path);
  }
}

[[noreturn]] void raise_cycle(PyObject* chain, PyObject* config_file, PyObject* referenced) {
  Ref shown = owned_or_throw(PyList_New(0));
  auto show = [&](PyObject* path) {
    throw_if_failed(PyList_Append(shown.get(), owned_or_throw(PyObject_Str(path)).get()));
  };
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(chain); ++i) show(PyTuple_GET_ITEM(PyList_GET_ITEM(chain, i), 1));
  show(config_file);
  show(referenced);
  Ref joined = owned_or_throw(PyUnicode_Join(kChainArrow, shown.get()));
  PyErr_Format(PyExc_ValueError, "%s%U", kCycleMessage, joined.get());
  throw_python_error();
}

// Marks `config_file` as running its referenced file for the lifetime of the
// link. A reference back to a file already on the chain would recurse without
// end, logging in at every level, so it is refused up front.
class ChainLink {
 public:
  ChainLink(PyObject* config_file, PyObject* referenced) : chain_(chain_of_this_thread()) {
    Ref current = comparable_path(config_file);
    Ref target = comparable_path(referenced);
    if (same_path(current.get(), target.get())) raise_cycle(chain_.get(), config_file, referenced);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(chain_.get()); ++i) {
      PyObject* link = PyList_GET_ITEM(chain_.get(), i);
      if (same_path(PyTuple_GET_ITEM(link, 0), target.get())) raise_cycle(chain_.get(), config_file, referenced);
    }
    Ref link = owned_or_throw(PyTuple_Pack(2, current.get(), config_file));
    throw_if_failed(PyList_Append(chain_.get(), link.get()));
  }
  ~ChainLink() {
    PendingException set_aside;  // the link is also dropped while an error unwinds
    Py_ssize_t length = PyList_GET_SIZE(chain_.get());
    if (PyList_SetSlice(chain_.get(), length - 1, length, nullptr) < 0) PyErr_Clear();
  }
  ChainLink(const ChainLink&) = delete;
  ChainLink& operator=(const ChainLink&) = delete;

 private:
  static bool same_path(PyObject* left, PyObject* right) {
    int equal = PyObject_RichCompareBool(left, right, Py_EQ);
    throw_if_failed(equal);
    return equal != 0;
  }

  Ref chain_;
};

// ---- the call ---------------------------------------------------------------------

// The filter path of section "default", or an empty list when it cannot be read.
Ref read_filters(LineMarker& line, PyObject* config) {
  try {
    line.at(79);
    Ref temp_filters = call_method(config, kGet, {kDefaultSection, kFilters});
    line.at(80);
    return split_and_strip(temp_filters.get(), kFilterSeparator);
  } catch (const PythonError&) {
    absorb_exception(line);
  }
  line.at(82);
  return owned_or_throw(PyList_New(0));
}

// rdata[option].startswith("output(") and rdata[option].endswith(")")
bool is_output_reference(PyObject* rdata, PyObject* option) {
  if (!is_true(call_method(get_item(rdata, option).get(), kStartswith, {kReferenceStart}).get())) return false;
  return is_true(call_method(get_item(rdata, option).get(), kEndswith, {kReferenceEnd}).get());
}

// filter_results(r.json(), filters)
Ref filtered_reply(PyObject* r, PyObject* filters) {
  Ref filter_results = lookup_global(kFilterResults);
  Ref reply = call_method(r, kJson);
  return call(filter_results.get(), {reply.get(), filters});
}

// A text is a sequence of characters: iterating it would post once per
// character, which no configuration means (a typo in the referenced file's
// filters gives the marker text) and which does damage with an action that
// changes things.
void refuse_text(PyObject* compound_results, PyObject* compound_filepath) {
  if (!PyUnicode_Check(compound_results)) return;
  PyErr_Format(PyExc_ValueError, "output reference %S gave a text, not a list: %R", compound_filepath,
               compound_results);
  throw_python_error();
}

struct OutputReference {
  Ref option;    // compound_option
  Ref filepath;  // compound_filepath
};

// The options of section "tarvenox", each stored in rdata under its name; the
// last one that reads "output(<file>)" is the output reference.
OutputReference read_request_data(LineMarker& line, PyObject* config, PyObject* rdata, PyObject* config_dir) {
  OutputReference reference;
  line.at(83);
  Ref options = call_method(config, kOptions, {kTarvenoxSection});
  Ref iterator = owned_or_throw(PyObject_GetIter(options.get()));
  while (Ref option = Ref::steal(PyIter_Next(iterator.get()))) {
    line.at(84);
    Ref value = call_method(config, kGet, {kTarvenoxSection, option.get()});
    throw_if_failed(PyDict_SetItem(rdata, option.get(), value.get()));
    line.at(85);
    if (is_output_reference(rdata, option.get())) {
      line.at(87);
      reference.option = option.copy();
      line.at(88);
      const Py_ssize_t length = PyObject_Length(get_item(rdata, option.get()).get());
      if (length < 0) throw_python_error();
      Ref reference_text = get_item(rdata, option.get());
      Ref compound_config_file =
          owned_or_throw(PySequence_GetSlice(reference_text.get(), kReferenceNameStart, length - 1));
      line.at(89);
      Ref join = os_path_function(kJoin);
      reference.filepath = call(join.get(), {config_dir, compound_config_file.get()});
    }
    line.at(83);
  }
  if (PyErr_Occurred()) throw_python_error();
  return reference;
}

// One post per element of the referenced file's result, each with the
// reference's option set to the element.
Ref post_per_element(LineMarker& line, PyObject* compound_results, PyObject* url, PyObject* rdata,
                     PyObject* filters, const OutputReference& reference) {
  line.at(94);
  Ref compound_return = owned_or_throw(PyList_New(0));
  line.at(95);
  refuse_text(compound_results, reference.filepath.get());
  Ref iterator = owned_or_throw(PyObject_GetIter(compound_results));
  while (Ref result = Ref::steal(PyIter_Next(iterator.get()))) {
    line.at(96);
    throw_if_failed(PyDict_SetItem(rdata, reference.option.get(), result.get()));
    line.at(97);
    Ref r = post_form(url, rdata);
    line.at(103);
    Ref compound_object = new_dict({{kObject, result.get()}});
    line.at(104);
    Ref results = filtered_reply(r.get(), filters);
    line.at(103);
    throw_if_failed(PyDict_SetItem(compound_object.get(), kResults, results.get()));
    line.at(106);
    throw_if_failed(PyList_Append(compound_return.get(), compound_object.get()));
    line.at(95);
  }
  if (PyErr_Occurred()) throw_python_error();
  return compound_return;
}

Ref tarvenox_api(LineMarker& line, PyObject* controller_ip, PyObject* username, PyObject* password,
                 PyObject* config_dir, PyObject* config_file) {
  line.at(72);
  Ref url = controller_api_url(controller_ip);
  line.at(73);
  Ref config = new_config_parser();
  line.at(74);
  read_config_file(config.get(), config_file);
  line.at(75);
  Ref CID = call(lookup_global(kGetTarvenoxCid).get(), {controller_ip, username, password});
  line.at(76);
  Ref rdata = new_dict({{kCid, CID.get()}});

  Ref filters = read_filters(line, config.get());
  OutputReference reference = read_request_data(line, config.get(), rdata.get(), config_dir);

  if (!reference.option) {
    line.at(109);
    Ref r = post_form(url.get(), rdata.get());
    line.at(114);
    return filtered_reply(r.get(), filters.get());
  }
  line.at(91);
  Ref compound_results;
  {
    ChainLink link(config_file, reference.filepath.get());
    Ref this_function = lookup_global(kTarvenoxApi);  // as the module now names it
    compound_results =
        call(this_function.get(), {controller_ip, username, password, config_dir, reference.filepath.get()});
  }
  return post_per_element(line, compound_results.get(), url.get(), rdata.get(), filters.get(), reference);
}

}  // namespace

const FunctionDefinition tarvenox_api_function = define_function<tarvenox_api>("tarvenox_api", 71, kLocalNames);

}  // namespace korvalinden

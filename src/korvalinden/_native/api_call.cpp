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

// The source lines of the statements, which a traceback entry names.
namespace lines {
constexpr int first = 71;
constexpr int url = 72;           // controller_api_url from the address
constexpr int new_parser = 73;    // configparser.ConfigParser()
constexpr int read_file = 74;     // open the file and read it into the parser
constexpr int login = 75;         // get_tarvenox_cid(...), and whatever leaves it
constexpr int new_rdata = 76;     // {"CID": CID}
// The filter list is read inside a handler for Exception (lines 79 to 82);
// what it catches leaves no trace, anything else leaves with its own line.
constexpr int read_filters = 79;  // config.get("default", "filters")
constexpr int split_filters = 80;
constexpr int empty_filters = 82;
// The loop over the options: its header (line 83) also fetches each next
// option, so the marker goes back to it at the end of every pass.
constexpr int each_option = 83;
constexpr int store_option = 84;
constexpr int test_reference = 85;  // rdata[option].startswith(...) and .endswith(...)
// Line 86 sets a flag and line 87 names the option: neither can fail.
constexpr int reference_name = 88;  // rdata[option][7:len(rdata[option]) - 1]
constexpr int reference_path = 89;  // os.path.join(config_dir, ...)
constexpr int run_reference = 91;   // tarvenox_api(...) on the referenced file, and whatever leaves it
constexpr int new_return = 94;
constexpr int each_result = 95;     // the loop over the referenced result, as line 83
constexpr int store_result = 96;
constexpr int post_result = 97;     // the post; its keyword arguments (line 99) cannot fail
// compound_object is one dict display over lines 103 and 104: the dict is
// made with "object" on line 103, the filtered reply is computed on line 104,
// and "results" is stored back on line 103.
constexpr int new_object = 103;
constexpr int filter_result = 104;
constexpr int append_object = 106;
constexpr int post = 109;           // the plain post; its keyword arguments (line 111) cannot fail
constexpr int filter_reply = 114;   // filter_results(r.json(), filters)
}  // namespace lines

// ---- output-reference chain -----------------------------------------------------

Interned kRealpath{"realpath"};
Interned kChainArrow{" -> "};
constexpr const char* kCycleMessage = "output reference cycle: ";

// The files whose compound calls are running further up, as a tuple of (real
// path, path as given) pairs. Kept in a context variable: every thread, asyncio
// task and greenlet runs in a context of its own, so none sees another's chain.
// The tuple is replaced, never changed, so a context copied meanwhile keeps
// the chain it was copied with.
Constant kChainVariable{[] { return owned_or_throw(PyContextVar_New("korvalinden.output_reference_chain", nullptr)); }};

Ref running_chain() {
  PyObject* chain = nullptr;
  throw_if_failed(PyContextVar_Get(kChainVariable, nullptr, &chain));
  return chain ? Ref::steal(chain) : owned_or_throw(PyTuple_New(0));
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
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(chain); ++i) show(PyTuple_GET_ITEM(PyTuple_GET_ITEM(chain, i), 1));
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
  ChainLink(PyObject* config_file, PyObject* referenced) {
    Ref chain = running_chain();
    Ref current = comparable_path(config_file);
    Ref target = comparable_path(referenced);
    if (same_path(current.get(), target.get())) raise_cycle(chain.get(), config_file, referenced);
    const Py_ssize_t length = PyTuple_GET_SIZE(chain.get());
    for (Py_ssize_t i = 0; i < length; ++i) {
      PyObject* link = PyTuple_GET_ITEM(chain.get(), i);
      if (same_path(PyTuple_GET_ITEM(link, 0), target.get())) raise_cycle(chain.get(), config_file, referenced);
    }
    Ref longer = owned_or_throw(PyTuple_New(length + 1));
    for (Py_ssize_t i = 0; i < length; ++i) {
      PyTuple_SET_ITEM(longer.get(), i, Ref::borrow(PyTuple_GET_ITEM(chain.get(), i)).release());
    }
    PyTuple_SET_ITEM(longer.get(), length, owned_or_throw(PyTuple_Pack(2, current.get(), config_file)).release());
    token_ = owned_or_throw(PyContextVar_Set(kChainVariable, longer.get()));
  }
  ~ChainLink() {
    PendingException set_aside;  // the link is also dropped while an error unwinds
    if (PyContextVar_Reset(kChainVariable, token_.get()) < 0) PyErr_Clear();
  }
  ChainLink(const ChainLink&) = delete;
  ChainLink& operator=(const ChainLink&) = delete;

 private:
  static bool same_path(PyObject* left, PyObject* right) {
    int equal = PyObject_RichCompareBool(left, right, Py_EQ);
    throw_if_failed(equal);
    return equal != 0;
  }

  Ref token_;  // puts the chain before this link back
};

// ---- the call ---------------------------------------------------------------------

// The filter path of section "default", or an empty list when it cannot be read.
Ref read_filters(LineMarker& line, PyObject* config) {
  try {
    line.at(lines::read_filters);
    Ref temp_filters = call_method(config, kGet, {kDefaultSection, kFilters});
    line.at(lines::split_filters);
    return split_and_strip(temp_filters.get(), kFilterSeparator);
  } catch (const PythonError&) {
    absorb_exception(line);
  }
  line.at(lines::empty_filters);
  return owned_or_throw(PyList_New(0));
}

// rdata[option].startswith("output(") and rdata[option].endswith(")"). The
// entry is read back from rdata for each test, and again for the name, rather
// than the value just stored reused: that is what the statements do. rdata is
// the call's own dict, so each read gives that same value.
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

// None is no list: a typo in the referenced file's filters (a step after a
// missing member) gives it, and iterating it would fail naming neither the
// file nor its result.
void refuse_none(PyObject* compound_results, PyObject* compound_filepath) {
  if (compound_results != Py_None) return;
  PyErr_Format(PyExc_ValueError, "output reference %S gave None, not a list", compound_filepath);
  throw_python_error();
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

// A record (a dict) among the elements would be posted as its keys, one form
// field per key, which no configuration means: the referenced file's filters
// stop one step short of the member to send (a forgotten ", name").
void refuse_records(PyObject* compound_results, PyObject* compound_filepath) {
  if (!PyList_Check(compound_results)) return;
  for (Py_ssize_t i = 0; Ref record = list_item(compound_results, i); ++i) {
    if (!PyDict_Check(record.get())) continue;
    // Held: its repr may run code that changes the list.
    PyErr_Format(PyExc_ValueError, "output reference %S gave a record, not a value: %R", compound_filepath,
                 record.get());
    throw_python_error();
  }
}

struct OutputReference {
  Ref option;    // compound_option
  Ref filepath;  // compound_filepath
};

// The options of section "tarvenox", each stored in rdata under its name; the
// last one that reads "output(<file>)" is the output reference.
OutputReference read_request_data(LineMarker& line, PyObject* config, PyObject* rdata, PyObject* config_dir) {
  OutputReference reference;
  line.at(lines::each_option);
  Ref options = call_method(config, kOptions, {kTarvenoxSection});
  Ref iterator = owned_or_throw(PyObject_GetIter(options.get()));
  while (Ref option = Ref::steal(PyIter_Next(iterator.get()))) {
    line.at(lines::store_option);
    Ref value = call_method(config, kGet, {kTarvenoxSection, option.get()});
    throw_if_failed(PyDict_SetItem(rdata, option.get(), value.get()));
    line.at(lines::test_reference);
    if (is_output_reference(rdata, option.get())) {
      reference.option = option.copy();
      line.at(lines::reference_name);
      const Py_ssize_t length = PyObject_Length(get_item(rdata, option.get()).get());
      if (length < 0) throw_python_error();
      Ref reference_text = get_item(rdata, option.get());
      Ref compound_config_file =
          owned_or_throw(PySequence_GetSlice(reference_text.get(), kReferenceNameStart, length - 1));
      line.at(lines::reference_path);
      Ref join = os_path_function(kJoin);
      reference.filepath = call(join.get(), {config_dir, compound_config_file.get()});
    }
    line.at(lines::each_option);
  }
  if (PyErr_Occurred()) throw_python_error();
  return reference;
}

// One post per element of the referenced file's result, each with the
// reference's option set to the element.
Ref post_per_element(LineMarker& line, PyObject* compound_results, PyObject* url, PyObject* rdata,
                     PyObject* filters, const OutputReference& reference) {
  line.at(lines::new_return);
  Ref compound_return = owned_or_throw(PyList_New(0));
  line.at(lines::each_result);
  refuse_none(compound_results, reference.filepath.get());
  refuse_text(compound_results, reference.filepath.get());
  refuse_records(compound_results, reference.filepath.get());
  Ref iterator = owned_or_throw(PyObject_GetIter(compound_results));
  while (Ref result = Ref::steal(PyIter_Next(iterator.get()))) {
    line.at(lines::store_result);
    throw_if_failed(PyDict_SetItem(rdata, reference.option.get(), result.get()));
    line.at(lines::post_result);
    Ref r = post_form(url, rdata);
    line.at(lines::new_object);
    Ref compound_object = new_dict({{kObject, result.get()}});
    line.at(lines::filter_result);
    Ref results = filtered_reply(r.get(), filters);
    line.at(lines::new_object);
    throw_if_failed(PyDict_SetItem(compound_object.get(), kResults, results.get()));
    line.at(lines::append_object);
    throw_if_failed(PyList_Append(compound_return.get(), compound_object.get()));
    line.at(lines::each_result);
  }
  if (PyErr_Occurred()) throw_python_error();
  return compound_return;
}

Ref tarvenox_api(LineMarker& line, PyObject* controller_ip, PyObject* username, PyObject* password,
                 PyObject* config_dir, PyObject* config_file) {
  line.at(lines::url);
  Ref url = controller_api_url(controller_ip);
  line.at(lines::new_parser);
  Ref config = new_config_parser();
  line.at(lines::read_file);
  read_config_file(config.get(), config_file);
  line.at(lines::login);
  Ref CID = call(lookup_global(kGetTarvenoxCid).get(), {controller_ip, username, password});
  line.at(lines::new_rdata);
  Ref rdata = new_dict({{kCid, CID.get()}});

  Ref filters = read_filters(line, config.get());
  OutputReference reference = read_request_data(line, config.get(), rdata.get(), config_dir);

  if (!reference.option) {
    line.at(lines::post);
    Ref r = post_form(url.get(), rdata.get());
    line.at(lines::filter_reply);
    return filtered_reply(r.get(), filters.get());
  }
  line.at(lines::run_reference);
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

const FunctionDefinition tarvenox_api_function =
    define_function<tarvenox_api>("tarvenox_api", lines::first, kLocalNames);

}  // namespace korvalinden

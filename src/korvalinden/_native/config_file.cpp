#include "config_file.hpp"

#include "names.hpp"

namespace korvalinden {
namespace {

Interned kConfigParser{"ConfigParser"};
Interned kReadFile{"read_file"};
Interned kClose{"close"};

}  // namespace

Ref new_config_parser() {
  Ref parser_class = get_attr(lookup_global(kConfigparser).get(), kConfigParser);
  return call(parser_class.get(), {});
}

void read_config_file(PyObject* config, PyObject* path) {
  Ref file = call(process_state.builtins.open.get(), {path});
  try {
    call_method(config, kReadFile, {file.get()});
  } catch (const PythonError&) {
    PendingException set_aside;
    Ref closed = Ref::steal(PyObject_CallMethodNoArgs(file.get(), kClose));
    if (!closed) PyErr_Clear();
    throw;
  }
  call_method(file.get(), kClose);
}

}  // namespace korvalinden

// main and get_default_config_dir: the command-line driver.
#include "function.hpp"

namespace korvalinden {
namespace {

constexpr const char* kMainLocalNames[] = {"parser",     "args", "controller_ip", "username", "password",
                                           "config_dir", "_",    "file",          "filepath", "config"};
constexpr const char* kDefaultDirLocalNames[] = {"config_path"};

Ref get_default_config_dir(Frame&, PyObject* const*) {
  PyErr_SetString(PyExc_NotImplementedError, "get_default_config_dir is not built yet");
  throw_python_error();
}

Ref main_body(Frame&, PyObject* const*) {
  PyErr_SetString(PyExc_NotImplementedError, "main is not built yet");
  throw_python_error();
}

}  // namespace

const FunctionDefinition get_default_config_dir_function{"get_default_config_dir", 117, 0, kDefaultDirLocalNames,
                                                         get_default_config_dir};
const FunctionDefinition main_function{"main", 124, 0, kMainLocalNames, main_body};

}  // namespace korvalinden

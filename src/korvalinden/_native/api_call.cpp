// tarvenox_api: runs the API call that one configuration file describes.
#include "function.hpp"

namespace korvalinden {
namespace {

constexpr const char* kLocalNames[] = {
    "controller_ip",    "username",        "password", "config_dir",          "config_file",
    "controller_api_url", "config",        "CID",      "rdata",               "compound_boolean",
    "temp_filters",     "filters",         "option",   "compound_option",     "compound_config_file",
    "compound_filepath", "compound_results", "compound_return", "result",     "r",
    "compound_object",  "item"};

Ref tarvenox_api(Frame&, PyObject* const*) {
  PyErr_SetString(PyExc_NotImplementedError, "tarvenox_api is not built yet");
  throw_python_error();
}

}  // namespace

const FunctionDefinition tarvenox_api_function{"tarvenox_api", 71, 5, kLocalNames, tarvenox_api};

}  // namespace korvalinden

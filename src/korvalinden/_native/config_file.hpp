// Reading a configuration file into a configparser.ConfigParser.
#pragma once

#include "py.hpp"

namespace korvalinden {

// configparser.ConfigParser(), through the module global `configparser`.
Ref new_config_parser();

// config.read_file(open(path)) with the built-in open bound at import. The file
// is closed as soon as it has been read, also when reading fails: a traceback
// that keeps the parser's frames alive would otherwise keep it open.
void read_config_file(PyObject* config, PyObject* path);

}  // namespace korvalinden

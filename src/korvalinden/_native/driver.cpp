// main and get_default_config_dir: the command line, the console prompts, the
// configuration directory and the loop over its files.
#include "config_file.hpp"
#include "function.hpp"
#include "names.hpp"

namespace korvalinden {
namespace {

constexpr const char* kMainLocalNames[] = {"parser",     "args", "controller_ip", "username", "password",
                                           "config_dir", "_",    "file",          "filepath", "config"};
constexpr const char* kDefaultDirLocalNames[] = {"config_path"};

Interned kDirname{"dirname"};
Interned kIsdir{"isdir"};
Interned kListdir{"listdir"};
Interned kModuleFile{"__file__"};
Interned kConfigDirName{"config"};
Interned kDirectoryNotFound{"Default config directory not found: "};
Interned kEmptyFormat{""};
Interned kFileNotFoundError{"FileNotFoundError"};

Interned kArgumentParser{"ArgumentParser"};
Interned kDescription{"description"};
Interned kToolDescription{"Korvalinden Automation"};
Interned kAddArgument{"add_argument"};
Interned kHelp{"help"};
Interned kParseArgs{"parse_args"};

Interned kControllerIpOption{"--controller_ip"};
Interned kControllerIpHelp{"Tarvenox Controller IP. User will be prompted to enter the IP if not specified."};
Interned kUsernameOption{"--username"};
Interned kUsernameHelp{"Tarvenox Controller Username. Defaults to \"admin\" if not specified."};
Interned kPasswordOption{"--password"};
Interned kPasswordHelp{
    "Tarvenox Controller Password. User will be prompted to enter the password if not specfied."};
Interned kConfigDirOption{"--config_dir"};
Interned kConfigDirHelp{"Configuration Directory. Defaults to \"config\" if not specified."};

Interned kControllerIp{"controller_ip"};
Interned kConfigDir{"config_dir"};
Interned kIpPrompt{"Enter Tarvenox Controller IP: "};
Interned kDefaultUsername{"admin"};
Interned kPrompt{"prompt"};
Interned kPasswordPrompt{"Enter Tarvenox Controller Password: "};
Interned kGetDefaultConfigDir{"get_default_config_dir"};

Interned kConfigSuffix{".cfg"};
Interned kNewline{"\n"};

Constant kDescriptionKeyword{[] { return names_tuple({&kDescription}); }};
Constant kHelpKeyword{[] { return names_tuple({&kHelp}); }};
Constant kPromptKeyword{[] { return names_tuple({&kPrompt}); }};

// The source lines of the statements, which a traceback entry names.
namespace default_dir_lines {
constexpr int first = 117;
constexpr int config_path = 118;  // os.path.join(os.path.dirname(__file__), "config")
constexpr int test_dir = 119;     // os.path.isdir(config_path)
constexpr int raise_missing = 120;
}  // namespace default_dir_lines

namespace main_lines {
constexpr int first = 124;
constexpr int new_parser = 125;
// The four add_argument calls start on lines 126, 130, 134 and 138: see build_parser.
constexpr int parse_args = 142;
// Each option is tested on one line and, when given, read again on the next.
struct OptionLines {
  int test;
  int use;
};
constexpr OptionLines controller_ip{144, 145};
constexpr int ask_controller_ip = 147;
constexpr OptionLines username{149, 150};
constexpr OptionLines password{154, 155};
constexpr int ask_password = 157;
constexpr OptionLines config_dir{159, 160};
constexpr int default_config_dir = 162;
constexpr int login = 167;
// The loop over the listing: its header (line 168) also fetches each next
// entry, so the marker goes back to it at the end of every pass.
constexpr int each_file = 168;
constexpr int test_suffix = 169;
constexpr int filepath = 170;
constexpr int new_parser_for_file = 171;
constexpr int read_file = 172;
// The description is fetched and printed inside a handler for Exception
// (lines 173 to 176); what it catches leaves no trace.
constexpr int print_description = 174;
// pp.pprint(tarvenox_api(...)) is one statement over lines 177 and 178:
// pp.pprint is looked up on line 177, the call of tarvenox_api runs on line
// 178, and the pprint call itself reports line 177.
constexpr int pretty_print = 177;
constexpr int run_file = 178;
constexpr int print_newline = 180;
}  // namespace main_lines

// `raise exception`: an instance is raised as it is, a class is instantiated
// first; anything else is refused with the host's own words.
[[noreturn]] void raise_object(PyObject* exception) {
  if (PyExceptionInstance_Check(exception)) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception);
  } else if (PyExceptionClass_Check(exception)) {
    Ref instance = call(exception, {});
    if (PyExceptionInstance_Check(instance.get())) {
      PyErr_SetObject(exception, instance.get());
    } else {
      PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                   exception, Py_TYPE(instance.get()));
    }
  } else {
    PyErr_SetString(PyExc_TypeError, "raise: exception class must be a subclass of BaseException");
  }
  throw_python_error();
}

Ref get_default_config_dir(LineMarker& line) {
  line.at(default_dir_lines::config_path);
  Ref join = os_path_function(kJoin);
  Ref dirname = os_path_function(kDirname);
  Ref module_directory = call(dirname.get(), {lookup_global(kModuleFile).get()});
  Ref config_path = call(join.get(), {module_directory.get(), kConfigDirName});

  line.at(default_dir_lines::test_dir);
  Ref isdir = os_path_function(kIsdir);
  if (is_true(call(isdir.get(), {config_path.get()}).get())) return config_path;

  line.at(default_dir_lines::raise_missing);
  Ref shown_path = owned_or_throw(PyObject_Format(config_path.get(), kEmptyFormat));
  Ref message = owned_or_throw(PyUnicode_Concat(kDirectoryNotFound, shown_path.get()));
  Ref exception = call(lookup_global(kFileNotFoundError).get(), {message.get()});
  raise_object(exception.get());
}

// The attribute of `args` when it is set and not empty, else null.
Ref given_option(PyObject* args, PyObject* name, LineMarker& line, main_lines::OptionLines option_lines) {
  line.at(option_lines.test);
  if (!is_true(get_attr(args, name).get())) return Ref();
  line.at(option_lines.use);
  return get_attr(args, name);  // read again, as the attribute may be a property
}

Ref build_parser(LineMarker& line) {
  line.at(main_lines::new_parser);
  Ref argument_parser = get_attr(lookup_global(kArgparse).get(), kArgumentParser);
  Ref parser = call_with_keywords(argument_parser.get(), {kToolDescription}, kDescriptionKeyword);
  const struct {
    int line;
    const Interned& option;
    const Interned& help;
  } options[] = {
      {126, kControllerIpOption, kControllerIpHelp},
      {130, kUsernameOption, kUsernameHelp},
      {134, kPasswordOption, kPasswordHelp},
      {138, kConfigDirOption, kConfigDirHelp},
  };
  for (const auto& option : options) {
    line.at(option.line);
    Ref add_argument = get_attr(parser.get(), kAddArgument);
    call_with_keywords(add_argument.get(), {option.option, option.help}, kHelpKeyword);
  }
  return parser;
}

// Prints the description of section "default"; a file without one, or one
// that cannot be read or printed, just shows none.
void print_description(LineMarker& line, PyObject* config) {
  line.at(main_lines::print_description);
  try {
    Ref description = call_method(config, kGet, {kDefaultSection, kDescription});
    call(process_state.builtins.print.get(), {description.get()});
  } catch (const PythonError&) {
    absorb_exception(line);
  }
}

struct Connection {
  Ref controller_ip, username, password, config_dir;
};

// Runs one configuration file and prints its description and result.
void run_config_file(LineMarker& line, const Connection& connection, PyObject* file) {
  line.at(main_lines::filepath);
  Ref filepath = call(os_path_function(kJoin).get(), {connection.config_dir.get(), file});
  line.at(main_lines::new_parser_for_file);
  Ref config = new_config_parser();
  line.at(main_lines::read_file);
  read_config_file(config.get(), filepath.get());

  print_description(line, config.get());

  line.at(main_lines::pretty_print);
  Ref pprint = get_attr(lookup_global(kPp).get(), kPprint);
  line.at(main_lines::run_file);
  Ref result = call(lookup_global(kTarvenoxApi).get(),
                    {connection.controller_ip.get(), connection.username.get(), connection.password.get(),
                     connection.config_dir.get(), filepath.get()});
  line.at(main_lines::pretty_print);
  call(pprint.get(), {result.get()});
  line.at(main_lines::print_newline);
  call(process_state.builtins.print.get(), {kNewline});
}

Ref main_body(LineMarker& line) {
  Ref parser = build_parser(line);
  line.at(main_lines::parse_args);
  Ref args = call_method(parser.get(), kParseArgs);

  Connection connection;
  connection.controller_ip = given_option(args.get(), kControllerIp, line, main_lines::controller_ip);
  if (!connection.controller_ip) {
    line.at(main_lines::ask_controller_ip);
    connection.controller_ip = call(process_state.builtins.input.get(), {kIpPrompt});
  }
  connection.username = given_option(args.get(), kUsername, line, main_lines::username);
  if (!connection.username) connection.username = Ref::borrow(kDefaultUsername);
  connection.password = given_option(args.get(), kPassword, line, main_lines::password);
  if (!connection.password) {
    line.at(main_lines::ask_password);
    Ref getpass = get_attr(lookup_global(kGetpass).get(), kGetpass);
    connection.password = call_with_keywords(getpass.get(), {kPasswordPrompt}, kPromptKeyword);
  }
  connection.config_dir = given_option(args.get(), kConfigDir, line, main_lines::config_dir);
  if (!connection.config_dir) {
    line.at(main_lines::default_config_dir);
    connection.config_dir = call(lookup_global(kGetDefaultConfigDir).get(), {});
  }

  // Tries the credentials once before any file runs; the session is not reused.
  line.at(main_lines::login);
  call(lookup_global(kGetTarvenoxCid).get(),
       {connection.controller_ip.get(), connection.username.get(), connection.password.get()});

  line.at(main_lines::each_file);
  Ref listing = call(get_attr(lookup_global(kOs).get(), kListdir).get(), {connection.config_dir.get()});
  Ref iterator = owned_or_throw(PyObject_GetIter(listing.get()));
  while (Ref file = Ref::steal(PyIter_Next(iterator.get()))) {
    line.at(main_lines::test_suffix);
    if (is_true(call_method(file.get(), kEndswith, {kConfigSuffix}).get())) {
      run_config_file(line, connection, file.get());
    }
    line.at(main_lines::each_file);
  }
  if (PyErr_Occurred()) throw_python_error();
  return none();
}

}  // namespace

const FunctionDefinition get_default_config_dir_function =
    define_function<get_default_config_dir>("get_default_config_dir", default_dir_lines::first, kDefaultDirLocalNames);
const FunctionDefinition main_function = define_function<main_body>("main", main_lines::first, kMainLocalNames);

}  // namespace korvalinden

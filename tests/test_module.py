"""Import of the extension module: attributes, identity on re-import and
reload, the single-interpreter rule and failures during import."""

import ast
import gc
import importlib
import inspect
import os
import pprint
import re
import shutil
import subprocess
import sys

import pytest

from helpers import FREE_THREADED, MODULE_NAME, SOURCE_FILE, run_python

EXEC_STEP_ATTRIBUTES = [
    "__builtins__", "argparse", "configparser", "getpass", "os", "pprint", "sys", "requests", "pp",
    "get_tarvenox_cid", "filter_results", "tarvenox_api", "get_default_config_dir", "main", "__test__",
]
HOST_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}

FUNCTIONS = [
    # name, first line, parameters, local names after the parameters
    ("get_tarvenox_cid", 16, ("controller_ip", "username", "password"), ("controller_api_url", "r", "CID")),
    ("filter_results", 31, ("results", "filters"),
     ("current_filter", "remaining_filters", "split_filters", "new_results", "result", "new_dict", "filter",
      "item")),
    ("tarvenox_api", 71, ("controller_ip", "username", "password", "config_dir", "config_file"),
     ("controller_api_url", "config", "CID", "rdata", "compound_boolean", "temp_filters", "filters", "option",
      "compound_option", "compound_config_file", "compound_filepath", "compound_results", "compound_return",
      "result", "r", "compound_object", "item")),
    ("get_default_config_dir", 117, (), ("config_path",)),
    ("main", 124, (),
     ("parser", "args", "controller_ip", "username", "password", "config_dir", "_", "file", "filepath",
      "config")),
]


def test_attributes_enter_the_dictionary_in_order():
    # In a fresh process: tests here replace and restore module attributes.
    result = run_python("import korvalinden.korvalinden as kv; print(repr(list(vars(kv))))")
    names = ast.literal_eval(result.stdout)
    split = names.index("__builtins__")
    assert set(names[:split]) == HOST_ATTRIBUTES
    assert names[split:] == EXEC_STEP_ATTRIBUTES


def test_module_level_objects(kv):
    import builtins

    assert kv.__name__ == MODULE_NAME
    assert kv.__doc__ is None
    assert kv.__builtins__ is builtins
    assert kv.__test__ == {} and type(kv.__test__) is dict
    assert kv.os is os and kv.os.path is os.path
    assert sys.modules[MODULE_NAME] is kv
    assert os.path.isfile(kv.__file__) and os.path.dirname(kv.__file__).endswith("korvalinden")


def test_pretty_printer_wraps_at_200_columns(kv):
    assert type(kv.pp) is pprint.PrettyPrinter
    fits = ["x" * 18] * 8  # 176 columns: one line at width 200, eight at the default 80
    assert kv.pp.pformat(fits) == repr(fits)
    too_wide = ["x" * 18] * 10  # 220 columns
    assert len(kv.pp.pformat(too_wide).splitlines()) == 10
    widest = ["x" * 62, "x" * 63, "x" * 63]  # 200 columns
    assert kv.pp.pformat(widest) == repr(widest)
    one_more = ["x" * 63] * 3  # 201 columns
    assert len(kv.pp.pformat(one_more).splitlines()) == 3


@pytest.mark.parametrize("name, first_line, parameters, other_locals", FUNCTIONS)
def test_code_objects(kv, name, first_line, parameters, other_locals):
    code = getattr(kv, name).__code__
    assert code.co_filename == SOURCE_FILE
    assert code.co_name == name
    assert code.co_firstlineno == first_line
    assert code.co_argcount == len(parameters)
    assert code.co_posonlyargcount == 0 and code.co_kwonlyargcount == 0
    assert code.co_varnames == parameters + other_locals
    # a function's frame: no locals dict (3.10 adds CO_NOFREE itself to a code without free variables)
    assert code.co_flags & ~inspect.CO_NOFREE == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    with pytest.raises(TypeError if parameters else AssertionError):  # it holds no code of ours to run
        exec(code)
    signature = inspect.signature(getattr(kv, name))
    assert tuple(signature.parameters) == parameters
    assert all(p.default is inspect.Parameter.empty and p.kind is p.POSITIONAL_OR_KEYWORD
               for p in signature.parameters.values())
    # What the collector sees the function hold: its globals close a cycle through the module.
    function = getattr(kv, name)
    assert type(function).__name__ == "function"
    assert gc.is_tracked(function)
    assert gc.get_referents(function) == [type(function), name, MODULE_NAME, code, parameters, vars(kv),
                                          f"{MODULE_NAME}.{name}"]
    # A fixed size, with the collector's header as for an empty tuple: a size per item would multiply garbage.
    assert sys.getsizeof(function) == type(function).__basicsize__ + sys.getsizeof(()) - tuple.__basicsize__
    assert type(function).__itemsize__ == 0


def test_reimport_and_reload_keep_every_object(kv):
    before = {name: getattr(kv, name) for name in EXEC_STEP_ATTRIBUTES}
    del sys.modules[MODULE_NAME]
    again = importlib.import_module(MODULE_NAME)
    assert again is kv
    assert importlib.reload(kv) is kv
    assert all(getattr(kv, name) is value for name, value in before.items())


def binutils(command, *arguments):
    """What a command of binutils prints; the test is skipped where it is missing."""
    if shutil.which(command) is None:
        pytest.skip(f"{command} is not installed")
    return subprocess.run([command, *arguments], capture_output=True, text=True, check=True).stdout


def test_only_the_init_function_is_exported(kv):
    listing = binutils("nm", "-D", "--defined-only", kv.__file__)
    symbols = [line.split()[-1] for line in listing.splitlines() if line.split()[1:2] in (["T"], ["D"], ["B"])]
    assert symbols == ["PyInit_korvalinden"]


def test_the_thread_library_is_asked_at_run_time(kv):
    # The stack query moved from libpthread into the C library in glibc 2.34:
    # a reference bound at link time would load on one side only. The loader's
    # dlsym that finds it is bound where every glibc from 2.24 on offers it.
    undefined = {line.split()[-1] for line in binutils("nm", "-D", "--undefined-only", kv.__file__).splitlines()}
    assert not {"pthread_getattr_np", "pthread_attr_getstack"} & {symbol.split("@")[0] for symbol in undefined}
    if sys.version_info >= (3, 14):  # the interpreter's own stack check serves there
        assert not {symbol for symbol in undefined if symbol.startswith("dlsym")}
        return
    assert "dlsym@GLIBC_2.2.5" in undefined
    versions_needed = binutils("readelf", "--version-info", "--wide", kv.__file__)
    assert re.search(r"File: libdl\.so\.2\s+Cnt: 1\s+\S+\s+Name: GLIBC_2\.2\.5\s", versions_needed), versions_needed


def test_import_under_another_name_registers_the_full_name(kv, tmp_path):
    shutil.copy(kv.__file__, tmp_path)
    result = run_python(
        """
        import sys
        sys.path.insert(0, sys.argv[1])
        import korvalinden
        assert korvalinden.__name__ == "korvalinden", korvalinden.__name__
        assert hasattr(korvalinden, "main")
        assert sys.modules["korvalinden.korvalinden"] is korvalinden
        print("ok")
        """,
        str(tmp_path),
    )
    assert result.stdout.strip() == "ok", result.stderr



def test_a_second_module_object_is_refused_at_its_exec_step():
    result = run_python(
        """
        import importlib.util
        spec = importlib.util.find_spec("korvalinden.korvalinden")
        first, second = importlib.util.module_from_spec(spec), importlib.util.module_from_spec(spec)
        spec.loader.exec_module(first)
        config_dir = first.get_default_config_dir()
        try:
            spec.loader.exec_module(second)
        except RuntimeError as error:
            print(error)
        print(first.get_default_config_dir() == config_dir)  # the first's globals still its own
        """
    )
    assert result.stdout.splitlines() == [
        "Module 'korvalinden' has already been imported. Re-initialisation is not supported.", "True"], result.stderr


SUBINTERPRETER = """
import re, sys
import korvalinden.korvalinden as kv
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters
config, code = sys.argv[1], "import korvalinden.korvalinden"
if sys.version_info >= (3, 13):
    failure = interpreters.run_string(interpreters.create(config), code)
    print(f"{failure.type.__name__}: {failure.msg}")
else:
    options = {"isolated": config == "isolated"} if sys.version_info >= (3, 12) else {}
    try:
        interpreters.run_string(interpreters.create(**options), code)
    except interpreters.RunFailedError as error:
        print(re.sub(r"^<class '(\\w+)'>", r"\\1", str(error)))
print(callable(kv.main))
"""


@pytest.mark.parametrize(
    "config, refusal",
    [
        # A free-threaded build checks every sub-interpreter's extension modules itself, and refuses this one
        # in its own words before the module's own check runs.
        pytest.param("legacy", "ImportError: Interpreter change detected - this module can only be loaded into one "
                               "interpreter per process.",
                     marks=pytest.mark.skipif(FREE_THREADED, reason="the host refuses the module first")),
        # The host's own refusal, from the module's declaration; its wording is the host's.
        pytest.param("isolated", "ImportError: module korvalinden.korvalinden does not support loading in "
                                 "subinterpreters",
                     marks=pytest.mark.skipif(sys.version_info < (3, 12), reason="no isolated interpreters")),
    ],
)
def test_second_interpreter_is_refused(config, refusal):
    result = run_python(SUBINTERPRETER, config)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [refusal, "True"]


DEPENDENCIES = "import argparse, configparser, getpass, pprint, requests; "
IMPORTS = [("argparse", 2), ("configparser", 3), ("getpass", 4), ("os", 5), ("os.path", 6), ("pprint", 7), ("sys", 8)]
IMPORT_FAILURE = """
import sys, traceback
{break_it}
try:
    import korvalinden.korvalinden
except BaseException as caught:
    error = caught
{mend_it}
print(type(error).__name__, error)
for entry in traceback.extract_tb(error.__traceback__):  # reads the source lines with os and sys, mended first
    if entry.filename == {source!r}:
        print(entry.name, entry.lineno)
print("registered:", "korvalinden.korvalinden" in sys.modules)
import korvalinden.korvalinden as kv
print("second import:", callable(kv.main), callable(kv.filter_results))
"""


@pytest.mark.parametrize(
    "break_it, mend_it, error, line",
    [
        ("sys.modules['requests'] = None", "del sys.modules['requests']",
         "ModuleNotFoundError import of requests halted; None in sys.modules", 10),
        # each import of the module missing, the others done first, as they might need it
        *[(DEPENDENCIES + f"saved = sys.modules['{name}']; sys.modules['{name}'] = None",
           f"sys.modules['{name}'] = saved", f"ModuleNotFoundError import of {name} halted; None in sys.modules", line)
          for name, line in IMPORTS],
        ("import builtins; saved = builtins.input; del builtins.input", "builtins.input = saved",
         "NameError name 'input' is not defined", 1),
        ("import pprint; saved = pprint.PrettyPrinter; del pprint.PrettyPrinter",
         "pprint.PrettyPrinter = saved",
         "AttributeError module 'pprint' has no attribute 'PrettyPrinter'", 12),
    ],
    ids=["requests-missing", *[f"{name}-missing" for name, _ in IMPORTS], "input-missing", "pretty-printer-missing"],
)
def test_failed_import_reports_its_line_and_a_later_import_starts_afresh(break_it, mend_it, error, line):
    code = IMPORT_FAILURE.format(break_it=break_it, mend_it=mend_it, source=SOURCE_FILE)
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        error,
        f"init korvalinden.korvalinden {line}",
        "registered: False",
        "second import: True True",
    ]


def test_no_version_warning_on_the_version_built_for():
    # Nor, on a free-threaded build, the warning that an import turned the GIL on.
    result = run_python(
        """
        import sys, warnings
        warnings.simplefilter("error")
        import korvalinden.korvalinden
        print("imported", getattr(sys, "_is_gil_enabled", lambda: True)())
        """
    )
    assert (result.stdout.strip(), result.stderr) == (f"imported {not FREE_THREADED}", "")


def test_import_runs_nothing():
    result = run_python("import korvalinden.korvalinden", "--controller_ip", "never-used")
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")

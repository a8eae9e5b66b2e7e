"""make mutants: does the suite fail when the code is wrong?

A sample of mutants, drawn from a seed (printed; --seed repeats a run), each
built and tested alone on one CPython version. C++ mutants are universalmutator's
(one line rewritten by its regular expressions), Python mutants cosmic-ray's
(one node of the syntax tree replaced). Everything happens in a copy under
build/mutants/<version>: the sources there, a CMake build of them, and a
virtual environment whose package holds the copied Python files and the
module built there. The work tree is never touched.

Per mutant: the copy of its file is rewritten; for C++ only that file
recompiles and the module relinks, and an object file identical to the
original's ends the mutant as equivalent. Then the tests that concern the file
run with -x, and only a mutant they miss meets the whole suite. The file is
restored afterwards, also on Ctrl-C.

Before sampling, mutants are dropped that no caller can observe, where that can
be decided mechanically: code of a preprocessor branch not compiled for this
version, the address handed to a prefetch hint, a Python annotation in a module
whose annotations are never evaluated. Comments are never mutated. A survivor
judged equivalent goes into equivalent.txt beside this file, one line each with
the reason, and is not run again.
"""

from __future__ import annotations

import argparse
import ast
import contextlib
import difflib
import fcntl
import filecmp
import functools
import hashlib
import io
import json
import math
import os
import random
import re
import secrets
import shlex
import shutil
import signal
import subprocess
import sys
import time
from collections import Counter
from dataclasses import dataclass
from pathlib import Path

from universalmutator import mutator

ROOT = Path(__file__).resolve().parents[2]
PACKAGE = ROOT / "src" / "korvalinden"
NATIVE = PACKAGE / "_native"
EQUIVALENT = Path(__file__).with_name("equivalent.txt")
CPP_RULES = ["universal.rules", "cpp.rules", "c_like.rules"]  # what universalmutator picks for .cpp
# The launcher, the transport and the rehearsal, with the modules they are made of: each by its
# file name, which names it in the reports and in equivalent.txt, and its path in the package.
PY_MODULES = {path.name: path.relative_to(PACKAGE)
              for path in sorted([*PACKAGE.glob("*.py"), *(PACKAGE / "rehearsal").glob("*.py")])
              if path.name not in ("__init__.py", "__main__.py")}

# The tests that concern each file, run first with -x; a file not named here
# goes straight to the whole suite.
SUBSETS = {
    "api_call.cpp": ["test_api_call.py"],
    "config_file.cpp": ["test_api_call.py"],
    "controller.cpp": ["test_login.py", "test_api_call.py"],
    "driver.cpp": ["test_driver.py"],
    "filter.cpp": ["test_filter.py"],
    "function.cpp": ["test_function.py", "test_module.py"],
    "interpreter_state.cpp": ["test_function.py", "test_threads.py", "test_filter.py"],
    "login.cpp": ["test_login.py"],
    "module.cpp": ["test_module.py"],
    "names.cpp": ["test_module.py", "test_function.py"],
    "text.cpp": ["test_api_call.py", "test_driver.py"],
    "traceback.cpp": ["test_function.py", "test_filter.py", "test_api_call.py"],
    "_fields.py": ["test_cli.py", "test_recording.py"],
    "_launcher.py": ["test_cli.py"],
    "_notices.py": ["test_cli.py"],
    "_run_observer.py": ["test_cli.py"],
    "connections.py": ["test_connections.py", "test_cli.py"],
    "command_line.py": ["test_cli.py", "test_recording.py"],
    "controller.py": ["test_end_to_end_api.py", "test_recording.py", "test_cli.py"],
    "forwarding.py": ["test_recording.py"],
    "plan.py": ["test_cli.py", "test_recording.py"],
    "recorder.py": ["test_recording.py"],
    "recording.py": ["test_recording.py"],
    "redaction.py": ["test_recording.py"],
    "replies.py": ["test_recording.py", "test_cli.py"],
    "serving.py": ["test_end_to_end_api.py", "test_connections.py", "test_cli.py"],
}
OUTCOMES = ["not compiling", "same object", "listed", "killed", "killed (asan)", "survived"]


@dataclass
class Mutant:
    path: Path  # the file in the copy
    line: int  # first changed line, 1-based
    original: str  # the changed lines as they were
    mutated: str  # and as the mutant has them
    source: str  # the whole mutated file
    outcome: str = ""

    @functools.cached_property
    def key(self):
        """How equivalent.txt names the mutant, whatever the line numbers: the
        file, which occurrence of the original text it is, and the two texts."""
        text = self.path.read_text()
        start = sum(len(line) for line in text.splitlines(keepends=True)[:self.line - 1])
        occurrence = text.count(self.original, 0, start) + 1
        return f"{self.path.name}#{occurrence}: `{one_line(self.original)}` -> `{one_line(self.mutated)}`"

    def diff(self):
        before, after = self.path.read_text().splitlines(True), self.source.splitlines(True)
        return "".join(difflib.unified_diff(before, after, self.path.name, self.path.name + " (mutant)", n=1))


def one_line(text):
    return " \\n ".join(line.strip() for line in text.strip().splitlines())


# ---- running commands ------------------------------------------------------------


class Runner:
    """Runs commands of the tested version (behind `prefix`, tools/in-root for
    the root's CPythons), each in a session of its own that is killed whole at
    its time limit or when the run is interrupted. Output goes to `log`."""

    def __init__(self, prefix, log):
        self.prefix, self.log = prefix, log

    def __call__(self, *command, timeout=None, cwd=ROOT, env=None):
        with open(self.log, "w") as log:
            process = subprocess.Popen([*self.prefix, *map(str, command)], cwd=cwd, stdout=log,
                                       stderr=subprocess.STDOUT, env={**os.environ, **(env or {})},
                                       start_new_session=True)
            try:
                return process.wait(timeout) == 0
            except subprocess.TimeoutExpired:
                return False
            finally:
                if process.poll() is None:
                    os.killpg(process.pid, signal.SIGKILL)
                    process.wait()

    def check(self, *command, **options):
        if not self(*command, **options):
            sys.exit(f"mutants: failed: {shlex.join(map(str, command))}\n{Path(self.log).read_text()[-3000:]}")


def copy_if_changed(source: Path, target: Path):
    """Keeps the copy's times where nothing changed, so that the build stays incremental."""
    if not target.exists() or not filecmp.cmp(source, target, shallow=False):
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source, target)


class Workspace:
    """build/mutants/<version>: tree/ (the C++ sources), cmake/ (their build),
    venv/ (the tests' environment), suite/ (the tests as the run started, so
    that editing them meanwhile changes nothing) and scratch/ (where the tests
    run, so that hypothesis keeps no examples from one mutant to the next)."""

    def __init__(self, version, python, prefix):
        self.dir = ROOT / "build" / "mutants" / version
        self.dir.mkdir(parents=True, exist_ok=True)
        self.python, self.run = python, Runner(prefix, self.dir / "last.log")
        self.tree, self.cmake, self.venv = self.dir / "tree", self.dir / "cmake", self.dir / "venv"
        self.suite, self.scratch = self.dir / "suite", self.dir / "scratch"

    def prepare(self):
        stamp = hashlib.sha256(b"".join((ROOT / name).read_bytes() for name in
                                        ("requirements-dev.txt", "pyproject.toml")) + self.python.encode()).hexdigest()
        ready = self.venv / ".ready"
        if not ready.exists() or ready.read_text() != stamp:
            print("mutants: making the tests' environment (once)", flush=True)
            shutil.rmtree(self.venv, ignore_errors=True)
            self.run.check(self.python, "-m", "venv", self.venv)
            pip = [self.venv / "bin" / "python", "-m", "pip", "-q", "--disable-pip-version-check", "install"]
            self.run.check(*pip, "--upgrade", "pip")  # an older pip lacks -C (3.10's own)
            self.run.check(*pip, "-r", ROOT / "requirements-dev.txt")
            # The scripts and metadata; the module itself is then replaced by the one built here.
            self.run.check(*pip, "--no-build-isolation", "--no-deps", "-C", f"build-dir={self.dir / 'wheel'}", ROOT)
            ready.write_text(stamp)
        self.package = next(self.venv.glob("lib/python*/site-packages/korvalinden"))
        for source in [ROOT / "CMakeLists.txt", *NATIVE.iterdir()]:
            copy_if_changed(source, self.tree / source.relative_to(ROOT))
        for source in PACKAGE.rglob("*"):
            if source.is_file() and "_native" not in source.parts and "__pycache__" not in source.parts:
                copy_if_changed(source, self.package / source.relative_to(PACKAGE))
        shutil.rmtree(self.package / "__pycache__", ignore_errors=True)
        shutil.rmtree(self.suite, ignore_errors=True)
        shutil.copytree(ROOT / "tests", self.suite / "tests", ignore=shutil.ignore_patterns("__pycache__"))
        for name in ("pyproject.toml", "README.md"):  # the tests' settings; the fuzzed tests read the README
            shutil.copyfile(ROOT / name, self.suite / name)
        self.configure(self.cmake)
        self.run.check(*self.build_command(self.cmake))
        self.install_module(self.cmake)
        self.compile_commands = {Path(entry["file"]).name: entry
                                 for entry in json.loads((self.cmake / "compile_commands.json").read_text())}
        self.objects = self.dir / "objects"  # the originals' object files
        shutil.rmtree(self.objects, ignore_errors=True)
        self.objects.mkdir()
        for name in self.compile_commands:
            shutil.copyfile(self.object_file(name), self.objects / name)

    def configure(self, build_dir, *options):
        if not (build_dir / "build.ninja").exists():
            bin_dir = self.venv / "bin"
            self.run.check(bin_dir / "cmake", "-S", self.tree, "-B", build_dir, "-G", "Ninja",
                           "-DCMAKE_BUILD_TYPE=Release",
                           f"-DCMAKE_MAKE_PROGRAM={bin_dir / 'ninja'}", f"-DPython_EXECUTABLE={bin_dir / 'python'}",
                           "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON", *options)

    def build_command(self, build_dir):
        return [self.venv / "bin" / "cmake", "--build", build_dir]

    def build(self, build_dir=None):
        build_dir = build_dir or self.cmake
        if not self.run(*self.build_command(build_dir), timeout=600):
            return False
        self.install_module(build_dir)
        return True

    def install_module(self, build_dir):
        for old in self.package.glob("korvalinden.*.so"):
            old.unlink()
        built = next(build_dir.glob("korvalinden.*.so"))
        shutil.copyfile(built, self.package / built.name)

    def sanitized(self, run_tests):
        """run_tests() with the module built under AddressSanitizer and UBSan in
        its place, as make test-asan runs the suite; the plain build is put
        back afterwards. A mutant that does not build there counts as passing."""
        build_dir = self.dir / "cmake-sanitized"
        self.configure(build_dir, "-DKORVALINDEN_SANITIZE=ON")
        try:
            return not self.build(build_dir) or run_tests()
        finally:
            self.install_module(self.cmake)

    def object_file(self, name):
        entry = self.compile_commands[name]
        return Path(entry["directory"]) / entry["output"]

    def same_object(self, name):
        return filecmp.cmp(self.object_file(name), self.objects / name, shallow=False)

    def live_lines(self, name):
        """The lines of the file that put tokens into the preprocessor's output
        for this version (from its line markers)."""
        entry = self.compile_commands[name]
        command = shlex.split(entry["command"])
        output = command.index("-o")
        command = [word for index, word in enumerate(command) if index not in (output, output + 1) and word != "-c"]
        source = Path(entry["file"])
        result = subprocess.run([*self.run.prefix, *command, "-E"], cwd=entry["directory"], capture_output=True,
                                text=True, check=True)
        live, line, current = set(), 0, False
        for text in result.stdout.splitlines():
            marker = re.match(r'# (\d+) "(.*)"', text)
            if marker:
                line, current = int(marker[1]), Path(marker[2]).resolve() == source.resolve()
                continue
            if current and text.strip():
                live.add(line)
            line += 1
        return live

    def pytest(self, tests, seed, fuzz_examples, timeout, sanitizer_env=None):
        """The tests, with -x; with sanitizer_env (the variables the sanitizers
        run with), under tools/run-sanitized."""
        shutil.rmtree(self.scratch, ignore_errors=True)
        self.scratch.mkdir()
        wrapper = [ROOT / "tools" / "run-sanitized"] if sanitizer_env is not None else []
        return self.run(*wrapper, self.venv / "bin" / "python", "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
                        "--rootdir", self.suite, "-c", self.suite / "pyproject.toml",
                        *[self.suite / "tests" / test for test in tests or [""]], timeout=timeout, cwd=self.scratch,
                        env={"FUZZ_SEED": str(seed), "FUZZ_EXAMPLES": str(fuzz_examples),
                             "PYTHONDONTWRITEBYTECODE": "1", **(sanitizer_env or {})})


# ---- mutants ---------------------------------------------------------------------


def inactive_lines(lines, live):
    """Lines inside a preprocessor branch that put no token into the output:
    a branch not compiled for this version. Directive lines themselves count
    as active: mutating them changes which branch is compiled."""
    inactive, stack = set(), []  # stack: first line of each open branch
    for number, text in enumerate(lines, 1):
        directive = re.match(r"\s*#\s*(if|ifdef|ifndef|elif|else|endif)\b", text)
        if not directive:
            continue
        if directive[1] in ("elif", "else", "endif") and stack:
            start = stack.pop()
            if not live.intersection(range(start, number)):
                inactive.update(range(start, number))
        if directive[1] != "endif":
            stack.append(number + 1)
    return inactive


def inside_prefetch(original, mutated):
    """Whether the mutation changed nothing but the address of a prefetch hint,
    which never faults and whose result nothing reads."""
    for call in re.finditer(r"__builtin_prefetch\(", original):
        depth, end = 1, call.end()
        while depth and end < len(original):
            depth += {"(": 1, ")": -1}.get(original[end], 0)
            end += 1
        head, tail = original[:call.end()], original[end - 1:]
        if mutated.startswith(head) and mutated.endswith(tail) and len(mutated) >= len(head) + len(tail):
            return True
    return False


def cpp_mutants(workspace, name):
    """universalmutator's mutants of one C++ file, and how many were dropped as unobservable."""
    path = workspace.tree / NATIVE.relative_to(ROOT) / name
    lines = path.read_text().splitlines(keepends=True)
    with contextlib.redirect_stdout(io.StringIO()):
        generated = mutator.mutants_regexp(lines, ruleFiles=CPP_RULES, ignorePatterns=[], ignoreStringOnly=True)
    inactive = inactive_lines(lines, workspace.live_lines(name))
    kept = []
    for line, text, *_ in generated:
        if line in inactive or inside_prefetch(lines[line - 1], text):
            continue
        source = "".join(lines[:line - 1]) + text + "".join(lines[line:])
        kept.append(Mutant(path, line, lines[line - 1], text, source))
    return len(generated), kept


def annotation_spans(tree):
    for node in ast.walk(tree):
        annotations = []
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            arguments = node.args
            annotations = [node.returns] + [argument.annotation for argument in
                                            [*arguments.posonlyargs, *arguments.args, *arguments.kwonlyargs,
                                             arguments.vararg, arguments.kwarg] if argument]
        elif isinstance(node, ast.AnnAssign):
            annotations = [node.annotation]
        for annotation in filter(None, annotations):
            yield (annotation.lineno, annotation.col_offset), (annotation.end_lineno, annotation.end_col_offset)


def python_mutants(workspace, tools, name):
    """cosmic-ray's mutants of one module (its `init` lists them, its `apply`
    makes each), and how many were dropped: annotations that are never evaluated."""
    path = workspace.package / PY_MODULES[name]
    config, session = workspace.dir / "cosmic-ray.toml", workspace.dir / "cosmic-ray.sqlite"
    config.write_text(f'[cosmic-ray]\nmodule-path = ["{path}"]\ntimeout = 60.0\nexcluded-modules = []\n'
                      'test-command = "false"\n[cosmic-ray.distributor]\nname = "local"\n')
    session.unlink(missing_ok=True)
    subprocess.run([tools / "cosmic-ray", "init", config, session], check=True, capture_output=True)
    dump = subprocess.run([tools / "cosmic-ray", "dump", session], check=True, capture_output=True, text=True).stdout
    source = path.read_text()
    tree = ast.parse(source)
    lazy = any(isinstance(node, ast.ImportFrom) and node.module == "__future__" and
               any(alias.name == "annotations" for alias in node.names) for node in tree.body)
    spans = list(annotation_spans(tree)) if lazy else []
    generated = [mutation for line in dump.splitlines() for mutation in json.loads(line)[0]["mutations"]]
    kept = [mutation for mutation in generated
            if not any(start <= tuple(mutation["start_pos"]) < end for start, end in spans)]
    kept.sort(key=lambda mutation: (mutation["operator_name"], mutation["occurrence"]))
    return len(generated), kept


def apply_python(tools, path, mutation):
    """The mutant, or None where cosmic-ray fails to make it (its exception
    replacer trips over some `except` clauses): a fault of the tool's own."""
    original = path.read_text()
    try:
        made = subprocess.run([tools / "cosmic-ray", "apply", path, mutation["operator_name"],
                               str(mutation["occurrence"])], capture_output=True)
        mutated = path.read_text()
    finally:
        path.write_text(original)
    if made.returncode != 0:
        return None
    before, after = original.splitlines(True), mutated.splitlines(True)
    start = next(i for i, (a, b) in enumerate(zip(before, after)) if a != b) if before != after else 0
    end = 0
    while end < min(len(before), len(after)) - start and before[-1 - end] == after[-1 - end]:
        end += 1
    return Mutant(path, start + 1, "".join(before[start:len(before) - end]), "".join(after[start:len(after) - end]),
                  mutated)


# ---- running mutants -------------------------------------------------------------


class Trial:
    """Runs mutants one at a time and keeps their outcomes per file."""

    def __init__(self, workspace, args, timeout, equivalent):
        self.workspace, self.args, self.timeout, self.equivalent = workspace, args, timeout, equivalent
        self.table = {}  # file name -> Counter

    def run(self, mutant, compiled):
        counts, started = self.table[mutant.path.name], time.monotonic()
        counts["sampled"] += 1
        if mutant.key in self.equivalent:
            mutant.outcome = "listed"
        else:
            original = mutant.path.read_text()
            try:
                mutant.path.write_text(mutant.source)
                mutant.outcome = self.build_and_test(mutant, compiled)
            finally:
                mutant.path.write_text(original)
        counts[mutant.outcome] += 1
        print(f"  {mutant.outcome:13} {time.monotonic() - started:4.0f} s  {mutant.path.name}:{mutant.line}  "
              f"{one_line(mutant.mutated)[:90]}", flush=True)
        return mutant

    def build_and_test(self, mutant, compiled):
        name = mutant.path.name
        if compiled:
            if not self.workspace.build():
                return "not compiling"
            if self.workspace.same_object(name):
                return "same object"
        if not self.passes(name):
            return "killed"
        # Judging survivors again, a C++ one also meets the sanitizer run of
        # the suite, which CI makes: an out-of-bounds read is seen only there.
        if compiled and self.args.rerun and self.workspace.sanitized(lambda: self.passes(name, sanitized=True)) is False:
            return "killed (asan)"
        return "survived"

    def passes(self, name, sanitized=False):
        """Whether the tests that concern the file pass, then the whole suite."""
        subset = SUBSETS.get(name, [])
        options = {"sanitizer_env": self.args.sanitizer_env} if sanitized else {}
        timeout = self.timeout * (3 if sanitized else 1)
        return all(self.workspace.pytest(tests, self.args.seed, self.args.fuzz_examples, timeout, **options)
                   for tests in ([subset] if subset else []) + [[]])


def cpp_sample(trial, names, wanted):
    """Mutants drawn in the seed's order until `wanted` of them compiled to a
    changed object, in batches sorted by file: only a change of file costs a
    second compile (of the restored original)."""
    pool = []
    for name in names:
        generated, kept = cpp_mutants(trial.workspace, name)
        trial.table[name] = Counter(generated=generated, filtered=generated - len(kept))
        pool += kept
    random.Random(trial.args.seed).shuffle(pool)
    done, changed = [], 0
    while changed < wanted and pool:
        share = changed / len(done) if changed else 0.4  # of the drawn mutants that reach the tests
        size = max(10, math.ceil((wanted - changed) / share))
        batch, pool = pool[:size], pool[size:]
        for mutant in sorted(batch, key=lambda mutant: (mutant.path.name, mutant.line)):
            done.append(trial.run(mutant, compiled=True))
            changed += mutant.outcome in ("killed", "survived")
    trial.workspace.build()  # the restored originals
    return done


def python_sample(trial, tools, names, wanted):
    """Per module, mutants drawn in the seed's order until `wanted` of them ran."""
    done = []
    for name in names:
        generated, kept = python_mutants(trial.workspace, tools, name)
        trial.table[name] = Counter(generated=generated, filtered=generated - len(kept))
        random.Random(f"{trial.args.seed}:{name}").shuffle(kept)
        ran = 0
        for mutation in kept:
            if ran >= wanted:
                break
            made = apply_python(tools, trial.workspace.package / PY_MODULES[name], mutation)
            if made is None:
                continue
            mutant = trial.run(made, compiled=False)
            done.append(mutant)
            ran += mutant.outcome in ("killed", "survived")
    return done


# ---- the report ------------------------------------------------------------------


def report(title, trial, done, seconds):
    columns = ["generated", "filtered", "sampled", *OUTCOMES]
    width = max(map(len, trial.table), default=4) + 2
    lines = [f"== {title}: {seconds / 60:.1f} minutes",
             "file".ljust(width) + "".join(f"{column:>15}" for column in columns)]
    total = Counter()
    for name, counts in sorted(trial.table.items()):
        total.update(counts)
        lines.append(name.ljust(width) + "".join(f"{counts[column]:>15}" for column in columns))
    lines.append("total".ljust(width) + "".join(f"{total[column]:>15}" for column in columns))
    lines.append("filtered: dropped before the draw as unobservable (code of a preprocessor branch for another "
                 "version, a prefetch hint's address, an annotation never evaluated; comments are never mutated); "
                 "same object: compiled to the original's object code; listed: judged equivalent in equivalent.txt")
    survivors = [mutant for mutant in done if mutant.outcome == "survived"]
    if survivors:
        lines.append("survivors (a line for equivalent.txt after each, to complete with the reason):")
        for mutant in survivors:
            lines += [mutant.diff().rstrip("\n"), f"{mutant.key}: ", ""]
    return lines, total["killed"], total["killed"] + total["survived"]


def rerun(trial, tools, report):
    """The survivors a report lists, run again after they were judged: a listed
    one is now equivalent, any other must be killed by the tests added since.
    Returns the report's kill rate as it now stands."""
    keys = [line[:-2] for line in report.read_text().splitlines() if re.fullmatch(r"\S+#\d+: `.*` -> `.*`: ", line)]
    counts = re.findall(r"^kill rate: [\d.]+% \((\d+) of (\d+)\)", report.read_text(), re.M)
    if not counts:
        sys.exit(f"mutants: {report} has no kill rate")
    killed, observable = map(int, counts[-1])
    wanted, found = set(keys), {}
    for name in sorted({key.split("#")[0] for key in keys}):
        trial.table[name] = Counter()
        if name.endswith(".cpp"):
            candidates = cpp_mutants(trial.workspace, name)[1]
        elif name in PY_MODULES:
            path = trial.workspace.package / PY_MODULES[name]
            candidates = (apply_python(tools, path, mutation) for mutation in python_mutants(trial.workspace, tools,
                                                                                              name)[1])
        else:
            candidates = ()  # a module that is gone: its survivors were rewritten with it
        for mutant in candidates:
            if mutant is not None and mutant.key in wanted and mutant.key not in found:
                found[mutant.key] = mutant
                if all(key in found for key in keys if key.startswith(name + "#")):
                    break
    for key in keys:
        if key not in found:
            # Its code was rewritten since: the survivor showed a fault in the
            # code rather than a gap in the tests. It leaves the count.
            print(f"  rewritten        {key[:110]}", flush=True)
            observable -= 1
            continue
        mutant = trial.run(found[key], compiled=key.split("#")[0].endswith(".cpp"))
        killed += mutant.outcome.startswith("killed")
        observable -= mutant.outcome == "listed"
    trial.workspace.build()  # the restored originals
    return killed, observable


def rate(killed, observable):
    return f"{100 * killed / observable:.1f}% ({killed} of {observable})" if observable else "n/a (none ran)"


def load_equivalent():
    keys = set()
    for line in EQUIVALENT.read_text().splitlines():
        match = re.match(r"(\S+#\d+: `.*?` -> `.*?`): \S", line)
        if match:
            keys.add(match[1])
    return keys


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--version", required=True, help="the CPython version, e.g. 3.13")
    parser.add_argument("--python", required=True, help="its interpreter")
    parser.add_argument("--prefix", default="", help="what runs a command of that version (tools/in-root)")
    parser.add_argument("--seed", type=int, help="repeats a run's draw (default: new)")
    parser.add_argument("--cpp", type=int, default=100, help="C++ mutants to reach that compile to a changed object")
    parser.add_argument("--python-per-module", type=int, default=20, help="Python mutants to run per module")
    parser.add_argument("--files", default="", help="comma-separated file names to mutate (default: all)")
    parser.add_argument("--rerun", type=Path, help="a report whose survivors run again, once judged")
    parser.add_argument("--sanitizer-env", default="",
                        help="VAR=value words the sanitizer run of the suite sets (make's SANITIZER_OPTIONS)")
    parser.add_argument("--fuzz-examples", type=int, default=10, help="FUZZ_EXAMPLES of the fuzzed tests")
    args = parser.parse_args()
    args.seed = args.seed if args.seed is not None else secrets.randbelow(10**9)
    args.sanitizer_env = dict(word.split("=", 1) for word in shlex.split(args.sanitizer_env))
    # SIGTERM restores the file as Ctrl-C does. SIGINT gets a handler even when
    # this run started with it ignored (in the background), so that the tests
    # start with it at its default: those of Ctrl-C would skip themselves.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    signal.signal(signal.SIGINT, signal.default_int_handler)
    print(f"mutants: seed {args.seed} (make mutants SEED={args.seed} repeats this draw)", flush=True)

    chosen = set(filter(None, args.files.split(",")))
    cpp_names = sorted(path.name for path in NATIVE.glob("*.cpp") if not chosen or path.name in chosen)
    py_names = sorted(name for name in PY_MODULES if not chosen or name in chosen)
    workspace = Workspace(args.version, args.python, shlex.split(args.prefix))
    lock = open(workspace.dir / "lock", "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)  # one run at a time per version: they share the copy
    except BlockingIOError:
        sys.exit(f"mutants: another run is using {workspace.dir.relative_to(ROOT)}")
    workspace.prepare()
    started = time.monotonic()
    if not workspace.pytest([], args.seed, args.fuzz_examples, timeout=1800):
        sys.exit(f"mutants: the suite fails without mutants\n{workspace.run.log.read_text()[-3000:]}")
    baseline = time.monotonic() - started
    timeout = 3 * baseline + 60
    print(f"mutants: the whole suite takes {baseline:.0f} s unmutated; a test run past {timeout:.0f} s counts as "
          "killed", flush=True)
    equivalent = load_equivalent()
    tools = Path(sys.executable).parent
    if args.rerun:
        print(f"== the survivors of {args.rerun} again", flush=True)
        killed, observable = rerun(Trial(workspace, args, timeout, equivalent), tools, args.rerun)
        print(f"kill rate: {rate(killed, observable)} of the mutants that can change behaviour, "
              f"{args.rerun.name} with its survivors judged")
        return
    lines, killed, observable = [], 0, 0
    for title, names, sample, wanted in [("C++", cpp_names, cpp_sample, args.cpp),
                                         ("Python", py_names, python_sample, args.python_per_module)]:
        if not names or not wanted:
            continue
        trial, started = Trial(workspace, args, timeout, equivalent), time.monotonic()
        print(f"== {title} mutants on CPython {args.version}", flush=True)
        done = sample(trial, names, wanted) if sample is cpp_sample else sample(trial, tools, names, wanted)
        block, block_killed, block_observable = report(f"{title} mutants, CPython {args.version}, seed {args.seed}",
                                                       trial, done, time.monotonic() - started)
        lines += block + [f"kill rate ({title}): {rate(block_killed, block_observable)} of the mutants that can "
                          "change behaviour", ""]
        killed, observable = killed + block_killed, observable + block_observable
    lines.append(f"kill rate: {rate(killed, observable)} of the mutants that can change behaviour, seed {args.seed}")
    text = "\n".join(lines)
    saved = workspace.dir.parent / f"report-{args.version}-{args.seed}.txt"
    saved.write_text(text + "\n")
    print(f"\n(also in {saved.relative_to(ROOT)})\n{text}")


if __name__ == "__main__":
    main()

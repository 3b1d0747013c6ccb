"""The framework's api/ pieces driven directly, through a module built only for these
tests (tests/framework/pftest.cpp): its state record, traversed and cleared with the
module, a holder outside the record refused at import, Pristine, TypeMemo, walk_items."""
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

pytestmark = pytest.mark.quick  # the part of the suite `tools/dev compilers` runs

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCE = ROOT / "tests" / "framework" / "pftest.cpp"
COMPILER = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")


@pytest.fixture(scope="module")
def build(tmp_path_factory):
    """build(*defines) -> the folder holding pftest built with those macros defined."""
    if not COMPILER:
        pytest.skip("no C++ compiler on PATH")
    built = {}

    def make(*defines):
        if defines not in built:
            folder = tmp_path_factory.mktemp("pftest")
            flags = ["-std=c++20", "-shared", "-fPIC", "-O1", "-fvisibility=hidden", "-Wall", "-Wextra",
                     "-Wpedantic", "-Werror", f"-I{ROOT / 'src' / 'pyframe'}",
                     f"-I{sysconfig.get_paths()['include']}", *(f"-D{d}" for d in defines)]
            if sysconfig.get_config_var("Py_DEBUG"):
                flags.append("-DPy_DEBUG")
            out = folder / ("pftest" + sysconfig.get_config_var("EXT_SUFFIX"))
            proc = subprocess.run([COMPILER, *flags, str(SOURCE), "-o", str(out)], capture_output=True, text=True)
            assert proc.returncode == 0, proc.stderr
            built[defines] = out
        return built[defines]

    return make


def run(path, code):
    """Runs `code` in a fresh interpreter with `mod` the test module loaded from `path`."""
    script = textwrap.dedent(f"""
        import gc, importlib.util, sys, weakref
        import vornal.datastructures
        def load():
            spec = importlib.util.spec_from_file_location("vornal.datastructures.pftest", {str(path)!r})
            mod = importlib.util.module_from_spec(spec)
            sys.modules[spec.name] = mod
            spec.loader.exec_module(mod)
            return mod
    """) + textwrap.dedent(code)
    proc = subprocess.run([sys.executable, "-u", "-P", "-c", script], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.split()


def test_the_state_record_is_traversed_and_cleared_with_the_module(build):
    # What the record holds is reported to the collector through the module, goes
    # when the module goes, and a new load starts with an empty record.
    out = run(build(), """
        mod = load()
        class Obj: pass
        obj = Obj()
        mod.keep(obj)
        print(mod.kept() is obj, obj in gc.get_referents(mod))
        gone = weakref.ref(obj)
        del obj
        print(gone() is not None)
        del sys.modules["vornal.datastructures.pftest"], mod
        gc.collect()
        print(gone() is None)
        print(load().kept())
    """)
    assert out == ["True", "True", "True", "True", "None"]


def test_a_function_or_class_defined_without_a_docstring_has_none(build):
    assert run(build(), "mod = load(); print(mod.keep.__doc__, mod.Probe.__doc__)") == ["None", "None"]


def test_a_holder_outside_the_state_record_refuses_the_import(build):
    out = run(build("PFTEST_STRAY"), """
        try:
            load()
        except SystemError as e:
            print(e)
    """)
    assert " ".join(out) == ("vornal.datastructures.pftest keeps per-interpreter state outside its state "
                             "record (PF_STATE)")


def test_pristine_memo_and_walk(build):
    out = run(build(), """
        mod = load()
        print(mod.probe_unchanged())
        mod.Probe.extra = 1            # a change to the class the module made
        print(mod.probe_unchanged())
        class C: pass
        print(mod.memo_of(1), mod.memo_of(2), mod.memo_of(""), mod.memo_of(C()), mod.memo_of(C()))
        C.x = 1                        # a new version tag: computed again
        print(mod.memo_of(C()))
        print(mod.first_truthy([0, "", 3, 4]), mod.first_truthy(iter([0, 5])), mod.first_truthy((0, "")))
        items = [0, 0]
        class Grows:
            def __bool__(self):
                items.append(7)        # the walk reads the list's length at every step
                return False
        items.insert(1, Grows())
        print(mod.first_truthy(items))
        def broken():
            yield 0
            raise KeyError("walked")
        try:
            mod.first_truthy(broken())
        except KeyError as e:
            print(e)
    """)
    assert out == ["True", "False", "1", "1", "2", "3", "3", "4", "3", "5", "None", "7", "'walked'"]

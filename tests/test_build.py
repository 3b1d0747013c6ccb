"""The extension modules imported are the ones the build under test made, and each shows
the outside nothing but its init function.

tools/dev tells every pytest run which compiler family (CMake's id: GNU, Clang) and
which C++ library built the modules it tests (VORNAL_EXPECT_CXX, VORNAL_EXPECT_STDLIB);
a module left over from another build, or found first on sys.path, fails here."""

import importlib
import os

import pytest
from elfinfo import Elf

pytestmark = pytest.mark.quick  # the part of the suite `tools/dev compilers` runs

MODULES = ["fieldmap", "configuration", "flatnest", "refsequence", "logic", "branch", "sharedattr"]
EXPECT_CXX = os.environ.get("VORNAL_EXPECT_CXX", "")
EXPECT_STDLIB = os.environ.get("VORNAL_EXPECT_STDLIB", "")


def elf_of(name):
    return Elf(importlib.import_module(f"vornal.datastructures.{name}").__file__)


@pytest.mark.parametrize("name", MODULES)
def test_built_by_the_expected_compiler_and_library(name):
    if not EXPECT_CXX:
        pytest.skip("run by tools/dev, which names the compiler that built the modules (VORNAL_EXPECT_CXX)")
    elf = elf_of(name)
    # The linker gathers one .comment line per compiler that wrote an object: the C
    # runtime's start files are GCC's whatever compiled the module.
    by_clang = any("clang version" in line for line in elf.comment())
    assert by_clang == (EXPECT_CXX == "Clang"), (EXPECT_CXX, elf.comment())
    assert EXPECT_CXX in ("GNU", "Clang")
    needed = elf.needed()
    assert ("libc++.so.1" in needed) == (EXPECT_STDLIB == "libc++"), needed
    if EXPECT_STDLIB == "libc++":
        assert "libstdc++.so.6" not in needed


@pytest.mark.parametrize("name", MODULES)
def test_only_the_init_function_is_exported(name):
    # Hidden visibility: neither the framework nor a C++ runtime linked into the module
    # can bind to, or be replaced by, the same names in another module.
    assert elf_of(name).exported() == [f"PyInit_{name}"]

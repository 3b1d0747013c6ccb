"""What the installed distribution carries: the extension modules with their
stubs, the vornal-config command (the subpackage cli), the license and the README as long description, and nothing of the
sources or the build, and a tag a package index accepts. Run by tools/dev wheel-test
against the wheel itself."""

import importlib
import importlib.metadata
import json
import os
import platform
import re
import sys
import sysconfig

import pytest

import vornal.datastructures

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DIST = importlib.metadata.distribution("vornal-datastructures")
FILES = sorted(str(f) for f in DIST.files)
MODULES = ["fieldmap", "configuration", "flatnest", "refsequence", "logic", "branch", "sharedattr"]
INFO = f"vornal_datastructures-{DIST.version}.dist-info"

SHIPPED = re.compile(
    r"vornal/datastructures/(\w+\.pyi?|py\.typed|\w+\.cpython-\d+[a-z]*-[\w-]+\.so|__pycache__/\w+\.cpython-\d+[a-z]*\.pyc)"
    r"|vornal/datastructures/cli/(__pycache__/)?\w+\.(py|cpython-\d+[a-z]*\.pyc)"  # the vornal-config command
    rf"|{re.escape(INFO)}/(METADATA|WHEEL|RECORD|INSTALLER|REQUESTED|direct_url\.json|entry_points\.txt"
    r"|licenses/LICENSE)"
    r"|\.\./\.\./\.\./bin/[\w-]+")  # console scripts


def test_the_modules_imported_are_the_installed_ones():
    installed = {os.path.realpath(DIST.locate_file(f)) for f in DIST.files}
    for name in ["__init__", *MODULES]:
        module = importlib.import_module("vornal.datastructures" + ("" if name == "__init__" else "." + name))
        assert os.path.realpath(module.__file__) in installed
    assert os.path.realpath(os.path.dirname(vornal.datastructures.__file__)).startswith(
        os.path.realpath(sysconfig.get_path("platlib")) + os.sep)


def test_only_modules_stubs_and_metadata_are_shipped():
    assert [f for f in FILES if not SHIPPED.fullmatch(f)] == []
    extensions = sorted(f.split("/")[-1].split(".")[0] for f in FILES if f.endswith(".so"))
    stubs = sorted(f.split("/")[-1][:-4] for f in FILES if f.endswith(".pyi"))
    assert extensions == stubs == sorted(MODULES)
    assert "vornal/datastructures/py.typed" in FILES


def test_license_and_long_description():
    assert DIST.read_text("licenses/LICENSE").startswith("MIT License\n\nCopyright (c) 2026 The vornal developers\n")
    meta = DIST.metadata
    assert meta["License-Expression"] == "MIT" and meta.get_all("License-File") == ["LICENSE"]
    assert meta["Description-Content-Type"] == "text/markdown"
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        assert meta.get_payload() == f.read()
    assert [r for r in meta.get_all("Requires-Dist") if "extra ==" not in r] == ["PyYAML", "vornal-utils"]


def installed_from_a_source_tree():
    """pip records a folder it built the project from (the venvs of tools/dev); an
    installed wheel file has no such record."""
    text = DIST.read_text("direct_url.json")
    return text is not None and "dir_info" in json.loads(text)


def test_the_wheel_carries_a_manylinux_tag_of_this_platform():
    if installed_from_a_source_tree():
        pytest.skip("installed from the source tree, not from a wheel (tools/dev wheel-test installs the wheel)")
    tags = [line.split(":", 1)[1].strip() for line in DIST.read_text("WHEEL").splitlines() if line.startswith("Tag:")]
    assert tags
    abi = f"cp{sys.version_info.major}{sys.version_info.minor}"
    for tag in tags:
        interpreter, abi_tag, plat = tag.split("-")
        assert (interpreter, abi_tag) == (abi, abi + sys.abiflags)
        manylinux = re.fullmatch(r"manylinux_(\d+)_(\d+)_(\w+)", plat)
        assert manylinux, f"{tag} is not a manylinux tag"
        major, minor, arch = manylinux.groups()
        assert arch == platform.machine()
        # The running C library must be at least as new as the policy's.
        libc, version = platform.libc_ver()
        assert libc == "glibc" and tuple(map(int, version.split("."))) >= (int(major), int(minor)), (tag, version)

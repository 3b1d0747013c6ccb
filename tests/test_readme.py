"""The README's examples run as they are written."""
import doctest
import pathlib

import pytest

pytestmark = pytest.mark.quick  # the part of the suite `tools/dev compilers` runs

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_readme_examples():
    failures, tried = doctest.testfile(str(README), module_relative=False, optionflags=doctest.ELLIPSIS)
    assert tried > 20 and failures == 0


def _cli_examples():
    """(command line, expected output) of each `$ vornal-config` block of the README."""
    import re

    for block in re.findall(r"```\n(\$ vornal-config .*?)```", README.read_text(), re.DOTALL):
        first, _, rest = block.partition("\n")
        yield first[2:], rest


def test_readme_cli_examples_print_what_they_show():
    import os
    import pathlib
    import shlex
    import subprocess
    import sys

    examples = list(_cli_examples())
    assert len(examples) >= 4
    command = pathlib.Path(sys.executable).parent / "vornal-config"
    env = {k: v for k, v in os.environ.items() if not k.startswith("VORNAL_DEMO_")}
    for line, expected in examples:
        args = shlex.split(line)[1:]
        r = subprocess.run([str(command), *args], cwd=README.parent / "examples" / "config", env=env,
                           capture_output=True, text=True, timeout=60)
        assert r.stderr + r.stdout == expected, line

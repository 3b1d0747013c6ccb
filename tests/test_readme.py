"""The README's examples run as they are written."""
import doctest
import pathlib

import pytest

pytestmark = pytest.mark.quick  # the part of the suite `tools/dev compilers` runs

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_readme_examples():
    failures, tried = doctest.testfile(str(README), module_relative=False, optionflags=doctest.ELLIPSIS)
    assert tried > 20 and failures == 0


CLI_PAGES = (README, README.parent / "docs" / "cli.rst")


def _cli_examples():
    """(page, command line, expected output) of each `$ vornal-config` block of the README
    (a ``` fence) and of the command's page (an indented `.. code-block:: console`)."""
    import re
    import textwrap

    fenced = r"```\n(\$ vornal-config .*?)```"
    indented = r"\.\. code-block:: console\n\n(   \$ vornal-config .*?\n)(?=\S|\n\S|\Z)"
    for page in CLI_PAGES:
        for block in re.findall(f"{fenced}|{indented}", page.read_text(), re.DOTALL):
            first, _, rest = textwrap.dedent(block[0] or block[1]).partition("\n")
            yield page.name, first[2:], rest


def test_readme_cli_examples_print_what_they_show():
    import os
    import pathlib
    import shlex
    import subprocess
    import sys

    examples = list(_cli_examples())
    assert sum(page == "cli.rst" for page, _, _ in examples) >= 6
    command = pathlib.Path(sys.executable).parent / "vornal-config"
    env = {k: v for k, v in os.environ.items() if not k.startswith("VORNAL_DEMO_")}
    for page, line, expected in examples:
        args = shlex.split(line)[1:]
        r = subprocess.run([str(command), *args], cwd=README.parent / "examples" / "config", env=env,
                           capture_output=True, text=True, timeout=60)
        assert r.stderr + r.stdout == expected, f"{page}: {line}"

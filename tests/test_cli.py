"""vornal-config, run as a user runs it: the installed command on real files."""
import json
import os
import pathlib
import subprocess
import sys

import pytest

COMMAND = pathlib.Path(sys.executable).parent / "vornal-config"

INI = """\
[DEFAULT]
root = ${CLI_TEST_ROOT}/srv

[db]
host = localhost
port = 5432
password = $CLI_TEST_UNSET
"""
YAML = """\
db:
  host: db.internal
server:
  hosts: [a, b]
  ratio: 0.5
"""


@pytest.fixture
def files(tmp_path):
    (tmp_path / "base.ini").write_text(INI)
    (tmp_path / "site.yaml").write_text(YAML)
    return tmp_path


def run(folder, *args, module=False):
    env = {k: v for k, v in os.environ.items() if not k.startswith("CLI_TEST_")}
    env["CLI_TEST_ROOT"] = "/opt"
    command = [sys.executable, "-m", "vornal.datastructures"] if module else [str(COMMAND)]
    return subprocess.run(command + list(args), cwd=folder, env=env, capture_output=True, text=True, timeout=60)


def test_tree_shows_values_with_their_types(files):
    r = run(files, "show", "base.ini", "site.yaml")
    assert r.returncode == 0, r.stderr
    assert r.stdout == (
        "base.ini + site.yaml\n"
        "|-- db\n"
        "|   |-- host = 'db.internal'  (str)\n"
        "|   |-- port = 5432  (int)\n"
        "|   |-- password = ''  (str)\n"
        "|   `-- root = '/opt/srv'  (str)\n"
        "`-- server\n"
        "    |-- hosts\n"
        "    |   |-- [0] = 'a'  (str)\n"
        "    |   `-- [1] = 'b'  (str)\n"
        "    `-- ratio = 0.5  (float)\n")
    # The loader's record for the unset variable, in logging's standard format.
    assert r.stderr == ("WARNING:vornal.datastructures.configuration:Environment variable(s) CLI_TEST_UNSET "
                        "referenced by [db] password are not set; substituting an empty string.\n")


def test_flat_with_origin_and_the_module_entry(files):
    r = run(files, "show", "--flat", "--origin", "base.ini", "site.yaml", module=True)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "db.host = 'db.internal'  [site.yaml]",
        "db.port = 5432  [base.ini]",
        "db.password = ''  [base.ini]",
        "db.root = '/opt/srv'  [base.ini]",
        "server.hosts[0] = 'a'  [site.yaml]",
        "server.hosts[1] = 'b'  [site.yaml]",
        "server.ratio = 0.5  [site.yaml]",
    ]
    assert r.stderr.count("WARNING:") == 1  # the origin pass loads quietly


def test_json_and_filter(files):
    r = run(files, "show", "--json", "base.ini", "site.yaml")
    assert json.loads(r.stdout) == {"db": {"host": "db.internal", "port": 5432, "password": "", "root": "/opt/srv"},
                                    "server": {"hosts": ["a", "b"], "ratio": 0.5}}
    r = run(files, "show", "--json", "--filter", "And('^db', Not('password|root'))", "base.ini", "site.yaml")
    assert json.loads(r.stdout) == {"db": {"host": "db.internal", "port": 5432}}
    r = run(files, "show", "--flat", "--filter", "Or('ratio$')", "base.ini", "site.yaml")
    assert r.stdout == "server.ratio = 0.5\n"


@pytest.mark.parametrize("args, code, out, err", [
    (["get", "db.port", "base.ini", "site.yaml"], 0, "5432\n", ""),
    (["get", "db.host", "base.ini", "site.yaml"], 0, "db.internal\n", ""),
    (["show", "--get", "server.hosts", "base.ini", "site.yaml"], 0, "['a', 'b']\n", ""),
    (["get", "db.nope", "base.ini"], 1, "", "vornal-config: key not found: db.nope\n"),
    (["get", "db.port.x", "base.ini"], 1, "", "vornal-config: key not found: db.port.x\n"),
    (["show", "--filter", "And(", "base.ini"], 2, "",
     "vornal-config: --filter: Not a properly formatted logic string: And(\n"),
    (["show", "notes.txt"], 2, "", "vornal-config: notes.txt: unknown file type "
                                   "(expected .ini, .cfg, .conf, .yaml, .yml)\n"),
])
def test_values_and_usage_errors(files, args, code, out, err):
    r = run(files, *args)
    assert (r.returncode, r.stdout) == (code, out)
    assert r.stderr.replace(_WARNING, "") == err


_WARNING = ("WARNING:vornal.datastructures.configuration:Environment variable(s) CLI_TEST_UNSET referenced by "
            "[db] password are not set; substituting an empty string.\n")


def test_missing_and_unreadable_files_are_skipped(files):
    (files / "folder.yaml").mkdir()
    r = run(files, "show", "--flat", "missing.ini", "folder.yaml", "site.yaml")
    assert r.returncode == 0
    assert r.stderr == "vornal-config: skipped missing.ini: no such file\nvornal-config: skipped folder.yaml: is a folder\n"
    assert r.stdout.splitlines()[0] == "db.host = 'db.internal'"


@pytest.mark.parametrize("name, text, where", [
    ("bad.ini", "key = 1\n", "bad.ini:1: MissingSectionHeaderError:"),
    ("bad.ini", "[a]\nx = 1\nx = 2\n", "bad.ini:3: DuplicateOptionError:"),
    ("bad.cfg", "[a]\n  indented\n", "bad.cfg:2: ParsingError:"),
    ("bad.yaml", "a: [1,\nb: 2\n", "bad.yaml:3: ParserError:"),
    ("bad.yml", "a: b: c\n", "bad.yml:1: ScannerError:"),
])
def test_malformed_files_give_one_line_and_exit_2(files, name, text, where):
    (files / name).write_text(text)
    r = run(files, "show", "site.yaml", name)
    assert r.returncode == 2 and r.stdout == ""
    assert len(r.stderr.splitlines()) == 1 and r.stderr.startswith(f"vornal-config: {where}")
    r = run(files, "show", "--debug", "site.yaml", name)
    assert r.returncode == 2 and "Traceback (most recent call last)" in r.stderr


@pytest.mark.parametrize("args", [["--help"], ["show", "--help"], ["get", "--help"]])
def test_help(files, args):
    r = run(files, *args)
    assert r.returncode == 0 and "examples:" in r.stdout and "exit status" in r.stdout


def test_entrypoint_layer(files):
    site = files / "site-packages"
    info = site / "cli_probe-1.0.dist-info"
    info.mkdir(parents=True)
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: cli-probe\nVersion: 1.0\n")
    (info / "entry_points.txt").write_text("[cli.test.group]\nextra = cli_probe:CONFIG\n")
    (site / "cli_probe.py").write_text("CONFIG = {'db': {'pool': '7'}}\n")
    env_path = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = str(site) + (os.pathsep + env_path if env_path else "")
    try:
        r = run(files, "show", "--flat", "--origin", "--entrypoint", "cli.test.group", "site.yaml")
    finally:
        if env_path is None:
            del os.environ["PYTHONPATH"]
        else:
            os.environ["PYTHONPATH"] = env_path
    assert "db.pool = 7  [entry points cli.test.group]" in r.stdout.splitlines()

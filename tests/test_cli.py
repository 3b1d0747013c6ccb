"""vornal-config: most cases in-process through main(argv); real runs of the installed command where the
process matters (exit status, pipes, standard input, signals, file kinds)."""
import contextlib
import io
import json
import os
import pathlib
import re
import socket
import subprocess
import sys
import tempfile
import threading

import pytest
import yaml
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vornal.datastructures import __version__
from vornal.datastructures.cli import main
from vornal.datastructures.cli.commands import DEFAULT_REDACT
from vornal.datastructures.cli.errors import CliError
from vornal.datastructures.cli.present import Presenter, json_document, json_tree, to_json, walk
from vornal.datastructures.cli.syntax import FilterError, Index, parse_filter, parse_path, render_path
from vornal.datastructures.configuration import Configuration
from vornal.datastructures.logic import And, Not, Or, logic_str

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
# db.password is masked; the name of the variable it refers to is not a secret, and the user needs it
WARNING = ("vornal-config: warning: base.ini:7: Environment variable(s) CLI_TEST_UNSET referenced by [db] "
           "password are not set; substituting an empty string.\n")


@pytest.fixture
def files(tmp_path, monkeypatch):
    (tmp_path / "base.ini").write_text(INI)
    (tmp_path / "site.yaml").write_text(YAML)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("CLI_TEST_ROOT", "/opt")
    monkeypatch.delenv("CLI_TEST_UNSET", raising=False)
    return tmp_path


def cli(*args, stdin=b""):
    """main(args) in this process: (status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    fake_stdin = io.TextIOWrapper(io.BytesIO(stdin))
    saved = sys.stdin
    sys.stdin = fake_stdin
    try:
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            try:
                status = main(list(args))
            except SystemExit as exc:
                status = exc.code
    finally:
        sys.stdin = saved
    return status, out.getvalue(), err.getvalue()


def run(folder, *args, stdin=None, module=False, **kw):
    """The installed command (or python -m) in a process of its own."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("CLI_TEST_")}
    env["CLI_TEST_ROOT"] = "/opt"
    env.update(kw.pop("env", {}))
    command = [sys.executable, "-m", "vornal.datastructures"] if module else [str(COMMAND)]
    if kw.pop("python", False):
        command = [sys.executable]
    kw.setdefault("stdout", subprocess.PIPE)
    kw.setdefault("stderr", subprocess.PIPE)
    return subprocess.run(command + list(args), cwd=folder, env=env, input=stdin, timeout=120, **kw)


def test_tree_shows_values_with_their_types(files):
    status, out, err = cli("show", "base.ini", "site.yaml")
    assert status == 0
    assert out == (
        "base.ini + site.yaml\n"
        "|-- db\n"
        "|   |-- host = 'db.internal'  (str)\n"
        "|   |-- port = 5432  (int)\n"
        "|   |-- password = <redacted>  (str)\n"
        "|   `-- root = '/opt/srv'  (str)\n"
        "`-- server\n"
        "    |-- hosts\n"
        "    |   |-- [0] = 'a'  (str)\n"
        "    |   `-- [1] = 'b'  (str)\n"
        "    `-- ratio = 0.5  (float)\n")
    assert err == WARNING


def test_flat_with_origin_lines_through_the_module_entry(files):
    r = run(files, "show", "--flat", "--origin", "base.ini", "site.yaml", module=True, text=True)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "db.host = 'db.internal'  (str)  [site.yaml:2]",
        "db.port = 5432  (int)  [base.ini:6]",
        "db.password = <redacted>  (str)  [base.ini:7]",
        "db.root = '/opt/srv'  (str)  [base.ini:2]",
        "server.hosts[0] = 'a'  (str)  [site.yaml:4]",
        "server.hosts[1] = 'b'  (str)  [site.yaml:4]",
        "server.ratio = 0.5  (float)  [site.yaml:5]",
    ]
    assert r.stderr == WARNING


def test_json_and_filter(files):
    _, out, _ = cli("show", "--json", "base.ini", "site.yaml")
    assert json.loads(out) == {"db": {"host": "db.internal", "port": 5432, "password": "<redacted>", "root": "/opt/srv"},
                               "server": {"hosts": ["a", "b"], "ratio": 0.5}}
    _, out, _ = cli("show", "--json", "--filter", "And('^db', Not('password|root'))", "base.ini", "site.yaml")
    assert json.loads(out) == {"db": {"host": "db.internal", "port": 5432}}
    _, out, _ = cli("show", "--json", "--filter", r"hosts\[1\]", "base.ini", "site.yaml")
    assert json.loads(out) == {"server": {"hosts": ["b"]}}
    _, out, _ = cli("show", "--flat", "--filter", "Or('ratio$')", "base.ini", "site.yaml")
    assert out == "server.ratio = 0.5  (float)\n"
    _, out, _ = cli("show", "--json", "--origin", "--filter", "port", "base.ini", "site.yaml")
    assert json.loads(out) == {"values": {"db": {"port": 5432}}, "origins": {"db.port": "base.ini:6"}}


@pytest.mark.parametrize("args, code, out, err", [
    (["get", "db.port", "base.ini", "site.yaml"], 0, "5432\n", ""),
    (["get", "db.host", "base.ini", "site.yaml"], 0, "db.internal\n", ""),
    (["get", "server.hosts[1]", "site.yaml"], 0, "b\n", ""),
    (["get", "server.ratio", "site.yaml"], 0, "0.5\n", ""),
    (["show", "--get", "server.hosts", "site.yaml"], 0, '[\n  "a",\n  "b"\n]\n', ""),
    (["get", "server", "site.yaml"], 0, '{\n  "hosts": [\n    "a",\n    "b"\n  ],\n  "ratio": 0.5\n}\n', ""),
    (["get", "db.nope", "base.ini"], 1, "", "vornal-config: key not found: db.nope\n"),
    (["get", "db.port.x", "base.ini"], 1, "", "vornal-config: key not found: db.port.x\n"),
    (["get", "server.hosts[2]", "site.yaml"], 1, "", "vornal-config: key not found: server.hosts[2]\n"),
    (["get", "server[0]", "site.yaml"], 1, "", "vornal-config: key not found: server[0]\n"),
    (["get", "db..port", "site.yaml"], 2, "", "vornal-config: not a path: db..port: expected a key at position 3, "
                                             "found '.'\n"),
    (["show", "--filter", "And(", "base.ini"], 2, "", "vornal-config: --filter: expected a string or a call at "
                                                      "position 4, found the end\n"),
    (["show", "notes.txt"], 2, "", "vornal-config: notes.txt: unknown file type "
                                   "(expected .ini, .cfg, .conf, .yaml, .yml, or give --type)\n"),
    (["show", "-"], 2, "", "vornal-config: standard input (-) needs --type ini or --type yaml\n"),
    (["show", "--type", "yaml", "-", "-"], 2, "", "vornal-config: standard input (-) can be read only once\n"),
])
def test_values_and_usage_errors(files, args, code, out, err):
    status, stdout, stderr = cli(*args)
    assert (status, stdout) == (code, out)
    assert stderr.replace(WARNING, "") == err


@pytest.mark.parametrize("args, message", [
    (["show", "--get", "db", "--filter", "x", "site.yaml"], "argument --filter: not allowed with argument --get"),
    (["show", "--get", "db", "--origin", "site.yaml"], "argument --origin: not allowed with argument --get"),
    (["show", "--flat", "--json", "site.yaml"], "argument --json: not allowed with argument --flat"),
    (["show"], "give at least one FILE or --entrypoint"),
    (["shwo", "site.yaml"], "maybe you meant 'show'?"),
    (["show", "--type", "toml", "x"], "invalid choice: 'toml'"),
])
def test_options_that_cannot_apply_together_are_refused(files, args, message):
    status, out, err = cli(*args)
    assert status == 2 and out == "" and message in err


def test_missing_and_unreadable_files_fail_unless_optional(files):
    (files / "folder.yaml").mkdir()
    status, out, err = cli("show", "--flat", "missing.ini", "site.yaml", "--optional", "missing.ini")
    assert (status, err) == (0, "") and out.startswith("db.host = 'db.internal'")
    assert cli("show", "site.yaml", "missing.ini") == (
        2, "", "vornal-config: missing.ini: no such file (give --optional missing.ini if it may be missing)\n")
    assert cli("show", "folder.yaml", "--optional", "folder.yaml") == (
        2, "", "vornal-config: folder.yaml: is a folder, not a file\n")
    assert cli("show", "--strict", "base.ini")[1:] == ("", WARNING.replace(" warning:", "")[:-1] + " (--strict)\n")


@pytest.mark.parametrize("name, text, where", [
    ("bad.ini", "key = 1\n", "bad.ini:1: MissingSectionHeaderError:"),
    ("bad.ini", "[a]\nx = 1\nx = 2\n", "bad.ini:3: DuplicateOptionError:"),
    ("bad.cfg", "[a]\n  indented\n", "bad.cfg:2: ParsingError:"),
    ("bad.yaml", "a: [1,\nb: 2\n", "bad.yaml:3: ParserError:"),
    ("bad.yml", "a: b: c\n", "bad.yml:1: ScannerError: mapping values are not allowed here"),
    ("pct.ini", "[s]\nx = 1\nratio = 100%\n", "pct.ini:3: [s] ratio: invalid interpolation syntax in '100%' at "
                                                "position 3; write %% for a literal %"),
    ("log.ini", "[formatter_plain]\nformat = %(asctime)s %(message)s\n",
     "log.ini:2: [formatter_plain] format: %(asctime)s names no option of [formatter_plain]; write %% for a literal %"),
    ("pct2.ini", "[DEFAULT]\nfmt = %(x\n[s]\n", "pct2.ini:2: [DEFAULT] fmt: invalid interpolation syntax in '%(x' at position 0"),
    ("top.yaml", "- 1\n- 2\n", "top.yaml:1: the document is a list; a configuration file holds a mapping"),
    ("scalar.yaml", "hello\n", "scalar.yaml:1: the document is a single value;"),
    ("two.yaml", "a: 1\n---\nb: 2\n", "two.yaml:2: ComposerError: expected a single document in the stream, but found another document"),
    ("clash.yaml", "db:\n  port: 5\n", "clash.yaml:1: db must be a mapping here, but site.yaml"),
    ("dotted.yaml", "db.host.name: x\n", "dotted.yaml:1: db.host must be a mapping here (for db.host.name), "
                                         "but site.yaml:2 set it to a value"),
    ("setup.cfg", "[options]\npackages = find:\n\n[options.packages.find]\nwhere = src\n",
     "setup.cfg:4: options.packages must be a section here (for options.packages.find), but setup.cfg:2 set it"),
    ("self.yaml", "a: &x [1, *x]\n", "self.yaml:1: an alias refers to a node that contains it"),
])
def test_malformed_files_give_one_line_and_exit_2(files, name, text, where):
    (files / "base.yaml").write_text("db: 5\n")
    (files / name).write_text(text)
    layers = ["site.yaml", "base.yaml", name] if name == "clash.yaml" else ["site.yaml", name]
    if name == "clash.yaml":
        where = where.replace("site.yaml", "base.yaml:1 set it to a value")
    status, out, err = cli("show", *layers)
    assert status == 2 and out == ""
    assert len(err.splitlines()) == 1 and err.startswith(f"vornal-config: {where}"), err
    status, out, err = cli("show", "--debug", *layers)
    assert status == 2 and "Traceback (most recent call last)" in err


def test_help_and_version(files):
    status, out, _ = cli("--help")
    assert status == 0 and out.count("examples:") == 1 and "exit status" in out and "INI dialect" in out
    for command in ("show", "get", "diff", "explain"):
        status, out, _ = cli(command, "--help")
        assert status == 0 and "examples:" not in out and "vornal-config --help` for examples" in out
    assert cli("--version") == (0, f"vornal-config {__version__}\n", "")
    import importlib.metadata

    assert __version__ == importlib.metadata.version("vornal-datastructures")


def test_colour_follows_no_color(files):
    coloured = run(files, "shwo", "x.yaml", env={"FORCE_COLOR": "1"}, text=True)
    plain = run(files, "shwo", "x.yaml", env={"FORCE_COLOR": "1", "NO_COLOR": "1"}, text=True)
    assert coloured.returncode == plain.returncode == 2
    assert "\x1b[" in coloured.stderr and "\x1b[" not in plain.stderr
    assert "maybe you meant 'show'?" in plain.stderr


# --- entry points ---------------------------------------------------------------------------


@pytest.fixture
def entry_points(files, monkeypatch):
    site = files / "site-packages"
    info = site / "cli_probe-1.0.dist-info"
    info.mkdir(parents=True)
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: cli-probe\nVersion: 1.0\n")
    (info / "entry_points.txt").write_text("[cli.test.group]\nextra = cli_probe:CONFIG\nbroken = cli_probe:NOPE\n"
                                           "[cli.test.bad]\nmissing = no_such_module:X\n")
    (site / "cli_probe.py").write_text("CONFIG = {'db': {'pool': '7'}}\n")
    monkeypatch.syspath_prepend(str(site))
    import importlib

    importlib.invalidate_caches()
    return site


@pytest.mark.parametrize("args, code, out, err", [
    (["show", "--flat", "--origin", "--entrypoint", "cli.test.group", "site.yaml"], 0,
     "db.pool = 7  (int)  [entry point cli.test.group:extra]",
     "vornal-config: warning: entry point cli.test.group:broken: cannot be loaded: AttributeError:"),
    (["show", "--strict", "--entrypoint", "cli.test.group", "site.yaml"], 2, None,
     "vornal-config: entry point cli.test.group:broken: cannot be loaded: AttributeError:"),
    (["show", "--entrypoint", "cli.test.bad"], 0, None,
     "vornal-config: warning: entry point cli.test.bad:missing: cannot be loaded: ModuleNotFoundError: "
     "No module named 'no_such_module'"),
    (["show", "--entrypoint", "cli.test.none", "site.yaml"], 0, None,
     "vornal-config: warning: entry points cli.test.none: no entry point is installed in this group"),
    (["show", "--strict", "--entrypoint", "cli.test.none", "site.yaml"], 2, None,
     "vornal-config: entry points cli.test.none: no entry point is installed in this group (--strict)"),
])
def test_entry_points(entry_points, args, code, out, err):
    status, stdout, stderr = cli(*args)
    assert status == code
    if out:
        assert out in stdout.splitlines()
    assert len(stderr.splitlines()) == 1 and stderr.startswith(err), stderr


# --- the installed command on real-world and hostile files ---------------------------------

SETUP_CFG = """\
[metadata]
name = example
version = attr: example.__version__

[options]
packages = find:
install_requires =
    requests>=2
    pyyaml

[options.packages.find]
where = src
"""
TOX_INI = """\
[tox]
envlist = py312, py313, lint

[testenv]
deps = pytest
commands = pytest {posargs:tests}

[testenv:lint]
commands = ruff check .
"""
LOGGING_INI = """\
[loggers]
keys = root

[formatter_plain]
format = %%(asctime)s %%(levelname)s %%(message)s
datefmt = %%H:%%M
"""
WORKFLOW = """\
name: CI
on:
  push:
    branches: [main]
jobs:
  test:
    runs-on: ubuntu-latest
    steps:
      - uses: actions/checkout@v4
      - run: pip install . && pytest
"""
SCHEMA = """\
type: object
properties:
  tags:
    type: array
    items: {type: string}
  keys: {type: object}
required: [tags]
"""
MYPY_INI = """\
[mypy]
strict = True

[mypy-yaml.*]
ignore_missing_imports = True
"""
BOMB = "a: &a [" + ",".join(['"lol"'] * 9) + "]\n" + "".join(
    f"{c}: &{c} [{','.join(['*' + p] * 9)}]\n" for p, c in zip("abcdefgh", "bcdefghi"))


def _fifo(folder):
    path = folder / "pipe.yaml"
    os.mkfifo(path)

    def feed():
        with open(path, "w") as stream:
            stream.write("fifo: 1\n")

    threading.Thread(target=feed, daemon=True).start()
    return "pipe.yaml"


def _socket(folder):
    # The socket's file stays in the folder after the socket is closed.
    with socket.socket(socket.AF_UNIX) as server:
        server.bind(str(folder / "sock.yaml"))
    return "sock.yaml"


# (case, {file: content}, extra setup, arguments, exit status, first stderr line (regex), stdout must contain)
REAL_AND_HOSTILE = [
    ("setup.cfg", {"setup.cfg": SETUP_CFG}, None, ["show", "setup.cfg"], 2,
     r"vornal-config: setup\.cfg:11: options\.packages must be a section here \(for options\.packages\.find\), "
     r"but setup\.cfg:6 set it to a value$", ""),
    ("tox.ini", {"tox.ini": TOX_INI}, None, ["show", "--flat", "--origin", "tox.ini"], 0, None,
     "testenv.commands = 'pytest {posargs:tests}'  (str)  [tox.ini:6]"),
    ("logging INI", {"logging.ini": LOGGING_INI}, None, ["get", "formatter_plain.format", "logging.ini"], 0, None,
     "%(asctime)s %(levelname)s %(message)s"),
    ("CI workflow", {"ci.yml": WORKFLOW}, None, ["show", "--flat", "ci.yml"], 0, None,
     "(True).push.branches[0] = 'main'  (str)"),
    ("schema with items/keys", {"schema.yaml": SCHEMA}, None, ["show", "--flat", "schema.yaml"], 0, None,
     "properties.tags.items.type = 'string'  (str)"),
    ("mypy dotted sections", {"mypy.ini": MYPY_INI}, None, ["get", "mypy-yaml.*.ignore_missing_imports", "mypy.ini"],
     0, None, "true"),
    ("deep", {"deep.yaml": "a: " + "[" * 900 + "]" * 900 + "\n"}, None, ["show", "deep.yaml"], 2,
     r"vornal-config: deep\.yaml: nested too deeply to be read", ""),
    ("alias bomb (342 bytes)", {"bomb.yaml": BOMB}, None, ["show", "bomb.yaml"], 2,
     r"vornal-config: bomb\.yaml: aliases would expand the document by 490,329,036 nodes", ""),
    ("binary", {"bin.yaml": bytes(range(256))}, None, ["show", "bin.yaml"], 2,
     r"vornal-config: bin\.yaml:2: ReaderError: not UTF-8 text \(byte 0x80: invalid start byte\)", ""),
    ("Latin-1 YAML", {"latin.yaml": "a: caf\xe9\n".encode("latin-1")}, None, ["show", "latin.yaml"], 2,
     r"vornal-config: latin\.yaml:1: ReaderError: not UTF-8 text \(byte 0xe9: invalid continuation byte\)", ""),
    ("Latin-1 INI", {"latin.ini": "[s]\n\na = caf\xe9\n".encode("latin-1")}, None, ["show", "latin.ini"], 2,
     r"vornal-config: latin\.ini:3: not UTF-8 text \(byte 0xe9\)", ""),
    ("BOM INI", {"bom.ini": b"\xef\xbb\xbf[s]\na = 1\n"}, None, ["get", "s.a", "bom.ini"], 0, None, "1"),
    ("BOM YAML", {"bom.yaml": b"\xef\xbb\xbfa: 1\n"}, None, ["get", "a", "bom.yaml"], 0, None, "1"),
    ("UTF-16 YAML", {"u16.yaml": "a: \u00e9\n".encode("utf-16")}, None, ["get", "a", "u16.yaml"], 0, None, "\u00e9"),
    ("UTF-16 INI", {"u16.ini": "[s]\na = \u00e9\n".encode("utf-16")}, None, ["get", "s.a", "u16.ini"], 0, None,
     "\u00e9"),
    ("FIFO with --origin", {}, _fifo, ["show", "--flat", "--origin", "pipe.yaml"], 0, None,
     "fifo = 1  (int)  [pipe.yaml:1]"),
    ("folder", {}, lambda f: (f / "dir.yaml").mkdir(), ["show", "dir.yaml"], 2,
     r"vornal-config: dir\.yaml: is a folder, not a file$", ""),
    ("socket", {}, _socket, ["show", "sock.yaml"], 2, r"vornal-config: sock\.yaml: No such device or address$", ""),
    ("suffix-less with --type", {"config": "[s]\na = 1\n"}, None, ["get", "--type", "ini", "s.a", "config"], 0, None,
     "1"),
    ("standard input", {}, None, ["show", "--flat", "--origin", "--type", "yaml", "-"], 0, None,
     "k = 'v'  (str)  [<stdin>:1]"),
]


@pytest.mark.parametrize("case, content, setup, args, code, first, wanted", REAL_AND_HOSTILE,
                         ids=[c[0] for c in REAL_AND_HOSTILE])
def test_installed_command_on_real_and_hostile_files(tmp_path, case, content, setup, args, code, first, wanted):
    for name, text in content.items():
        (tmp_path / name).write_bytes(text if isinstance(text, bytes) else text.encode())
    if setup:
        setup(tmp_path)
    r = run(tmp_path, *args, stdin=b"k: v\n" if "-" in args else None)
    stderr, stdout = r.stderr.decode(), r.stdout.decode()
    assert r.returncode == code, stderr
    assert "Traceback" not in stderr
    if first is None:
        assert stderr == ""
    else:
        assert re.match(first, stderr.splitlines()[0]), stderr
    assert wanted in stdout


def test_unreadable_file(tmp_path):
    folder = pathlib.Path(tempfile.mkdtemp(dir=tmp_path))
    folder.chmod(0o755)
    tmp_path.chmod(0o755)
    (folder / "secret.yaml").write_text("a: 1\n")
    (folder / "secret.yaml").chmod(0)
    as_user = {"user": 65534} if os.geteuid() == 0 else {}
    if as_user and not os.access(sys.executable, os.X_OK):
        pytest.skip("the interpreter is not usable by an unprivileged user")
    r = run(folder, "show", "secret.yaml", **as_user)
    assert (r.returncode, r.stderr.decode()) == (2, "vornal-config: secret.yaml: permission denied\n")
    r = run(folder, "show", "secret.yaml", "--optional", "secret.yaml", **as_user)  # it is there: still an error
    assert (r.returncode, r.stderr.decode()) == (2, "vornal-config: secret.yaml: permission denied\n")


def test_full_disk_and_closed_pipe(files):
    with open("/dev/full", "w") as full:
        r = run(files, "show", "site.yaml", stdout=full)
    assert (r.returncode, r.stderr) == (2, b"vornal-config: cannot write the output: No space left on device\n")
    read, write = os.pipe()
    os.close(read)
    try:
        r = run(files, "show", "site.yaml", stdout=write, stderr=subprocess.PIPE)
    finally:
        os.close(write)
    assert (r.returncode, r.stderr) == (141, b"")


# --- JSON -----------------------------------------------------------------------------------

TYPES_JSON = """\
nan: .nan
inf: -.inf
day: 2024-01-02
moment: 2024-01-02 10:30:00+02:00
raw: !!binary aGVsbG8=
tags: !!set {b, a, c, 10}
pairs: !!omap [{x: 1}, {y: 2}]
empty: {}
none: []
2: int key
true: bool key
"""


def test_json_is_strict_deterministic_and_documented(tmp_path):
    (tmp_path / "types.yaml").write_text(TYPES_JSON)
    outputs = {run(tmp_path, "show", "--json", "types.yaml", env={"PYTHONHASHSEED": str(seed)}).stdout
               for seed in (1, 2, 3)}
    assert len(outputs) == 1
    document = json.loads(outputs.pop(), parse_constant=lambda c: pytest.fail(f"non-JSON constant {c}"))
    assert document == {"nan": "NaN", "inf": "-Infinity", "day": "2024-01-02", "moment": "2024-01-02T10:30:00+02:00",
                        "raw": "aGVsbG8=", "tags": ["a", "b", "c", 10], "pairs": [["x", 1], ["y", 2]],
                        "empty": {}, "none": [], "2": "int key", "true": "bool key"}


# --- diff -----------------------------------------------------------------------------------


def test_diff(files):
    (files / "new.yaml").write_text("db:\n  host: db2\n  pool: 3\nserver:\n  hosts: [a, b]\n  ratio: 0.5\n")
    status, out, err = cli("diff", "--origin", "base.ini,site.yaml", "new.yaml")
    assert status == 1
    assert out.splitlines() == [
        "~ db.host = 'db.internal'  (str) -> 'db2'  (str)  [site.yaml:2 -> new.yaml:2]",
        "- db.port = 5432  (int)  [base.ini:6]",
        "- db.password = <redacted>  (str)  [base.ini:7]",
        "- db.root = '/opt/srv'  (str)  [base.ini:2]",
        "+ db.pool = 3  (int)  [new.yaml:3]",
    ]
    assert cli("diff", "site.yaml", "site.yaml")[:2] == (0, "")
    (files / "one.yaml").write_text("flag: 1\n")
    (files / "true.yaml").write_text("flag: true\n")
    assert cli("diff", "one.yaml", "true.yaml")[:2] == (1, "~ flag = 1  (int) -> True  (bool)\n")
    assert cli("diff", "site.yaml", "nope.yaml")[0] == 2
    assert cli("diff", "site.yaml", "site.yaml,nope.yaml", "--optional", "nope.yaml")[:2] == (0, "")


# --- the filter -----------------------------------------------------------------------------

CLASSES = {"And": And, "Or": Or, "Not": Not}


@pytest.mark.parametrize("text", [
    "And('a', 'b')", "Or('a', Not('b'))", "Not()", "And()", "  And ( 'a' , ) ", "And('a' \"b\" r'\\d')",
    "Or(u'x', R'y\\.', '''tri'ple''', \"\"\"x\ny\"\"\")", "And('\\x41\\u00e9\\n\\t')", "And('a\\\nb')",
    "Not(Or(And('a'), Not('b')), 'c')",
])
def test_filter_builds_what_logic_str_builds(text):
    assert parse_filter(text, CLASSES) == logic_str(text)


_LITERAL = st.text(st.characters(codec="utf-8", exclude_categories=("Cs",)), max_size=6).filter(
    lambda s: _compiles(s)).map(lambda s: repr(s))


def _compiles(s):
    try:
        re.compile(s)
        return True
    except re.error:
        return False


_EXPR = st.recursive(
    _LITERAL,
    lambda inner: st.tuples(st.sampled_from(["And", "Or", "Not"]), st.lists(inner, max_size=3),
                            st.sampled_from([", ", ",", " ,\n "])).map(lambda t: f"{t[0]}({t[2].join(t[1])})"),
    max_leaves=8).filter(lambda s: not s.startswith(("'", '"')))


@settings(max_examples=150, deadline=None)
@given(_EXPR)
def test_filter_equals_logic_str_property(text):
    assert parse_filter(text, CLASSES) == logic_str(text)


def test_filter_nests_to_any_depth():
    text = "And(" * 5000 + "'x'" + ")" * 5000
    expression = parse_filter(text, CLASSES)
    for _ in range(4999):
        expression = expression.expressions[0]
    assert expression == And("x")


HOSTILE = [
    "__import__('os').system('touch {f}')",
    "And(__import__('os').system('touch {f}'))",
    "And('a') or __import__('os').system('touch {f}')",
    "And('a'), __import__('os').system('touch {f}')",
    "And(*[__import__('os').system('touch {f}')])",
    "And(open('{f}', 'w'))",
    "And(f'{{__import__(\"os\").system(\"touch {f}\")}}')",
    "And(lambda: __import__('os').system('touch {f}'))",
    "And('a' if __import__('os').system('touch {f}') else 'b')",
    "And(string)",
    "Or(len)",
    "And(b'a')",
    "And('a')\n__import__('os').system('touch {f}')",
    "exec(\"__import__('os').system('touch {f}')\")",
    "And.__init__.__globals__['os'].system('touch {f}')",
    "(lambda: __import__('os').system('touch {f}'))()",
    "[__import__('os').system('touch {f}')]",
]


@pytest.mark.parametrize("text", HOSTILE)
def test_filter_runs_nothing(files, text):
    target = files / "pwned"
    status, out, err = cli("show", "--flat", "--filter", text.format(f=target), "site.yaml")
    assert not target.exists()
    assert status in (0, 2) and "Traceback" not in err
    if status == 0:  # a text that does not start like a call is one pattern
        assert out == ""


def test_filter_bare_pattern_is_one_pattern():
    assert parse_filter("port", CLASSES) == And("port")
    with pytest.raises(FilterError, match="not a regular expression"):
        parse_filter("db[", CLASSES)
    with pytest.raises(FilterError, match="only And, Or and Not can be called"):
        parse_filter("eval('1')", CLASSES)


# --- paths ----------------------------------------------------------------------------------


@pytest.mark.parametrize("path, text", [
    (("db", "port"), "db.port"),
    (("a.b", "c d", "", 'q"t', "x]"), '"a.b"."c d".""."q\\"t"."x]"'),
    (("ports", 8080, True, None, 2.5), "ports.(8080).(True).(None).(2.5)"),
])
def test_path_forms(path, text):
    assert render_path(path) == text and parse_path(text) == path


_KEY = st.one_of(st.text(max_size=5), st.integers(-5, 5), st.booleans(), st.none())
_SCALAR = st.one_of(st.text(max_size=5), st.integers(), st.booleans(), st.none(),
                    st.floats(allow_nan=False, allow_infinity=False))
_DOC = st.dictionaries(st.text(min_size=1, max_size=5), st.recursive(
    _SCALAR, lambda inner: st.lists(inner, max_size=3) | st.dictionaries(_KEY, inner, max_size=3), max_leaves=10),
    max_size=5)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(_DOC)
def test_every_flat_path_round_trips_through_get(tmp_path, document):
    path = tmp_path / "doc.yaml"
    path.write_text(yaml.safe_dump(document))
    status, out, _ = cli("show", "--flat", str(path))
    assert status == 0
    cfg = Configuration()
    cfg.load_yamls(str(path))
    leaves = walk(cfg) if cfg else []
    assert len(out.splitlines()) == len(leaves)
    for line, (leaf, value) in zip(out.splitlines(), leaves):
        text = render_path(leaf)
        assert line.startswith(text + " = ")
        status, got, err = cli("get", text, str(path))
        assert status == 0, err
        expected = value + "\n" if isinstance(value, str) else json.dumps(to_json(value), indent=2) + "\n"
        assert got == expected


@settings(max_examples=60, deadline=None)
@given(_DOC)
def test_json_in_one_pass_equals_json_from_the_leaves(document):
    cfg = Configuration(document)
    cfg["loop"] = loop = [1]
    loop.append(loop)
    present = lambda path, value: to_json(value)  # noqa: E731
    outcomes = []
    for make in (lambda: json_document(cfg, present), lambda: json_tree(walk(cfg), present)):
        try:
            outcomes.append(make())
        except CliError as exc:  # keys that collide as JSON strings: both refuse, naming the same keys
            outcomes.append(str(exc))
    assert outcomes[0] == outcomes[1]


# --- secrets --------------------------------------------------------------------------------

# Every secret value holds "S3CR3T" and every other value "PL41N", so that a leak anywhere, of any
# secret, shows as that marker in the output.
SECRET_INI = """\
[DEFAULT]
api_key = S3CR3T-ini-default-apikey

[db]
host = PL41N-db-host
password = S3CR3T-ini-db-password
user = PL41N-db-user

[service.oauth]
client_secret = S3CR3T-ini-client-secret
tokenizer = PL41N-tokenizer
author = PL41N-author
oauth_url = PL41N-oauth-url
"""
SECRET_YAML = """\
db:
  dbPassword: S3CR3T-yaml-db-camel
server:
  tokens: [S3CR3T-yaml-token-0, S3CR3T-yaml-token-1]
  credentials:
    user: S3CR3T-yaml-cred-user
    nested: {key: S3CR3T-yaml-cred-key}
  jobs:
    - name: PL41N-job-name
      accessToken: S3CR3T-yaml-job-token
  AUTH: S3CR3T-yaml-auth
  authority: PL41N-authority
deep:
  a:
    b:
      PRIVATE_KEY: |
        S3CR3T-yaml-private-key-line-1
        S3CR3T-yaml-private-key-line-2
"""
SECRET_NEW = """\
db:
  dbPassword: S3CR3T-new-db-camel
  password: S3CR3T-new-db-password
server:
  tokens: [S3CR3T-new-token-0]
"""
SECRET_FILES = {
    "base.ini": SECRET_INI, "site.yaml": SECRET_YAML, "new.yaml": SECRET_NEW,
    "pct.ini": "[db]\nhost = PL41N\npassword = S3CR3T-pct%x\n",                      # fails interpolation
    "depth.ini": "[db]\npassword = S3CR3T-%(token)s\ntoken = %(password)s\n",          # "Raw value: ..."
    "ref.ini": "[db]\npassword = %(S3CR3Tref)s\n",                                     # a reference's name
    "conv.yaml": "db:\n  host: PL41N\n  password: !!int S3CR3T-int\n",                 # fails conversion
    "warn.ini": "[db]\npassword = S3CR3T$CLI_TEST_UNSET_VAR\n",                        # read as a variable
    # values that hold a masked value: a reference, an environment variable used twice, an alias
    "copy.ini": "[db]\npassword = S3CR3T-copied\ndsn = pg://PL41N:%(password)s@db\napi_token = $CLI_TEST_TOKEN\n"
                "url = https://PL41N:${CLI_TEST_TOKEN}@h\n",
    "alias.yaml": "db:\n  password: &pw S3CR3T-anchored\n  backup_login: *pw\n",
}
LAYERS = ["base.ini", "site.yaml"]

# (case, arguments, exit status, texts that stdout + stderr must hold)
MASKED_RUNS = [
    ("tree", ["show", *LAYERS], 0, ["|   |-- password = <redacted>  (str)", "PL41N-author"]),
    ("tree --origin", ["show", "--origin", *LAYERS], 0, ["password = <redacted>  (str)  [base.ini:6]"]),
    ("flat", ["show", "--flat", *LAYERS], 0, ["server.tokens[1] = <redacted>  (str)", "PL41N-oauth-url"]),
    ("flat --origin", ["show", "--flat", "--origin", *LAYERS], 0,
     ["db.api_key = <redacted>  (str)  [base.ini:2]", "server.credentials.nested.key = <redacted>  (str)  [site.yaml:7]"]),
    ("json", ["show", "--json", *LAYERS], 0, ['"accessToken": "<redacted>"', "PL41N-tokenizer"]),
    ("json --origin", ["show", "--json", "--origin", *LAYERS], 0, ['"PRIVATE_KEY": "<redacted>"', "site.yaml:16"]),
    ("json --filter", ["show", "--json", "--filter", "^server", *LAYERS], 0, ['"<redacted>"', "PL41N-job-name"]),
    ("flat --filter", ["show", "--flat", "--filter", "password|author", *LAYERS], 0,
     ["db.password = <redacted>  (str)\n", "PL41N-author"]),
    ("diff", ["diff", ",".join(LAYERS), ",".join(LAYERS + ["new.yaml"])], 1,
     ["~ db.dbPassword = <redacted>  (str) -> <redacted>  (str)\n", "- server.tokens[1] = <redacted>  (str)\n"]),
    ("diff --origin", ["diff", "--origin", ",".join(LAYERS), ",".join(LAYERS + ["new.yaml"])], 1,
     ["~ db.password = <redacted>  (str) -> <redacted>  (str)  [base.ini:6 -> new.yaml:3]"]),
    ("interpolation", ["show", "site.yaml", "pct.ini"], 2,
     ["pct.ini:3: [db] password: invalid interpolation syntax in <redacted>; write %% for a literal %"]),
    ("interpolation --debug", ["show", "--debug", "pct.ini"], 2, ["Traceback", "[db] password:"]),
    ("depth", ["show", "depth.ini"], 2, ["depth.ini:2: [db] password: Recursion limit exceeded", "Raw value: <redacted>"]),
    ("reference", ["show", "ref.ini"], 2, ["ref.ini:2: [db] password: %(<redacted>)s names no option of [db]"]),
    ("conversion", ["show", *LAYERS, "conv.yaml"], 2, ["conv.yaml:3: db.password: <redacted> is not a valid !!int"]),
    ("conversion --debug", ["show", "--debug", "--flat", "conv.yaml"], 2, ["Traceback", "with base 10: '<redacted>'"]),
    ("conversion, get", ["get", "db.host", "conv.yaml"], 2, ["db.password: <redacted> is not a valid !!int"]),
    ("warning", ["show", "--flat", "warn.ini"], 0,
     ["warn.ini:2: Environment variable(s) CLI_TEST_UNSET_VAR referenced by [db] password are not set"]),
    ("warning --strict", ["diff", "--strict", "warn.ini", "base.ini"], 2,
     ["vornal-config: warn.ini:2: Environment variable(s) CLI_TEST_UNSET_VAR referenced by [db] password"]),
    ("copies", ["show", "--flat", "copy.ini", "alias.yaml"], 0,  # copy.ini's password is replaced, not its copy
     ["db.dsn = <redacted>  (str)", "db.url = <redacted>  (str)", "db.backup_login = <redacted>  (str)"]),
    ("copies, json", ["show", "--json", "alias.yaml", "copy.ini"], 0, ['"dsn": "<redacted>"']),
    ("copies, diff", ["diff", "copy.ini", "copy.ini,alias.yaml"], 1, ["+ db.backup_login = <redacted>  (str)"]),
    ("get of a subtree", ["show", "--get", "server.credentials", *LAYERS], 0, ['"key": "<redacted>"']),
]


def _folder(tmp_path_factory, name, files):
    folder = tmp_path_factory.mktemp(name)
    for file, text in files.items():
        (folder / file).write_text(text)
    return folder


@pytest.fixture(scope="module")
def secret_files(tmp_path_factory):
    return _folder(tmp_path_factory, "secrets", SECRET_FILES)


@pytest.mark.parametrize("case, args, code, wanted", MASKED_RUNS, ids=[row[0] for row in MASKED_RUNS])
def test_no_masked_value_reaches_any_output(secret_files, case, args, code, wanted):
    r = run(secret_files, *args, text=True, env={"CLI_TEST_TOKEN": "S3CR3T-env-token"})
    output = r.stdout + r.stderr
    assert r.returncode == code, output
    assert "S3CR3T" not in output
    for text in wanted:
        assert text in output
    if code == 2:
        assert r.stderr.splitlines()[-1].startswith("vornal-config: ") and "Traceback" not in r.stderr.splitlines()[-1]


# (arguments, exit status, what stdout + stderr hold): --reveal, and get, print values as they are
REVEALED_RUNS = [
    (["show", "--flat", "--reveal", *LAYERS], 0, [f"{p} = '{v}'" for p, v in [
        ("db.password", "S3CR3T-ini-db-password"), ("server.tokens[0]", "S3CR3T-yaml-token-0"),
        ("server.credentials.nested.key", "S3CR3T-yaml-cred-key"), ("server.jobs[0].accessToken", "S3CR3T-yaml-job-token")]]),
    (["diff", "--reveal", ",".join(LAYERS), ",".join(LAYERS + ["new.yaml"])], 1,
     ["~ db.dbPassword = 'S3CR3T-yaml-db-camel'  (str) -> 'S3CR3T-new-db-camel'  (str)"]),
    (["get", "server.tokens[1]", *LAYERS], 0, ["S3CR3T-yaml-token-1\n"]),
    (["get", "deep.a.b.PRIVATE_KEY", *LAYERS], 0, ["S3CR3T-yaml-private-key-line-1\nS3CR3T-yaml-private-key-line-2\n"]),
    (["show", "--reveal", "--get", "server.credentials", *LAYERS], 0, ['"key": "S3CR3T-yaml-cred-key"']),
    (["show", "--reveal", "pct.ini"], 2, ["invalid interpolation syntax in 'S3CR3T-pct%x'"]),
    (["show", "--reveal", "warn.ini"], 0, ["Environment variable(s) CLI_TEST_UNSET_VAR referenced by [db] password"]),
    (["get", "--reveal", "db", "conv.yaml"], 2, ["db.password: 'S3CR3T-int' is not a valid !!int"]),
    (["show", "--flat", "--reveal", "copy.ini", "alias.yaml"], 0, ["db.dsn = 'pg://PL41N:S3CR3T-copied@db'",
                                                                   "db.backup_login = 'S3CR3T-anchored'"]),
]


@pytest.mark.parametrize("args, code, wanted", REVEALED_RUNS)
def test_reveal_and_get_print_secrets(secret_files, args, code, wanted):
    r = run(secret_files, *args, text=True)
    assert r.returncode == code
    for text in wanted:
        assert text in r.stdout + r.stderr


@pytest.mark.parametrize("expression", [
    None, DEFAULT_REDACT, r"Or('password', '^server\.c')", "author", "(?i)HOST|tokens", "Not()", "And('^$')",
    "Not('S3CR3T|token|key|secret|password|auth|credential')",
])
def test_redact_masks_exactly_the_leaves_its_filter_keeps(secret_files, expression):
    layers = [str(secret_files / name) for name in LAYERS]
    redact = [] if expression is None else ["--redact", expression]  # None: the default, checked key by key
    _, shown, _ = cli("show", "--flat", *redact, *layers)
    _, revealed, _ = cli("show", "--flat", "--reveal", *layers)
    _, kept, _ = cli("show", "--flat", "--reveal", "--filter", expression or DEFAULT_REDACT, *layers)
    kept = {line.split(" = ")[0] for line in kept.splitlines()}
    assert len(shown.splitlines()) == len(revealed.splitlines()) > 10
    for line, clear in zip(shown.splitlines(), revealed.splitlines()):
        path, _, value = clear.partition(" = ")
        if path in kept:
            assert line == f"{path} = <redacted>  {value.rpartition('  ')[2]}"
        else:
            assert line == clear


# (path as --flat prints it, masked by the default expression)
DEFAULT_WORDS = [
    ("db.password", True), ("DB_PASSWORD", True), ("db.Password", True), ("dbPassword", True), ("dbpassword", True),
    ("passwd", True), ("PWD", True), ("pwd_hash", True), ("password2", True), ("passwords[3]", True),
    ("secret_key", True), ("SECRET_KEY", True), ("secretAccessKey", True), ("clientSecret", True),
    ("tokens[0]", True), ("accessToken", True), ("csrftoken", True), ("auth_token", True),
    ("api_key", True), ("apikey", True), ("api-key", True), ("apiKey", True), ("X-API-KEY", True),
    ('"api key"', True), ("private_key", True), ("privateKey", True), ("credentials.user", True),
    ("jobs[0].auth.user", True), ("basic_auth", True), ("proxyAuth", True), ("AUTH", True),
    ('"a.password"', True), ("credential", True), ("(('password', 1))", True),
    ("author", False), ("AUTHOR", False), ("Author", False), ("oauth_url", False), ("OAuth", False),
    ("tokenizer", False), ("TOKENIZER", False), ("secretary", False), ("passwordless", False),
    ("authority", False), ("authentication", False), ("keys", False), ("primary_key", False),
    ("db.host", False), ("OLDPWD", False), ("cwd", False), ("tokenservice", False), ("(8080)", False),
    ("passphrase", True), ("gpgPassphrase", True), ("db_pass", True), ("pass", True), ("PASS", True),
    ("dbPass", True), ("client_key", True), ("signing_key", True), ("secretKey", True), ("SSH_KEY", True),
    ("access-key", True), ("encryptionKey", True), ("license_keys", True),
    ("passport", False), ("passenger", False), ("bypass", False), ("compass", False), ("pass_rate", True),
    ("keyboard", False), ("sort_key", False), ("SORT_KEY", False), ("primary_key", False), ("publicKey", False),
    ("partition_key", False), ("hotkey", False), ("key", False), ("key_id", False), ("client_keyboard", False),
]


@pytest.mark.parametrize("path, masked", DEFAULT_WORDS)
def test_default_expression_words(path, masked):
    presenter = Presenter(logic_str(DEFAULT_REDACT), per_key=True)
    assert presenter.masks(parse_path(path)) is masked
    assert bool(logic_str(DEFAULT_REDACT)(path)) is masked


def test_default_expression_is_printed_and_parsed_safely():
    assert DEFAULT_REDACT in cli("--help")[1]
    assert parse_filter(DEFAULT_REDACT, CLASSES) == logic_str(DEFAULT_REDACT)
    assert cli("show", "--redact", "Or(", "x.yaml")[2] == ("vornal-config: --redact: expected a string or a call at "
                                                          "position 3, found the end\n")


_WORDISH = st.lists(st.sampled_from(["pass", "word", "PASS", "Word", "auth", "Auth", "o", "token", "s", "S", "api",
                                     "key", "Key", "_", "-", " ", ".", "[", "2", "pwd", "secret", "or", "\u00e9", '"']),
                    max_size=6).map("".join)
_PATHS = st.lists(st.one_of(_WORDISH, st.integers(0, 3).map(Index), st.integers(), st.booleans()), min_size=1, max_size=4)


@settings(max_examples=300, deadline=None)
@given(_PATHS)
def test_default_expression_says_of_a_path_what_it_says_of_its_keys(path):
    expression = logic_str(DEFAULT_REDACT)
    path = tuple(path)
    assert Presenter(expression, per_key=True).masks(path) == Presenter(expression).masks(path)


# --- what the command says is true: every row runs the installed command ---------------------

TRUTH_FILES = {
    "list.yaml": "- id: 1\n  name: a\n- id: 2\n  name: b\n",
    "empty.yaml": "", "dash.yaml": "---\n",
    "d1.ini": "[DEFAULT]\nbase = /srv\n", "d2.ini": "[app]\ndata = %(base)s/data\nkey_file = $CLI_TEST_NOPE/k\n",
    "contrast.yaml": "password: S3CR3T\nuser: S3CR3Tistrator\nhost: S3CR\n",
    "keys.yaml": "db:\n  host: PL41N\n  password: S3CR3T-pw\n  dsn: pg://PL41N:S3CR3T-pw@h\n  opts: {sslmode: on}\n",
    "coll.yaml": "x:\n  null: a\n  'null': b\n",
    "inf.yaml": ".inf: a\n-.inf: b\n.nan: c\n",
    "conv.yaml": "python: '3.10'\n'a.b': 1\nlist: ['3.10']\napi_token: '0.5'\n",
    "only.ini": "[DEFAULT]\na = 1\n",
    "bad.yaml": "a: 1\nb: [1, }\n", "bad.cfg": "[s]\nx = 1\nprune: .\n", "nohead.ini": "password = S3CR3T\n",
    "flow.ini": "{a: 1}\n", "em.yaml": "e: {}\n",
    "layers.yaml": "db:\n  password: S3CR3T-yaml\n  pool: '20'\n",
}
# (case, arguments, exit status, stderr (the whole of it), stdout (the whole of it, or a list of lines it holds))
TRUTH_RUNS = [
    ("a list at the top", ["show", "list.yaml"], 2,
     "list.yaml:1: the document is a list; a configuration file holds a mapping of keys at its top", ""),
    ("an empty file", ["show", "--json", "empty.yaml", "dash.yaml"], 0, "", "{}\n"),
    ("missing: show", ["show", "--json", "typo.yaml"], 2,
     "typo.yaml: no such file (give --optional typo.yaml if it may be missing)", ""),
    ("missing: get", ["get", "k", "em.yaml", "typo.yaml"], 2, "typo.yaml: no such file (give --optional", ""),
    ("missing: diff", ["diff", "em.yaml", "typo.yaml"], 2, "typo.yaml: no such file", ""),
    ("missing: explain", ["explain", "e", "typo.ini"], 2, "typo.ini: no such file", ""),
    ("--optional", ["get", "e", "em.yaml", "typo.yaml", "--optional", "typo.yaml"], 0, "", "{}\n"),
    ("--optional names no file", ["show", "em.yaml", "--optional", "x.yaml"], 2,
     "usage: vornal-config show", []),
    ("INI files as one parser", ["show", "--flat", "--origin", "--reveal", "d1.ini", "d2.ini"], 0,
     "warning: d2.ini:3: Environment variable(s) CLI_TEST_NOPE referenced by [app] key_file are not set",
     ["app.data = '/srv/data'  (str)  [d2.ini:2]", "app.base = '/srv'  (str)  [d1.ini:2]"]),
    ("masked whole", ["show", "--flat", "contrast.yaml"], 0, "",
     "password = <redacted>  (str)\nuser = <redacted>  (str)\nhost = 'S3CR'  (str)\n"),
    ("get of a mapping", ["get", "db", "keys.yaml"], 0, "", ['  "password": "<redacted>",', '  "dsn": "<redacted>",']),
    ("get --redact", ["get", "--redact", "host", "--reveal", "db", "keys.yaml"], 2, "usage: vornal-config get", []),
    ("get --redact host", ["get", "--redact", "host|dsn|password", "db", "keys.yaml"], 0, "", ['  "host": "<redacted>",']),
    ("read limit", ["show", "--type", "yaml", "--max-input", "1K", "/dev/zero"], 2,
     "/dev/zero: more than 1 KiB to read, and it cannot seek (--max-input SIZE raises the limit)", ""),
    ("stdin twice", ["diff", "--type", "yaml", "-", "em.yaml,-"], 2, "standard input (-) can be read only once", ""),
    ("JSON collision", ["show", "--json", "coll.yaml"], 2,
     '--json: the keys (None) and null of x are both the JSON key "null"; see them with --flat', ""),
    ("non-finite keys", ["get", "(nan)", "inf.yaml"], 0, "", "c\n"),
    ("conversion notes", ["show", "--flat", "conv.yaml"], 0,
     "warning: conv.yaml:1: python: the quoted string '3.10' is stored as 3.1 (float)\n"
     "vornal-config: warning: conv.yaml:2: a.b: the quoted key \"a.b\" is split at '.' into 2 levels\n"
     "vornal-config: warning: conv.yaml:4: api_token: the quoted string <redacted> is stored as <redacted> (float)",
     ["python = 3.1  (float)", "list[0] = '3.10'  (str)", "api_token = <redacted>  (float)"]),
    ("--strict notes", ["get", "--strict", "list", "conv.yaml"], 2,
     "conv.yaml:1: python: the quoted string '3.10' is stored as 3.1 (float) (--strict)", ""),
    ("only [DEFAULT]", ["show", "only.ini"], 0,
     "warning: only.ini: holds only [DEFAULT] options, and no section inherits them: it adds nothing", "only.ini\n"),
    ("[DEFAULT] for the next file", ["get", "app.a", "only.ini", "d1.ini", "d2.ini"], 0,
     "warning: d2.ini:3: Environment variable(s) CLI_TEST_NOPE", "1\n"),
    ("YAML parse error", ["show", "bad.yaml"], 2,
     "bad.yaml:2: ParserError: while parsing a flow node, expected the node content, but found '}': 'b: [1, }'", ""),
    ("INI parse error", ["show", "bad.cfg"], 2, "bad.cfg:3: ParsingError: a line that is neither [section], "
                                                "option = value nor # comment: 'prune: .'", ""),
    ("no section header", ["show", "nohead.ini"], 2, "nohead.ini:1: MissingSectionHeaderError: an option before "
                                                    "the first [section]: (a line of password, not shown)", ""),
    ("--type over a suffix", ["get", "--type", "yaml", "a", "flow.ini"], 0, "", "1\n"),
    ("an empty map", ["show", "--flat", "em.yaml"], 0, "", "e = {}  (Configuration)\n"),
    ("explain", ["explain", "db.pool", "d1.ini", "layers.yaml"], 0,
     "warning: d1.ini: holds only [DEFAULT] options\nvornal-config: warning: layers.yaml:3: db.pool: the quoted "
     "string '20' is stored as 20 (int)",
     "db.pool\n* layers.yaml:3: '20'  ->  20  (int)\n"),
    ("explain [DEFAULT]", ["explain", "app.base", "d1.ini", "d2.ini"], 0, "warning: d2.ini:3",
     "app.base\n* d1.ini:2: /srv  ->  '/srv'  (str)  (inherited from [DEFAULT])\n"),
    ("explain masks", ["explain", "db.password", "keys.yaml", "layers.yaml"], 0, "warning: layers.yaml:3",
     "db.password\n  keys.yaml:3: <redacted>  ->  <redacted>  (str)\n* layers.yaml:2: <redacted>  ->  <redacted>  (str)\n"),
    ("explain a path no layer sets", ["explain", "db.nope", "keys.yaml"], 1, "no layer sets db.nope", ""),
    ("usage error of a subcommand", ["get", "--bogus", "x", "em.yaml"], 2, "usage: vornal-config get", []),
]


@pytest.fixture(scope="module")
def truth_files(tmp_path_factory):
    return _folder(tmp_path_factory, "truth", TRUTH_FILES)


@pytest.mark.parametrize("case, args, code, err, out", TRUTH_RUNS, ids=[row[0] for row in TRUTH_RUNS])
def test_what_the_command_says_is_true(truth_files, case, args, code, err, out):
    r = run(truth_files, *args, text=True, stdin="")
    assert r.returncode == code, r.stderr
    if err.startswith("usage:"):
        assert r.stderr.startswith(err)
    else:
        wanted = f"vornal-config: {err}".splitlines() if err else []
        assert len(r.stderr.splitlines()) == len(wanted), r.stderr
        assert all(line.startswith(start) for line, start in zip(r.stderr.splitlines(), wanted)), r.stderr
    assert all(line in r.stdout.splitlines() for line in out) if isinstance(out, list) else r.stdout == out
    revealed = "--reveal" in args or (args[0] == "get" and args[1] != "db")
    assert revealed or "S3CR3T" not in r.stdout + r.stderr


def test_explain_json(truth_files):
    r = run(truth_files, "explain", "--json", "app.base", "d1.ini", "d2.ini", text=True)
    assert json.loads(r.stdout) == {"path": "app.base", "layers": [
        {"origin": "d1.ini:2", "text": "/srv", "value": "/srv", "type": "str", "wins": True,
         "inherited": "[DEFAULT]", "env": []}]}


@pytest.mark.parametrize("args, not_imported", [
    (["get", "app.data", "d1.ini", "d2.ini"], ["yaml", "importlib.metadata", "zipfile", "shutil"]),
    (["get", "e", "em.yaml"], ["importlib.metadata", "zipfile"]),
    (["--version"], ["vornal.datastructures.configuration", "vornal.datastructures.cli.commands", "argparse"]),
])
def test_start_imports_only_what_the_files_need(truth_files, args, not_imported):
    r = run(truth_files, "-X", "importtime", str(COMMAND), *args, text=True, python=True)
    assert r.returncode == 0
    imported = {line.rsplit("|", 1)[-1].strip() for line in r.stderr.splitlines() if "|" in line}
    assert "vornal.datastructures.cli" in imported and not imported & set(not_imported)
    assert args == ["--version"] or "vornal.datastructures.configuration" in imported


_SECRET_KEYS = ["password", "api_token", "client_key", "dbPassword", "passphrase", "pass", "credentials"]
_PLAIN_KEYS = ["host", "name", "opts", "items", "keyboard", "sort_key", "author"]
_TAIL = st.text("abcdefghijkmnpqrstuvwxyz23456789", min_size=4, max_size=8)


@st.composite
def _secret_documents(draw, depth=0, secrets=None):
    """(document, secrets): secrets at every depth, under keys the default masks, in lists and below masked
    mappings; other values are plain text, nested levels, or a plain text holding one of the secrets."""
    secrets = [] if secrets is None else secrets
    document = {}
    for key in draw(st.lists(st.sampled_from(_SECRET_KEYS + _PLAIN_KEYS), min_size=1, max_size=4, unique=True)):
        kind = draw(st.sampled_from(["leaf", "list", "level"] if depth < 3 else ["leaf", "list"]))
        if kind == "level":
            document[key] = draw(_secret_documents(depth + 1, secrets))[0]
        elif key in _SECRET_KEYS:
            values = [f"S3CR3T{draw(_TAIL)}" for _ in range(2 if kind == "list" else 1)]
            secrets.extend(values)
            document[key] = values if kind == "list" else values[0]
        elif secrets and draw(st.booleans()):
            document[key] = f"pg://PL41N:{draw(st.sampled_from(secrets))}@h"
        else:
            document[key] = [f"PL41N{draw(_TAIL)}"] if kind == "list" else f"PL41N{draw(_TAIL)}"
    return document, secrets


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(_secret_documents())
def test_no_view_prints_a_secret_or_most_of_one(tmp_path, drawn):
    document, secrets = drawn
    (tmp_path / "doc.yaml").write_text(yaml.safe_dump(document))
    (tmp_path / "none.yaml").write_text("")
    files = [str(tmp_path / "none.yaml"), str(tmp_path / "doc.yaml")]
    outputs = [cli("show", *files[1:]), cli("show", "--flat", "--origin", *files[1:]), cli("show", "--json", *files),
               cli("diff", *files)]
    cfg = Configuration()
    cfg.load_yamls(files[1])
    for path, _ in walk(cfg):
        outputs.append(cli("explain", render_path(path), *files))
        for depth in range(1, len(path)):
            outputs.append(cli("get", render_path(path[:depth]), *files))
    for status, out, err in outputs:
        assert status in (0, 1), err
        for secret in secrets:
            for part in (secret, secret[1:], secret[:-1]):
                assert part not in out + err

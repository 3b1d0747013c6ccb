"""vornal-config as a user runs it: whole processes, against the least a process doing the same work costs.

Each case starts a process and waits for it (output to /dev/null), so the
figures include the interpreter's start. Yardsticks: `python -c pass` for the
start of the command (`--version`, and `get` on a two-line INI file); for
`show --json` of a generated YAML document of about 1 MB a one-liner that
loads it with PyYAML's C loader and writes `json.dumps` of it; and for
`show --flat` of 5,000 secrets with one YAML anchor (which makes every value
a possible copy of a secret, so each is searched for all of them) the same
file without the anchor.
"""
import atexit
import pathlib
import random
import shutil
import subprocess
import sys
import tempfile

from run import Case

COMMAND = pathlib.Path(sys.executable).parent / "vornal-config"
FOLDER = pathlib.Path(tempfile.mkdtemp(prefix="vornal-bench-cli-"))
atexit.register(shutil.rmtree, FOLDER, ignore_errors=True)


def generated_yaml(size):
    """A YAML document of about `size` bytes: services with nested settings, lists and every scalar kind."""
    rng = random.Random(17)
    lines, n = [], 0
    while sum(map(len, lines)) < size:
        lines.append(f"service{n}:\n")
        lines.append(f"  host: host-{n}.example.org\n  port: {1000 + n}\n  enabled: {rng.choice(['true', 'false'])}\n")
        lines.append(f"  ratio: {rng.random():.4f}\n  owner: null\n  description: \"service number {n}, "
                     f"{'x' * rng.randrange(30)}\"\n")
        lines.append("  limits:\n" + "".join(f"    limit{i}: {rng.randrange(10 ** 6)}\n" for i in range(5)))
        lines.append("  tags: [" + ", ".join(f"tag{rng.randrange(100)}" for _ in range(4)) + "]\n")
        lines.append("  replicas:\n" + "".join(f"    - name: r{i}\n      zone: zone-{i % 3}\n" for i in range(3)))
        n += 1
    return "".join(lines)


BIG = FOLDER / "big.yaml"
BIG.write_text(generated_yaml(1 << 20))

SMALL_INI = FOLDER / "small.ini"
SMALL_INI.write_text("[server]\nport = 8080\n")


def secrets_yaml(count, anchor):
    """count secrets under keys the default masks, and as many plain values; one anchor if asked."""
    lines = ["base: &base {host: h}\n" if anchor else "base: {host: h}\n"]
    lines += [f"s{i}:\n  password: secret-{i:06d}-x\n  name: name-{i:06d}\n" for i in range(count)]
    return "".join(lines)


SECRETS = FOLDER / "secrets.yaml"
SECRETS.write_text(secrets_yaml(5000, anchor=False))
SECRETS_ANCHOR = FOLDER / "secrets-anchor.yaml"
SECRETS_ANCHOR.write_text(secrets_yaml(5000, anchor=True))

ONE_LINER = ("import json, sys, yaml; "
             "sys.stdout.write(json.dumps(yaml.load(open(sys.argv[1], 'rb'), Loader=yaml.CSafeLoader)))")


def _run(*argv):
    def call():
        return subprocess.run(argv, stdout=subprocess.DEVNULL, check=False).returncode

    return call


def cases():
    group = "start: vornal-config --version"
    yield Case(group, "python -c pass", _run(sys.executable, "-c", "pass"), floor=True)
    yield Case(group, "vornal-config --version", _run(str(COMMAND), "--version"), check=lambda status: 0)

    group = "start: vornal-config get on a two-line INI file"
    yield Case(group, "python -c pass", _run(sys.executable, "-c", "pass"), floor=True)
    yield Case(group, "vornal-config get server.port small.ini", _run(str(COMMAND), "get", "server.port", str(SMALL_INI)))

    group = "show --flat of 5,000 secrets: with one YAML anchor, against without"
    yield Case(group, "vornal-config show --flat, no anchor", _run(str(COMMAND), "show", "--flat", str(SECRETS)),
               floor=True)
    yield Case(group, "vornal-config show --flat, one anchor",
               _run(str(COMMAND), "show", "--flat", str(SECRETS_ANCHOR)))

    group = f"show --json of a generated YAML document of {BIG.stat().st_size // 1024} KB"
    yield Case(group, "python -c: yaml.CSafeLoader + json.dumps", _run(sys.executable, "-c", ONE_LINER, str(BIG)),
               floor=True)
    yield Case(group, "vornal-config show --json", _run(str(COMMAND), "show", "--json", str(BIG)))

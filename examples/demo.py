"""The demo of `tools/dev demo`: vornal-config on the example configuration.

examples/config/defaults.ini holds the defaults (a [DEFAULT] section that
every section inherits), examples/config/site.yaml a site layer merged over
them, and examples/config/env.ini a layer that takes the password from an
environment variable, left unset here. The demo runs the
installed command as a user would, showing each command line first.
"""
import os
import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent / "config"
COMMAND = pathlib.Path(sys.executable).parent / "vornal-config"

STEPS = [
    ("The merged configuration as a tree, each value with its Python type", ["show", "defaults.ini", "site.yaml"]),
    ("One line per leaf, with the file that set its final value", ["show", "--flat", "--origin", "defaults.ini", "site.yaml"]),
    ("Only the database settings, without the password", ["show", "--flat", "--filter", "And('^db', Not('password'))",
                                                          "defaults.ini", "site.yaml"]),
    ("One value, for scripts", ["get", "db.port", "defaults.ini", "site.yaml"]),
    ("What the site layer changes", ["diff", "defaults.ini", "defaults.ini,site.yaml"]),
    ("Every layer that sets the password (the variable is unset: a warning)",
     ["explain", "db.password", "defaults.ini", "site.yaml", "env.ini"]),
]


def main():
    env = dict(os.environ)
    env.pop("VORNAL_DEMO_DB_PASSWORD", None)  # stays unset: the loader warns
    command = [str(COMMAND)] if COMMAND.exists() else [sys.executable, "-m", "vornal.datastructures"]
    for title, args in STEPS:
        print(f"\n# {title}")
        shown = [f'"{a}"' if any(c in a for c in " '()") else a for a in args]
        print(f"$ vornal-config {' '.join(shown)}", flush=True)
        subprocess.run(command + args, cwd=HERE, env=env, stderr=subprocess.STDOUT, check=False)
    print("\nMore: vornal-config --help, and the README's module examples.")


if __name__ == "__main__":
    main()

"""vornal-config: shows what layered configuration files produce.

The files are loaded into one ``Configuration`` in the order given, INI files
by ``load_cfgs`` and YAML files by ``load_yamls``, and the merged result is
printed as a tree, as flat ``dotted.path = value`` lines or as JSON, with the
Python type of every value, so that the conversions are visible.
"""
import argparse
import configparser
import contextlib
import json
import logging
import os
import sys
import traceback

import yaml

from .branch import Branch
from .configuration import Configuration
from .flatnest import FlatNest, IndexMarker
from .logic import logic_str

PROG = "vornal-config"
INI_SUFFIXES = (".ini", ".cfg", ".conf")
YAML_SUFFIXES = (".yaml", ".yml")

EXIT_OK, EXIT_MISSING, EXIT_USAGE = 0, 1, 2

EXAMPLES = """\
examples:
  vornal-config show defaults.ini site.yaml
  vornal-config show --flat --origin defaults.ini site.yaml
  vornal-config show --filter "And('^db', Not('password'))" defaults.ini site.yaml
  vornal-config show --json defaults.ini
  vornal-config get db.port defaults.ini site.yaml

exit status: 0 success, 1 key not found (get), 2 usage or input error
"""


class InputError(Exception):
    """A problem with the command line or the files: one line, exit status 2."""


# --- loading --------------------------------------------------------------------------


def _kind(path):
    suffix = os.path.splitext(path)[1].lower()
    if suffix in INI_SUFFIXES:
        return "ini"
    if suffix in YAML_SUFFIXES:
        return "yaml"
    raise InputError(f"{path}: unknown file type (expected {', '.join(INI_SUFFIXES + YAML_SUFFIXES)})")


def _readable(path):
    """The reason a path cannot be read, or None when it can."""
    if not os.path.exists(path):
        return "no such file"
    if os.path.isdir(path):
        return "is a folder"
    if not os.access(path, os.R_OK):
        return "permission denied"
    return None


def _syntax_error(path, exc):
    """One line naming the file and line of an INI or YAML syntax error."""
    line = getattr(exc, "lineno", None)
    if line is None and getattr(exc, "errors", None):
        line = exc.errors[0][0]
    mark = getattr(exc, "problem_mark", None) or getattr(exc, "context_mark", None)
    if line is None and mark is not None:
        line = mark.line + 1
    text = getattr(exc, "problem", None) or getattr(exc, "message", None) or str(exc)
    text = text.strip().splitlines()[0] if text.strip() else type(exc).__name__
    where = f"{path}:{line}" if line is not None else path
    return f"{where}: {type(exc).__name__}: {text}"


def _load_layer(cfg, path):
    """Loads one file into cfg; a syntax error becomes an InputError naming file and line."""
    kind = _kind(path)
    try:
        if kind == "ini":
            cfg.load_cfgs(path)
        else:
            cfg.load_yamls(path)
    except (configparser.Error, yaml.YAMLError, UnicodeDecodeError) as exc:
        raise InputError(_syntax_error(path, exc)) from exc


@contextlib.contextmanager
def _quiet_loader():
    """Keeps the loader's records out while files are loaded a second time."""
    logger = logging.getLogger("vornal.datastructures.configuration")
    previous = logger.disabled
    logger.disabled = True
    try:
        yield
    finally:
        logger.disabled = previous


def load(paths, entrypoint=None, origin=False):
    """The merged configuration and, when asked, the origin of every leaf (by dotted path)."""
    readable = []
    for path in paths:
        _kind(path)
        reason = _readable(path)
        if reason:
            print(f"{PROG}: skipped {path}: {reason}", file=sys.stderr)
        else:
            readable.append(path)
    cfg = Configuration()
    for path in readable:
        _load_layer(cfg, path)
    group_label = f"entry points {entrypoint}"
    if entrypoint:
        cfg.load_entrypoint(entrypoint)
    origins = {}
    if origin:
        # Each layer alone tells which leaves it sets; the last layer that
        # sets a leaf set its final value.
        with _quiet_loader():
            layers = []
            for path in readable:
                layer = Configuration()
                _load_layer(layer, path)
                layers.append((path, layer))
            if entrypoint:
                layer = Configuration()
                layer.load_entrypoint(entrypoint)
                layers.append((group_label, layer))
        for label, layer in layers:
            for path, _ in leaves(layer):
                origins[dotted(path)] = label
    return cfg, origins


# --- leaves ---------------------------------------------------------------------------


def leaves(cfg):
    """(path, value) for every leaf, in the order of the map; a path is a tuple of steps."""
    if not cfg:
        return []
    return [(tuple(item.path), item.value) for item in FlatNest(cfg)]


def dotted(path):
    """A leaf path as text: keys joined by dots, list and tuple positions as [i]."""
    text = ""
    for step in path:
        if isinstance(step, IndexMarker):
            text += f"[{step.index}]"
        else:
            text += ("." if text else "") + str(step)
    return text


def _typed(value):
    return f"{value!r}  ({type(value).__name__})"


# --- output ---------------------------------------------------------------------------


def _step(step):
    return f"[{step.index}]" if isinstance(step, IndexMarker) else str(step)


def _tree(title, pairs, origins):
    """A Branch tree: sections and keys as nodes, each leaf as `key = value  (type)`."""
    root = Branch(title)
    nodes = {(): root}
    for path, value in pairs:
        for depth in range(1, len(path)):
            prefix = path[:depth]
            if prefix not in nodes:
                nodes[prefix] = Branch(_step(prefix[-1]))
                nodes[prefix[:-1]].add_child(nodes[prefix])
        text = f"{_step(path[-1])} = {_typed(value)}"
        if dotted(path) in origins:
            text += f"  [{origins[dotted(path)]}]"
        nodes[path[:-1]].add_child(Branch(text))
    return str(root)


def _jsonable(value):
    if isinstance(value, dict):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    return repr(value)


def _filtered(pairs, expression):
    if expression is None:
        return pairs
    return [(path, value) for path, value in pairs if expression(dotted(path))]


def show(args):
    expression = None
    if args.filter is not None:
        try:
            expression = logic_str(args.filter)
        except ValueError as exc:
            raise InputError(f"--filter: {exc}") from exc
    cfg, origins = load(args.files, args.entrypoint, origin=args.origin)
    if args.get is not None:
        return _print_value(cfg, args.get)
    pairs = _filtered(leaves(cfg), expression)
    if args.json:
        if expression is not None:
            data = FlatNest(pairs).reconstruct() if pairs else {}
        else:
            data = cfg
        document = _jsonable(data)
        if args.origin:
            document = {"values": document,
                        "origins": {dotted(p): origins[dotted(p)] for p, _ in pairs if dotted(p) in origins}}
        print(json.dumps(document, indent=2, ensure_ascii=False))
    elif args.flat:
        for path, value in pairs:
            line = f"{dotted(path)} = {value!r}"
            if args.origin and dotted(path) in origins:
                line += f"  [{origins[dotted(path)]}]"
            print(line)
    else:
        print(_tree(" + ".join(args.files) or "configuration", pairs, origins))
    return EXIT_OK


def _print_value(cfg, key):
    try:
        value = cfg[key]
    except (KeyError, TypeError, IndexError):
        print(f"{PROG}: key not found: {key}", file=sys.stderr)
        return EXIT_MISSING
    if isinstance(value, str):
        print(value)
    elif isinstance(value, dict):
        print(json.dumps(_jsonable(value), indent=2, ensure_ascii=False))
    else:
        print(repr(value))
    return EXIT_OK


def get(args):
    cfg, _ = load(args.files, args.entrypoint)
    return _print_value(cfg, args.key)


# --- command line ---------------------------------------------------------------------


def _parser():
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--entrypoint", metavar="GROUP", help="also load the entry points of this group, after the files")
    common.add_argument("--debug", action="store_true", help="show the traceback of an error")

    parser = argparse.ArgumentParser(
        prog=PROG, epilog=EXAMPLES,
        description="Show what layered configuration files produce: the files are loaded into one "
                    "Configuration in the order given (INI by load_cfgs, YAML by load_yamls) and the merged "
                    "result is printed with the Python type of every value, so that the conversions are visible.",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    p = sub.add_parser(
        "show", parents=[common], help="print the merged configuration",
        description="Load FILE... in order into one configuration and print the result: a tree by default, "
                    "leaves as `key = value  (type)`.",
        epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("files", nargs="+", metavar="FILE", help=".ini/.cfg/.conf (INI) or .yaml/.yml (YAML)")
    out = p.add_mutually_exclusive_group()
    out.add_argument("--flat", action="store_true", help="one `dotted.path = value` line per leaf")
    out.add_argument("--json", action="store_true", help="the merged result as JSON (other values as their repr)")
    out.add_argument("--get", metavar="KEY", help="print only the value at the dotted KEY (exit 1 if missing)")
    p.add_argument("--origin", action="store_true", help="name the file that set each leaf's final value")
    p.add_argument("--filter", metavar="EXPR",
                   help="keep the leaves whose dotted path satisfies a logic expression, e.g. \"And('^db', Not('pw'))\"")
    p.set_defaults(run=show)

    g = sub.add_parser(
        "get", parents=[common], help="print one value by dotted key",
        description="Load FILE... in order and print the value at the dotted KEY; exit 1 when it is missing.",
        epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    g.add_argument("key", metavar="KEY")
    g.add_argument("files", nargs="+", metavar="FILE")
    g.set_defaults(run=get)
    return parser


def main(argv=None):
    parser = _parser()
    args = parser.parse_args(argv)
    logging.basicConfig(stream=sys.stderr, format=logging.BASIC_FORMAT)
    try:
        return args.run(args)
    except InputError as exc:
        if args.debug:
            traceback.print_exc()
        print(f"{PROG}: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader went away (`| head`): nothing more to say.
        sys.stderr.close()
        return EXIT_OK


if __name__ == "__main__":
    sys.exit(main())

"""vornal-config: shows what layered configuration files produce.

The files are loaded into one ``Configuration`` in the order given, INI files
by ``load_cfgs`` and YAML files by ``load_yamls`` (each file one layer, then
the entry points of a group), and the merged result is printed as a tree, as
flat ``path = value`` lines or as JSON, with the Python type of every value,
so that the conversions are visible; ``get`` prints one value and ``diff``
compares two sets of layers.

The merged result is walked with the ``dict`` and ``list`` protocols only, so
entries named ``items``, ``keys`` or ``update`` are ordinary keys. Every leaf
value reaches the output through ``Presenter``. Any failure ends the run with
one line ``vornal-config: FILE[:LINE]: message`` and exit status 2.
"""
import os
import sys

PROG = "vornal-config"
EXIT_OK, EXIT_DIFFERENT, EXIT_USAGE = 0, 1, 2
EXIT_MISSING = 1
EXIT_PIPE = 128 + 13  # what a shell reports for a command ended by SIGPIPE

EXAMPLES = """\
examples:
  vornal-config show defaults.ini site.yaml
  vornal-config show --flat --origin defaults.ini site.yaml
  vornal-config show --filter "And('^db', Not('password'))" defaults.ini site.yaml
  vornal-config show --json defaults.ini
  vornal-config get db.port defaults.ini site.yaml
  vornal-config get 'server.allowed_hosts[0]' defaults.ini site.yaml
  vornal-config diff defaults.ini defaults.ini,site.yaml
  cat site.yaml | vornal-config show --type yaml defaults.ini -

paths: keys joined by ".", list positions as [i]; a key holding ". [ ] ( )",
  quotes or spaces is written as a JSON string ("a.b"), a key that is not a
  string as its literal in parentheses ((8080), (True)).
filters: And(...), Or(...), Not(...) over string literals (regular expressions
  searched in each leaf's path), nested freely; any other text is one pattern.
exit status: 0 success (diff: no differences), 1 key not found (get) or
  differences found (diff), 2 usage or input error
"""


def _version():
    from . import __version__

    return f"{PROG} {__version__}"


# --- the merged result ----------------------------------------------------------------


def walk(root, path=()):
    """(path, value) of every leaf under root, in order, through the dict and list protocols.

    Non-empty dicts (levels and the plain dicts inside lists), lists and
    tuples are descended into; anything else, and an empty container, is a
    leaf. A container met again inside itself is a leaf.
    """
    from .cli_syntax import Index

    out = []
    if not (isinstance(root, (dict, list, tuple)) and root):
        return [(path, root)]
    stack = [(path, _members(root, Index), id(root))]
    open_ids = {id(root)}
    while stack:
        prefix, members, ident = stack[-1]
        for step, value in members:
            child = prefix + (step,)
            if isinstance(value, (dict, list, tuple)) and value and id(value) not in open_ids:
                stack.append((child, _members(value, Index), id(value)))
                open_ids.add(id(value))
                break
            out.append((child, value))
        else:
            stack.pop()
            open_ids.discard(ident)
    return out


def _members(container, Index):
    if isinstance(container, dict):
        return iter(list(dict.items(container)))
    return iter([(Index(i), v) for i, v in enumerate(container)])


class Presenter:
    """The one place where leaf values become output text or JSON values."""

    def text(self, path, value):
        return f"{value!r}  ({type(value).__name__})"

    def json(self, path, value):
        return to_json(value)


def _json_key(key):
    if isinstance(key, str):
        return key
    import datetime

    if isinstance(key, (datetime.date, datetime.time)):
        return key.isoformat()
    if key is None or isinstance(key, (bool, int, float)):
        import json

        return json.dumps(key) if not isinstance(key, float) or key == key else "NaN"
    return str(key)


def to_json(value, _open=frozenset()):
    """A value as strict JSON data (see the README for the mapping of types JSON lacks).

    A container met again inside itself becomes its repr string."""
    if value is None or isinstance(value, (str, bool, int)):
        return value
    if isinstance(value, float):
        if value != value:
            return "NaN"
        if value in (float("inf"), float("-inf")):
            return "Infinity" if value > 0 else "-Infinity"
        return value
    if isinstance(value, (dict, list, tuple)):
        if id(value) in _open:
            return repr(value)
        inside = _open | {id(value)}
        if isinstance(value, dict):
            return {_json_key(k): to_json(v, inside) for k, v in dict.items(value)}
        return [to_json(v, inside) for v in value]
    import datetime

    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, (bytes, bytearray)):
        import base64

        return base64.b64encode(value).decode("ascii")
    if isinstance(value, (set, frozenset)):
        import json

        items = [to_json(v, _open) for v in value]
        return sorted(items, key=lambda v: json.dumps(v, sort_keys=True))
    return repr(value)


def json_tree(pairs, present):
    """The nested JSON document of (path, value) leaves, each value through present.

    Lists hold the items that are there: when a filter left some out, the
    others move up.
    """
    from .cli_syntax import Index

    if not pairs:
        return {}
    if pairs[0][0] == ():
        return present((), pairs[0][1])
    root = [] if type(pairs[0][0][0]) is Index else {}
    current = {}  # id(list) -> (index step, the item made for it)
    for path, value in pairs:
        node = root
        for step, following in zip(path, path[1:]):
            fresh = [] if type(following) is Index else {}
            if type(step) is Index:
                seen = current.get(id(node))
                if seen is None or seen[0] != step:
                    node.append(fresh)
                    current[id(node)] = seen = (step, fresh)
                node = seen[1]
            else:
                node = node.setdefault(_json_key(step), fresh)
        last = path[-1]
        if type(last) is Index:
            node.append(present(path, value))
        else:
            node[_json_key(last)] = present(path, value)
    return root


def json_document(root, present):
    """The JSON document of everything under root, each leaf value through present:
    what json_tree(walk(root), present) gives, in one pass."""
    from .cli_syntax import Index

    if not (isinstance(root, (dict, list, tuple)) and root):
        return {} if isinstance(root, dict) else present((), root)
    top = {} if isinstance(root, dict) else []
    stack = [((), _members(root, Index), top, id(root))]
    open_ids = {id(root)}
    while stack:
        prefix, members, target, ident = stack[-1]
        for step, value in members:
            path = prefix + (step,)
            if isinstance(value, (dict, list, tuple)) and value and id(value) not in open_ids:
                made = {} if isinstance(value, dict) else []
                stack.append((path, _members(value, Index), made, id(value)))
                open_ids.add(id(value))
            else:
                made = present(path, value)
            if type(step) is Index:
                target.append(made)
            else:
                target[_json_key(step)] = made
            if stack[-1][2] is made:
                break
        else:
            stack.pop()
            open_ids.discard(ident)
    return top


def dumps(document):
    import json

    return json.dumps(document, indent=2, ensure_ascii=False, allow_nan=False) + "\n"


# --- loading --------------------------------------------------------------------------


class _WarningHandler:
    """Turns the configuration logger's records into `vornal-config: warning:` lines."""

    def __init__(self, session):
        import logging

        self.session = session
        self.logger = logging.getLogger("vornal.datastructures.configuration")
        session_ref = session

        class Handler(logging.Handler):
            def emit(self, record):
                session_ref.warn(session_ref.record_text(record))

        class Strict(logging.Filter):
            def filter(self, record):
                if session_ref.strict and record.levelno >= logging.WARNING:
                    raise StrictWarning(session_ref.record_text(record))
                return True

        self.handler, self.filter = Handler(), Strict()

    def __enter__(self):
        self.saved = self.logger.propagate
        self.logger.propagate = False
        self.logger.addHandler(self.handler)
        self.logger.addFilter(self.filter)
        return self

    def __exit__(self, *exc):
        self.logger.removeFilter(self.filter)
        self.logger.removeHandler(self.handler)
        self.logger.propagate = self.saved


def _may_hold_aliases(data):
    """Whether a YAML text may define an anchor: only such documents can hold aliases,
    and only they are composed here to bound them. An anchor is "&" and a name, and
    never follows a letter or digit directly (as in "d&d"); a space follows "&" in
    prose ("R & D")."""
    import re

    return re.search(rb"(?<![0-9A-Za-z])&[^\s\[\]{},]", data) is not None


class StrictWarning(Exception):
    """A warning that --strict turns into an error."""


class Session:
    """One set of layers loaded into one Configuration, with what is needed to explain it."""

    def __init__(self, args, names, entrypoint=None):
        self.args, self.names, self.entrypoint = args, names, entrypoint
        self.strict = args.strict
        self.layers = []
        self.current = None
        self._origins = None

    def warn(self, text):
        said = self.args.__dict__.setdefault("warned", set())  # each warning once per run (diff loads twice)
        if text not in said:
            said.add(text)
            sys.stderr.write(f"{PROG}: warning: {text}\n")

    def record_text(self, record):
        from .cli_input import ENV_WARNING, ini_line

        layer = self.current
        message = record.getMessage()
        if layer is None:
            return message
        line = None
        if record.msg == ENV_WARNING and isinstance(record.args, tuple) and len(record.args) == 3:
            line = ini_line(layer, record.args[1], record.args[2])
        return f"{layer.where(line)}: {layer.named(message)}"

    def skipped(self, name, reason):
        from .cli_input import CliError

        if self.strict:
            raise CliError(name, f"{reason} (--strict)")
        self.warn(f"{name}: skipped: {reason}")

    def load(self):
        from .cli_input import CliError, Skipped, read_layer

        if self.names.count("-") > 1:
            raise CliError(None, "standard input (-) can be read only once")
        for name in self.names:
            try:
                self.layers.append(read_layer(name, self.args.type))
            except Skipped as exc:
                self.skipped(name, exc)
        from .configuration import Configuration

        cfg = Configuration()
        with _WarningHandler(self):
            for layer in self.layers:
                self.current = layer
                self._load_layer(cfg, layer)
            self.current = None
            if self.entrypoint:
                self._load_entry_points(cfg)
        return cfg

    def _load_layer(self, cfg, layer):
        from .cli_input import CliError, as_path, check_aliases, ini_bytes
        from .configuration import Configuration

        try:
            if layer.kind == "ini":
                data, load = ini_bytes(layer), Configuration.load_cfgs
            else:
                data, load = layer.data, Configuration.load_yamls
                if _may_hold_aliases(data):
                    check_aliases(layer)
            with as_path(data) as layer.proxy:
                load(cfg, layer.proxy)
        except CliError:
            raise
        except StrictWarning as exc:
            raise CliError(None, f"{exc} (--strict)") from exc
        except Exception as exc:
            raise self._explain(cfg, layer, exc) from exc
        finally:
            layer.proxy = None

    def _explain(self, cfg, layer, exc):
        """The CliError that says why the library refused this layer."""
        import configparser

        import yaml

        from .cli_input import CliError, bad_percent, conflict, ini_line, yaml_error, yaml_node

        name = type(exc).__name__
        if isinstance(exc, RecursionError):
            return CliError(layer.label, "nested too deeply to be read (Python's recursion limit was reached)")
        if isinstance(exc, MemoryError):
            return CliError(layer.label, "too large to be read in the memory there is")
        if isinstance(exc, yaml.YAMLError):
            return yaml_error(layer, exc)
        if isinstance(exc, configparser.InterpolationError):
            line = ini_line(layer, exc.section, exc.option)
            if isinstance(exc, configparser.InterpolationMissingOptionError):
                text = f"%({exc.reference})s names no option of [{exc.section}]"
            else:
                text = _one_line(layer.named(exc))
            return CliError(layer.where(line), f"[{exc.section}] {exc.option}: {text}; write %% for a literal %")
        if isinstance(exc, configparser.Error):
            line = getattr(exc, "lineno", None)
            if line is None and getattr(exc, "errors", None):
                line = exc.errors[0][0]
            return CliError(layer.where(line), f"{name}: {_message(layer, exc)}")
        if layer.kind == "ini" and isinstance(exc, ValueError) and "interpolation" in str(exc):
            found = bad_percent(layer)
            if found:
                section, option, text = found
                return CliError(layer.where(ini_line(layer, section, option)),
                                f"[{section}] {option}: {text}; write %% for a literal %")
        if isinstance(exc, (AttributeError, KeyError, TypeError)):
            text = conflict(self.layers[:self.layers.index(layer) + 1], layer)
            if text:
                return CliError(None, text)
            if layer.kind == "yaml":
                try:
                    _, node = yaml_node(layer)
                except Exception:
                    node = None
                if node is not None and not (node.tag == "tag:yaml.org,2002:map"):
                    kind = {"ScalarNode": "a single value", "SequenceNode": "a list"}.get(type(node).__name__, "no mapping")
                    return CliError(layer.label, f"the document is {kind}; a configuration file holds a mapping "
                                                 "of keys at its top")
        return CliError(layer.label, f"{name}: {_message(layer, exc)}")

    def _load_entry_points(self, cfg):
        from vornal.utils.import_utils import get_entry_points

        from .cli_input import CliError, Layer
        from .configuration import Configuration

        group = self.entrypoint
        try:
            eps = list(get_entry_points(group))
        except Exception as exc:
            raise CliError(f"entry points {group}", f"{type(exc).__name__}: {_one_line(exc)}") from exc
        if not eps:
            if self.strict:
                raise CliError(f"entry points {group}", "no entry point is installed in this group (--strict)")
            self.warn(f"entry points {group}: no entry point is installed in this group")
        for ep in eps:
            label = f"entry point {group}:{getattr(ep, 'name', '?')}"
            try:
                content = ep.load()
                Configuration.update(cfg, content)
            except Exception as exc:
                text = f"{label}: cannot be loaded: {type(exc).__name__}: {_one_line(exc)}"
                if self.strict:
                    raise CliError(None, f"{text} (--strict)") from exc
                self.warn(text)
                continue
            self.layers.append(Layer(label, "entrypoint", content, entry_point=ep, label=label))

    def origins(self):
        """The function from a leaf path to the origin of its value."""
        if self._origins is None:
            from .cli_input import Origins, assignments

            origins = Origins()
            for layer in self.layers:
                for path, kind, origin in assignments(layer):
                    origins.apply(path, kind, origin)
            self._origins = origins
        return self._origins


def _one_line(exc):
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__


def _message(layer, exc):
    return _one_line(layer.named(exc))


def _layer_names(text):
    """A diff side: one file, or a comma-separated set of layers."""
    if "," in text and not os.path.exists(text):
        return [part for part in text.split(",") if part]
    return [text]


# --- commands -------------------------------------------------------------------------


def _filter(args):
    if args.filter is None:
        return None
    from .cli_input import CliError
    from .cli_syntax import FilterError, parse_filter
    from .logic import And, Not, Or

    try:
        return parse_filter(args.filter, {"And": And, "Or": Or, "Not": Not})
    except FilterError as exc:
        raise CliError("--filter", exc) from None
    except RecursionError:
        raise CliError("--filter", "nested too deeply") from None


def _leaves(cfg, expression):
    from .cli_syntax import render_path

    pairs = walk(cfg)
    if pairs == [((), cfg)]:
        pairs = []  # an empty configuration has no leaves
    if expression is not None:
        pairs = [(path, value) for path, value in pairs if expression(render_path(path))]
    return pairs


def _tree(title, pairs, presenter, origins):
    from .branch import Branch
    from .cli_syntax import Index, render_key

    def step_text(step):
        return f"[{int(step)}]" if type(step) is Index else render_key(step)

    root = Branch(title)
    nodes = {(): root}
    for path, value in pairs:
        for depth in range(1, len(path)):
            prefix = path[:depth]
            if prefix not in nodes:
                nodes[prefix] = Branch(step_text(prefix[-1]))
                nodes[prefix[:-1]].add_child(nodes[prefix])
        text = f"{step_text(path[-1])} = {presenter.text(path, value)}"
        if origins is not None:
            text += f"  [{origins(path) or '?'}]"
        nodes[path[:-1]].add_child(Branch(text))
    return str(root) + "\n"


def show(args, out):
    from .cli_syntax import render_path

    expression = _filter(args)
    session = Session(args, args.files, args.entrypoint)
    cfg = session.load()
    if args.get is not None:
        return _print_value(cfg, args.get, out)
    presenter = Presenter()
    origins = session.origins() if args.origin else None
    if args.json and expression is None and origins is None:
        out.append(dumps(json_document(cfg, presenter.json)))
        return EXIT_OK
    pairs = _leaves(cfg, expression)
    if args.json:
        document = json_tree(pairs, presenter.json)
        if origins is not None:
            document = {"values": document, "origins": {render_path(p): origins(p) for p, _ in pairs}}
        out.append(dumps(document))
    elif args.flat:
        for path, value in pairs:
            line = f"{render_path(path)} = {presenter.text(path, value)}"
            if origins is not None:
                line += f"  [{origins(path) or '?'}]"
            out.append(line + "\n")
    else:
        title = " + ".join(args.files + ([f"entry points {args.entrypoint}"] if args.entrypoint else []))
        out.append(_tree(title or "configuration", pairs, presenter, origins))
    return EXIT_OK


def _print_value(cfg, key, out):
    from .cli_input import CliError
    from .cli_syntax import PathError, lookup, parse_path

    try:
        steps = parse_path(key)
    except PathError as exc:
        raise CliError(None, f"not a path: {key}: {exc}") from None
    try:
        value = lookup(cfg, steps)
    except (KeyError, IndexError):
        sys.stderr.write(f"{PROG}: key not found: {key}\n")
        return EXIT_MISSING
    if isinstance(value, str):
        out.append(value + "\n")
    elif isinstance(value, (dict, list, tuple)) and value:
        out.append(dumps(json_document(value, lambda path, v: to_json(v))))
    else:
        out.append(dumps(to_json(value)))
    return EXIT_OK


def get(args, out):
    session = Session(args, args.files, args.entrypoint)
    return _print_value(session.load(), args.key, out)


def diff(args, out):
    from .cli_syntax import render_path

    expression = _filter(args)
    sides = []
    for text in (args.old, args.new):
        session = Session(args, _layer_names(text))
        cfg = session.load()
        origins = session.origins() if args.origin else None
        sides.append(({render_path(p): (p, v) for p, v in _leaves(cfg, expression)}, origins))
    (old, old_origin), (new, new_origin) = sides
    presenter = Presenter()

    def where(origins, path):
        return origins(path) or "?"

    changes = 0
    for name, (path, value) in old.items():
        if name not in new:
            line = f"- {name} = {presenter.text(path, value)}"
            if args.origin:
                line += f"  [{where(old_origin, path)}]"
        else:
            new_path, new_value = new[name]
            if _same(value, new_value):
                continue
            line = f"~ {name} = {presenter.text(path, value)} -> {presenter.text(new_path, new_value)}"
            if args.origin:
                line += f"  [{where(old_origin, path)} -> {where(new_origin, new_path)}]"
        out.append(line + "\n")
        changes += 1
    for name, (path, value) in new.items():
        if name not in old:
            line = f"+ {name} = {presenter.text(path, value)}"
            if args.origin:
                line += f"  [{where(new_origin, path)}]"
            out.append(line + "\n")
            changes += 1
    return EXIT_DIFFERENT if changes else EXIT_OK


def _same(a, b):
    if type(a) is not type(b):
        return False
    try:
        if a == b:
            return True
    except Exception:
        pass
    return repr(a) == repr(b)


# --- command line ---------------------------------------------------------------------


def _parser():
    import argparse

    def parser(**kw):
        return dict(formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EXAMPLES, color=True,
                    suggest_on_error=True, **kw)

    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--type", choices=("ini", "yaml"),
                        help="the type of standard input (-) and of files without a known suffix")
    common.add_argument("--strict", action="store_true",
                        help="missing or unreadable files, unset environment variables and failed or empty "
                             "entry-point groups end the run (exit 2) instead of a warning")
    common.add_argument("--debug", action="store_true", help="show the traceback of an error")
    files = dict(metavar="FILE", help=".ini/.cfg/.conf (INI), .yaml/.yml (YAML), or - (standard input)")

    top = argparse.ArgumentParser(
        prog=PROG, **parser(description="Show what layered configuration files produce: the files are loaded into "
                                        "one Configuration in the order given (INI by load_cfgs, YAML by load_yamls) "
                                        "and the merged result is printed with the Python type of every value."))
    top.add_argument("--version", action="version", version=_version())
    sub = top.add_subparsers(dest="command", metavar="COMMAND", required=True)

    p = sub.add_parser("show", parents=[common], help="print the merged configuration",
                       **parser(description="Load FILE... in order into one configuration and print the result: "
                                            "a tree by default, leaves as `key = value  (type)`."))
    p.add_argument("files", nargs="*", **files)
    p.add_argument("--entrypoint", metavar="GROUP", help="also load the entry points of this group, after the files")
    view = p.add_mutually_exclusive_group()
    view.add_argument("--flat", action="store_true", help="one `path = value  (type)` line per leaf")
    view.add_argument("--json", action="store_true", help="the merged result as JSON")
    view.add_argument("--get", metavar="PATH", help="print only the value at PATH (exit 1 if missing)")
    p.add_argument("--origin", action="store_true", help="name the file and line that set each leaf's value")
    p.add_argument("--filter", metavar="EXPR", help="keep the leaves whose path satisfies EXPR")
    p.set_defaults(run=show)

    g = sub.add_parser("get", parents=[common], help="print one value by path",
                       **parser(description="Load FILE... in order and print the value at PATH: a string as its text, "
                                            "anything else as JSON; exit 1 when it is missing."))
    g.add_argument("key", metavar="PATH")
    g.add_argument("files", nargs="*", **files)
    g.add_argument("--entrypoint", metavar="GROUP", help="also load the entry points of this group, after the files")
    g.set_defaults(run=get)

    d = sub.add_parser("diff", parents=[common], help="compare two sets of layers",
                       **parser(description="Load OLD and NEW (each a file or comma-separated files, loaded in order) "
                                            "and print the leaves removed (-), changed (~) and added (+); exit 0 when "
                                            "equal, 1 when they differ."))
    d.add_argument("old", metavar="OLD")
    d.add_argument("new", metavar="NEW")
    d.add_argument("--origin", action="store_true", help="name the file and line of each value on both sides")
    d.add_argument("--filter", metavar="EXPR", help="compare only the leaves whose path satisfies EXPR")
    d.set_defaults(run=diff)
    return top


def _refuse_combinations(parser, args):
    if args.command == "show" and args.get is not None:
        for flag in ("filter", "origin"):
            if getattr(args, flag):
                parser.error(f"argument --{flag}: not allowed with argument --get")
    if args.command in ("show", "get") and not args.files and not args.entrypoint:
        parser.error("give at least one FILE or --entrypoint")


def _write(out):
    """Writes the output; a closed pipe ends quietly, a failed write with one line."""
    stream = sys.stdout
    try:
        stream.write("".join(out))
        stream.flush()
    except BrokenPipeError:
        _silence_stdout()
        return EXIT_PIPE
    except OSError as exc:
        _silence_stdout()
        sys.stderr.write(f"{PROG}: cannot write the output: {exc.strerror or exc}\n")
        return EXIT_USAGE
    except UnicodeEncodeError as exc:
        sys.stderr.write(f"{PROG}: cannot write the output: it holds {exc.object[exc.start]!r}, which the output's "
                         f"encoding ({exc.encoding}) cannot carry\n")
        return EXIT_USAGE
    return None


def _silence_stdout():
    """Points stdout at /dev/null, so that the interpreter's last flush has nowhere to fail."""
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        return
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, fd)
    os.close(null)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv == ["--version"]:  # answered without importing anything else
        sys.stdout.write(_version() + "\n")
        return EXIT_OK
    parser = _parser()
    args = parser.parse_args(argv)
    _refuse_combinations(parser, args)
    from .cli_input import CliError

    out = []
    try:
        status = args.run(args, out)
    except CliError as exc:
        if args.debug:
            import traceback

            traceback.print_exc()
        sys.stderr.write(f"{PROG}: {exc}\n")
        return EXIT_USAGE
    except KeyboardInterrupt:
        sys.stderr.write(f"{PROG}: interrupted\n")
        return 128 + 2
    except Exception as exc:
        if args.debug:
            import traceback

            traceback.print_exc()
        sys.stderr.write(f"{PROG}: {type(exc).__name__}: {_one_line(exc)}\n")
        return EXIT_USAGE
    return _write(out) or status


if __name__ == "__main__":
    sys.exit(main())

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
REDACTED = "<redacted>"

# The words of a key that make its value (and everything below it) secret, as a
# --redact expression. A word is a run of letters between other characters or
# camel-case steps (dbPassword: db, Password), matched case-insensitively, with
# a plural s. The longer names may also end a word (dbpassword, as INI files
# hold dbPassword: they lower-case option names); auth and pwd must be whole
# words, so that author, oauth_url and OLDPWD are not masked. Every test looks
# at most one character beyond the word, and the characters around a key in a
# path ("." "[" "]" and quotes) are not letters, so the expression says the same
# of a path as of each of its keys alone: Presenter relies on that.
_WORD_END = r"(?![a-z]|(?<=[A-Z])[A-Z])"
DEFAULT_REDACT = (
    "Or("
    rf"'(?i:(?:pass(?:word|wd)|secret|token|api[-_ ]?key|private[-_ ]?key|credential)s?){_WORD_END}', "
    rf"'(?:(?<![A-Za-z])|(?<=[a-z])(?=[A-Z]))(?i:(?:auth|pwd)s?){_WORD_END}')")

EXAMPLES = f"""\
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
secrets: show and diff print <redacted> (and the type) for the value of every
  leaf whose path satisfies the --redact expression, and in place of its text
  inside other values (%(name)s, $VAR, YAML aliases); no error or warning line
  quotes such a value; --reveal masks nothing; get prints what it names.
  The default masks a leaf when a key on its path holds one of these words, in
  any case, a plural s allowed: password, passwd, secret, token, api_key
  (apikey, api-key), private_key, credential, also at the end of a word
  (dbpassword, accessToken, tokens[0]); auth and pwd as whole words only
  (basic_auth, but not author or oauth_url). Words end at characters that are
  not letters and at camelCase steps (secretKey: secret, Key). The default:
  {DEFAULT_REDACT}
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
    """The one place where leaf values become output text or JSON values, and where
    secrets are kept out of the output.

    The value of a leaf whose path (as --flat prints it) satisfies the
    redaction expression is printed as <redacted>, keeping its type. Where a
    layer can copy a value into another (INI references %(name)s and
    environment variables, YAML aliases, entry points), learn() notes the
    masked values' texts, and they read <redacted> inside any other value
    too. clean() takes the texts of masked values out of any error or warning
    line, as the last step before it is written: the messages of the parsers
    and of Python may quote a value.
    """

    def __init__(self, redact=None, per_key=False):
        self.redact = redact        # the expression, or None: nothing is masked
        self._per_key = per_key     # redact says of a path what it says of any of its keys
        self._keys = {}             # key -> whether redact accepts it
        self._unread = []           # layers watched whose secrets are not yet in _secrets
        self._secrets = []          # their texts, longest first
        self._copied = set()        # the texts of masked values that other values may hold
        self._copies = None         # a pattern that finds them
        if redact is not None:
            from .cli_syntax import Index, render_key, render_path

            self._Index, self._render_key, self._render_path = Index, render_key, render_path

    def masks(self, path):
        redact = self.redact
        if redact is None:
            return False
        if not self._per_key:
            return bool(redact(self._render_path(path)))
        # Keys that are equal but written differently (1, 1.0, True; 0 and [0]) hold no letters,
        # so one answer per equal key serves them all.
        keys = self._keys
        for step in path:
            hit = keys.get(step)
            if hit is None:
                hit = keys[step] = type(step) is not self._Index and bool(redact(self._render_key(step)))
            if hit:
                return True
        return False

    def learn(self, cfg, layers):
        """Notes the texts of the masked values that other values may hold: those of cfg and those
        the layers that can copy a value wrote (a later layer may have replaced them in cfg)."""
        copying = [layer for layer in layers if _may_copy(layer)]
        if self.redact is None or not copying:
            return
        from .cli_input import secrets

        found = [value for path, value in walk(cfg) if isinstance(value, str) and self.masks(path)]
        for layer in copying:
            found += secrets(layer, self.masks)
        self._copied.update(form for text in found for form in _forms(text, quoted=False))
        if self._copied:
            import re

            self._copies = re.compile("|".join(map(re.escape, sorted(self._copied, key=len, reverse=True))))

    def text(self, path, value):
        if self.masks(path):
            return f"{REDACTED}  ({type(value).__name__})"
        if self._copies is not None and isinstance(value, str):
            value = self._copies.sub(REDACTED, value)
        return f"{value!r}  ({type(value).__name__})"

    def json(self, path, value):
        if self.masks(path):
            return REDACTED
        if self._copies is not None and isinstance(value, str):
            return self._copies.sub(REDACTED, value)
        return to_json(value)

    def watch(self, layer):
        """Remember a layer whose masked values must never appear in an error or warning line."""
        if self.redact is not None:
            self._unread.append(layer)

    def clean(self, text):
        """text with the text of every masked value of the layers watched (each line of it, as
        written and as repr() writes it, when at least 4 characters long) replaced by <redacted>."""
        if self._unread:
            from .cli_input import secrets

            found = set(self._secrets)
            for layer in self._unread:
                for secret in secrets(layer, self.masks):
                    found.update(_forms(secret, quoted=True))
            self._unread = []
            self._secrets = sorted(found, key=len, reverse=True)
        for secret in self._secrets:
            text = text.replace(secret, REDACTED)
        return text


def _forms(secret, quoted):
    """The texts to take out of the output for a secret: it, each of its lines and, where it is
    quoted by repr(), its repr form; each stripped, and only when at least 4 characters long."""
    forms = (secret, *secret.splitlines(), repr(secret)[1:-1]) if quoted else (secret, *secret.splitlines())
    return {form.strip() for form in forms if len(form.strip()) >= 4}


def _may_copy(layer):
    """Whether a layer can put a value it also holds elsewhere, or an environment variable's, in a value."""
    if layer.kind == "ini":
        return b"%(" in layer.data or b"$" in layer.data
    if layer.kind == "yaml":
        return _may_hold_aliases(layer.data)
    return True


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

        from .cli_input import ENV_WARNING

        self.session = session
        self.logger = logging.getLogger("vornal.datastructures.configuration")
        session_ref = session

        class Handler(logging.Handler):
            def emit(self, record):
                session_ref.warn(session_ref.record_text(record), quotes=record.msg != ENV_WARNING)

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
        self.presenter = args.presenter
        self.strict = args.strict
        self.layers = []
        self.current = None
        self._origins = None

    def warn(self, text, quotes=False):
        """Writes a warning line; quotes: it holds a message from elsewhere, which may quote a value."""
        said = self.args.__dict__.setdefault("warned", set())  # each warning once per run (diff loads twice)
        if text not in said:
            said.add(text)
            sys.stderr.write(f"{PROG}: warning: {self.presenter.clean(text) if quotes else text}\n")

    def record_text(self, record):
        from .cli_input import ENV_WARNING, ini_line

        layer = self.current
        message = record.getMessage()
        if layer is None:
            return message
        line = None
        if record.msg == ENV_WARNING and isinstance(record.args, tuple) and len(record.args) == 3:
            _, section, option = record.args
            line = ini_line(layer, section, option)
            if self._masked_option(layer, section, option):  # the names are part of the value
                message = ENV_WARNING % (REDACTED, section, option)
        return f"{layer.where(line)}: {layer.named(message)}"

    def _masked_option(self, layer, section, option):
        from .cli_input import option_paths

        return any(self.presenter.masks(path) for path in option_paths(layer, section, option))

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
            else:
                self.presenter.watch(self.layers[-1])
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

        from .cli_input import CliError, bad_percent, conflict, ini_line, yaml_bad_scalar, yaml_error, yaml_node
        from .cli_syntax import render_path

        name = type(exc).__name__
        if isinstance(exc, RecursionError):
            return CliError(layer.label, "nested too deeply to be read (Python's recursion limit was reached)")
        if isinstance(exc, MemoryError):
            return CliError(layer.label, "too large to be read in the memory there is")
        if isinstance(exc, yaml.YAMLError):
            return yaml_error(layer, exc)
        if isinstance(exc, configparser.InterpolationError):
            line = ini_line(layer, exc.section, exc.option)
            masked = self._masked_option(layer, exc.section, exc.option)
            if isinstance(exc, configparser.InterpolationMissingOptionError):
                text = f"%({REDACTED if masked else exc.reference})s names no option of [{exc.section}]"
            elif masked:
                text = _one_line(exc)
                at = text.find("Raw value:")
                text = (text[:at] + f"Raw value: {REDACTED}") if at >= 0 else f"invalid interpolation syntax in {REDACTED}"
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
                if self._masked_option(layer, section, option):
                    text = f"invalid interpolation syntax in {REDACTED}"
                return CliError(layer.where(ini_line(layer, section, option)),
                                f"[{section}] {option}: {text}; write %% for a literal %")
        if layer.kind == "yaml":
            found = yaml_bad_scalar(layer)
            if found:  # the loader's message may quote the value, and says neither where nor which
                path, line, tag, text = found
                shown = REDACTED if self.presenter.masks(path) else repr(text)
                return CliError(layer.where(line), f"{render_path(path)}: {shown} is not a valid {tag}")
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
                layer = Layer(label, "entrypoint", content, entry_point=ep, label=label)
                self.presenter.watch(layer)  # before merging: a failed merge may quote a value
                Configuration.update(cfg, content)
            except Exception as exc:
                text = f"{label}: cannot be loaded: {type(exc).__name__}: {_one_line(exc)}"
                if self.strict:
                    raise CliError(None, f"{text} (--strict)") from exc
                self.warn(text, quotes=True)
                continue
            self.layers.append(layer)

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


def _expression(flag, text):
    """The logic expression of an option's text, parsed (never run)."""
    from .cli_input import CliError
    from .cli_syntax import FilterError, parse_filter
    from .logic import And, Not, Or

    try:
        return parse_filter(text, {"And": And, "Or": Or, "Not": Not})
    except FilterError as exc:
        raise CliError(flag, exc) from None
    except RecursionError:
        raise CliError(flag, "nested too deeply") from None


def _filter(args):
    return None if args.filter is None else _expression("--filter", args.filter)


def _presenter(args):
    if args.reveal:
        return Presenter()
    if args.redact is not None:
        return Presenter(_expression("--redact", args.redact))
    return Presenter(_expression("--redact", DEFAULT_REDACT), per_key=True)


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
    presenter = args.presenter
    presenter.learn(cfg, session.layers)
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
        args.presenter.learn(cfg, session.layers)
        origins = session.origins() if args.origin else None
        sides.append(({render_path(p): (p, v) for p, v in _leaves(cfg, expression)}, origins))
    (old, old_origin), (new, new_origin) = sides
    presenter = args.presenter

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
    masking = common.add_mutually_exclusive_group()
    masking.add_argument("--redact", metavar="EXPR",
                         help="mask the values of the leaves whose path satisfies EXPR (the syntax of --filter), "
                              "instead of the default expression (see secrets below)")
    masking.add_argument("--reveal", action="store_true", help="mask no value")
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
    args.presenter = presenter = Presenter()  # masks nothing: it serves until the options are read
    try:
        args.presenter = presenter = _presenter(args)
        status = args.run(args, out)
    except CliError as exc:
        return _fail(args, presenter, str(exc))
    except KeyboardInterrupt:
        sys.stderr.write(f"{PROG}: interrupted\n")
        return 128 + 2
    except Exception as exc:
        return _fail(args, presenter, f"{type(exc).__name__}: {_one_line(exc)}")
    return _write(out) or status


def _fail(args, presenter, text):
    """The error boundary: the line (and with --debug the traceback), without masked values."""
    if args.debug:
        import traceback

        sys.stderr.write(presenter.clean(traceback.format_exc()))
    sys.stderr.write(f"{PROG}: {presenter.clean(text)}\n")
    return EXIT_USAGE


if __name__ == "__main__":
    sys.exit(main())

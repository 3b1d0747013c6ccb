"""The commands of vornal-config (show, get, diff, explain) and its command line."""
import argparse
import os
import sys

from ..logic import And, Not, Or
from .errors import EXIT_DIFFERENT, EXIT_MISSING, EXIT_OK, PROG, CliError, version
from .layers import READ_LIMIT, size_text
from .present import Presenter, dumps, json_document, json_tree, leaves, to_json, tree
from .session import Session, history
from .syntax import FilterError, PathError, lookup, parse_filter, parse_path, render_path

# The words of a key that make its value (and everything below it) secret, as a
# --redact expression. A word is a run of letters between other characters or
# camel-case steps (dbPassword: db, Password), matched case-insensitively, with
# a plural s. The longer names may also end a word (dbpassword, as INI files
# hold dbPassword: they lower-case option names); auth, pwd and pass must be
# whole words, so that author, oauth_url, OLDPWD and passport are not masked.
# A key word ("key", "Key") masks when another word comes before it
# (client_key, signingKey), unless that word names a kind of key that is no
# secret (sort_key, primary_key, public_key). Every test looks at most one
# character beyond the key, and the characters around a key in a path ("."
# "[" "]" and quotes) are not letters or digits, so the expression says the
# same of a path as of each of its keys alone: Presenter relies on that.
_WORD_END = r"(?![a-z]|(?<=[A-Z])[A-Z])"
_PLAIN_KEYS = ("primary", "foreign", "public", "sort", "partition", "hash", "range", "cache", "unique", "composite",
               "shard", "group", "lookup", "index", "map", "dict", "hot", "routing", "row", "column", "order",
               "join", "dedup", "lock", "object", "field", "message", "label", "name", "type", "tag", "cursor",
               "page", "next")
DEFAULT_REDACT = (
    "Or("
    rf"'(?i:(?:pass(?:word|wd|phrase)|secret|token|api[-_ ]?key|private[-_ ]?key|credential)s?){_WORD_END}', "
    rf"'(?:(?<![A-Za-z])|(?<=[a-z])(?=[A-Z]))(?i:(?:auth|pwd|pass)s?){_WORD_END}', "
    rf"'(?<=[A-Za-z0-9])(?i:{''.join(f'(?<!{word})' for word in _PLAIN_KEYS)})"
    rf"(?:[-_ ](?i:keys?)|(?<=[a-z0-9])Keys?){_WORD_END}')")

EXAMPLES = f"""\
examples:
  vornal-config show defaults.ini site.yaml
  vornal-config show --flat --origin defaults.ini site.yaml
  vornal-config show --filter "And('^db', Not('password'))" defaults.ini site.yaml
  vornal-config show --json defaults.ini
  vornal-config show defaults.ini site.yaml local.yaml --optional local.yaml
  vornal-config get db.port defaults.ini site.yaml
  vornal-config get 'server.allowed_hosts[0]' defaults.ini site.yaml
  vornal-config explain db.pool defaults.ini site.yaml
  vornal-config diff defaults.ini defaults.ini,site.yaml
  cat site.yaml | vornal-config show --type yaml defaults.ini -

files: .ini/.cfg/.conf are INI, .yaml/.yml YAML; --type ini|yaml sets the type of
  every FILE (and of standard input, -). Consecutive INI files are read by one
  load_cfgs call, as one parser: [DEFAULT] and %(name)s reach across them.
  A file that is missing or cannot be read ends the run (exit 2), unless it is
  named by --optional FILE, which lets it be missing. What cannot seek
  (standard input, FIFOs, devices) is read up to --max-input SIZE (default
  {size_text(READ_LIMIT)}), and only once per run.
INI dialect (the library's): `option = value` with "=" as the only delimiter
  (":" is part of a name); only lines starting with "#" are comments (";" starts
  an option); option names are lower-cased; [DEFAULT] options appear in every
  section; a dotted name makes levels ([a.b], x.y = 1); %(name)s refers to
  another option of the section, so a literal "%" is written "%%"; $NAME and
  ${{NAME}} are environment variables (unset: empty, with a warning).
YAML: one document whose top level is a mapping (an empty file is an empty
  layer). Quoted strings are converted like INI values ('3.10' is stored as
  3.1) and quoted keys holding "." make levels: each such case is a warning,
  an error with --strict.
paths: keys joined by ".", list positions as [i]; a key holding ". [ ] ( )",
  quotes or spaces is written as a JSON string ("a.b"), a key that is not a
  string as its literal in parentheses ((8080), (True), (inf)).
filters: And(...), Or(...), Not(...) over string literals (regular expressions
  searched in each leaf's path), nested freely; any other text is one pattern.
secrets: every view prints <redacted> (and the type) for the value of every
  leaf whose path satisfies the --redact expression, and for every value that
  holds the text of such a value (4 characters or more: %(name)s, $VAR, YAML
  aliases); no error or warning line quotes such a value; get and explain mask
  the secrets below the path they name, get prints a masked leaf it names
  itself; --reveal masks nothing. The default masks a leaf when a key on its
  path holds one of these words, in any case, a plural s allowed: password,
  passwd, passphrase, secret, token, api_key (apikey, api-key), private_key,
  credential, also at the end of a word (dbpassword, accessToken, tokens[0]);
  auth, pwd and pass as whole words only (basic_auth, db_pass, but not author,
  oauth_url or passport); key after another word (client_key, signingKey,
  SSH_KEY), unless that word is one of {', '.join(_PLAIN_KEYS[:6])} and the like
  (sort_key). Words end at characters that are not letters and at camelCase
  steps (secretKey: secret, Key). The default:
  {DEFAULT_REDACT}
exit status: 0 success (diff: no differences), 1 path not found (get,
  explain) or differences found (diff), 2 usage or input error
"""


# --- options --------------------------------------------------------------------------


def expression(flag, text):
    """The logic expression of an option's text, parsed (never run)."""
    try:
        return parse_filter(text, {"And": And, "Or": Or, "Not": Not})
    except FilterError as exc:
        raise CliError(flag, exc) from None
    except RecursionError:
        raise CliError(flag, "nested too deeply") from None


def presenter_of(args):
    if args.reveal:
        return Presenter()
    if args.redact is not None:
        return Presenter(expression("--redact", args.redact))
    return Presenter(expression("--redact", DEFAULT_REDACT), per_key=True)


def _filter(args):
    return None if args.filter is None else expression("--filter", args.filter)


def _path(text):
    try:
        return parse_path(text)
    except PathError as exc:
        raise CliError(None, f"not a path: {text}: {exc}") from None


def layer_names(text):
    """A diff side: one file, or a comma-separated set of layers."""
    if "," in text and not os.path.exists(text):
        return [part for part in text.split(",") if part]
    return [text]


# --- commands -------------------------------------------------------------------------


def show(args, output):
    session = Session(args, output, args.files, args.entrypoint)
    if args.get is not None:
        return print_value(session, args.get, output)
    where = _filter(args)
    cfg = session.load()
    presenter = output.presenter
    presenter.learn(cfg, session)
    origins = session.origins() if args.origin else None
    if args.json and where is None and origins is None:
        output.append(dumps(json_document(cfg, presenter.json)))
        return EXIT_OK
    pairs = leaves(cfg, where)
    if args.json:
        document = json_tree(pairs, presenter.json)
        if origins is not None:
            document = {"values": document, "origins": {render_path(p): origins(p) for p, _ in pairs}}
        output.append(dumps(document))
    elif args.flat:
        for path, value in pairs:
            line = f"{render_path(path)} = {presenter.text(path, value)}"
            if origins is not None:
                line += f"  [{origins(path) or '?'}]"
            output.append(line + "\n")
    else:
        title = " + ".join(args.files + ([f"entry points {args.entrypoint}"] if args.entrypoint else []))
        output.append(tree(title or "configuration", pairs, presenter, origins))
    return EXIT_OK


def print_value(session, text, output):
    """get: the value at a path; a mapping or list with its secrets masked."""
    steps = _path(text)
    cfg = session.load()
    try:
        value = lookup(cfg, steps)
    except (KeyError, IndexError):
        sys.stderr.write(f"{PROG}: key not found: {text}\n")
        return EXIT_MISSING
    presenter = output.presenter
    if isinstance(value, str):
        output.append(value + "\n")
    elif isinstance(value, (dict, list, tuple)) and value:
        presenter.learn(cfg, session)
        output.append(dumps(json_document(value, presenter.json, steps)))
    else:
        output.append(dumps(to_json(value)))
    return EXIT_OK


def get(args, output):
    return print_value(Session(args, output, args.files, args.entrypoint), args.key, output)


def diff(args, output):
    where = _filter(args)
    presenter = output.presenter
    sessions = [Session(args, output, layer_names(text)) for text in (args.old, args.new)]
    sides = []
    for session in sessions:
        cfg = session.load()
        presenter.learn(cfg, session)
        sides.append(({render_path(p): (p, v) for p, v in leaves(cfg, where)},
                      session.origins() if args.origin else None))
    (old, old_origin), (new, new_origin) = sides

    def where_(origins, path):
        return origins(path) or "?"

    changes = 0
    for name, (path, value) in old.items():
        if name not in new:
            line = f"- {name} = {presenter.text(path, value)}"
            if args.origin:
                line += f"  [{where_(old_origin, path)}]"
        else:
            new_path, new_value = new[name]
            if _same(value, new_value):
                continue
            line = f"~ {name} = {presenter.text(path, value)} -> {presenter.text(new_path, new_value)}"
            if args.origin:
                line += f"  [{where_(old_origin, path)} -> {where_(new_origin, new_path)}]"
        output.append(line + "\n")
        changes += 1
    for name, (path, value) in new.items():
        if name not in old:
            line = f"+ {name} = {presenter.text(path, value)}"
            if args.origin:
                line += f"  [{where_(new_origin, path)}]"
            output.append(line + "\n")
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


def explain(args, output):
    """The history of one path: every layer that sets it, in order, and which one wins."""
    steps = _path(args.key)
    session = Session(args, output, args.files, args.entrypoint)
    cfg = session.load()
    presenter = output.presenter
    presenter.learn(cfg, session)
    rows = history(session, cfg, steps)
    if not rows:
        sys.stderr.write(f"{PROG}: no layer sets {args.key}\n")
        return EXIT_MISSING
    if args.json:
        output.append(dumps({"path": render_path(steps), "layers": [
            {key: value for key, value in row.items() if key != "shown"} for row in rows]}))
        return EXIT_OK
    output.append(f"{render_path(steps)}\n")
    for row in rows:
        mark = "*" if row["wins"] else " "
        value = row["shown"]
        line = f"{mark} {row['origin']}: {row['text']}  ->  {value}"
        notes = []
        if row["inherited"]:
            notes.append(f"inherited from {row['inherited']}")
        if row["env"]:
            notes.append("environment: " + ", ".join(f"${name}" + ("" if name in os.environ else " (unset)")
                                                      for name in row["env"]))
        if notes:
            line += "  (" + "; ".join(notes) + ")"
        output.append(line + "\n")
    return EXIT_OK


# --- command line ---------------------------------------------------------------------


def _size(text):
    units = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30}
    number, unit = text.strip().lower().rstrip("ib"), ""
    if number and number[-1] in units:
        number, unit = number[:-1], number[-1]
    try:
        size = int(number) * units[unit]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (a number of bytes, or with K, M or G)") from None
    if size <= 0:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (must be more than 0)")
    return size


class _Parser(argparse.ArgumentParser):
    """argparse's parser, checking each help string as it is added with a formatter of fixed width.

    The formatter argparse makes for that check asks for the terminal's width, which imports shutil
    (and the compression modules it imports): a tenth of a run that prints no help. The width
    plays no part in the check; help and usage that are printed are formatted as usual."""

    _checker = None

    def _get_validation_formatter(self):
        if self._checker is None:
            self._checker = self.formatter_class(prog=self.prog, width=80, color=False)
        return self._checker


def parser():
    """The command line; each subcommand's parser is kept as .subparsers[name], for usage errors."""
    # Colour costs time even where nothing is a terminal: only where one is, or where it is asked for.
    tty = sys.stdout.isatty() or sys.stderr.isatty() or bool(os.environ.get("FORCE_COLOR"))

    def kw(**more):
        return dict(formatter_class=argparse.RawDescriptionHelpFormatter, color=tty, suggest_on_error=True, **more)

    common = _Parser(add_help=False)
    common.add_argument("--type", choices=("ini", "yaml"),
                        help="read every FILE (and standard input, -) as this type, whatever its suffix")
    common.add_argument("--optional", metavar="FILE", action="append",
                        help="FILE (one of the files named) may be missing: then it is left out; "
                             "may be given more than once")
    common.add_argument("--max-input", metavar="SIZE", type=_size, default=READ_LIMIT,
                        help=f"read at most SIZE from what cannot seek (standard input, FIFOs, devices); "
                             f"default {size_text(READ_LIMIT)} (K, M, G: KiB, MiB, GiB)")
    common.add_argument("--strict", action="store_true",
                        help="unset environment variables, conversion notes, INI files with only [DEFAULT] and "
                             "failed or empty entry-point groups end the run (exit 2) instead of a warning")
    common.add_argument("--debug", action="store_true", help="show the traceback of an error")
    masking = common.add_mutually_exclusive_group()
    masking.add_argument("--redact", metavar="EXPR",
                         help="mask the values of the leaves whose path satisfies EXPR (the syntax of --filter), "
                              "instead of the default expression (see vornal-config --help)")
    masking.add_argument("--reveal", action="store_true", help="mask no value")
    files = dict(metavar="FILE", help="a layer: .ini/.cfg/.conf (INI), .yaml/.yml (YAML), or - (standard input); "
                                      "loaded in the order given")
    path_help = 'a path: keys joined by ".", list positions as [i] (as --flat prints it)'

    def layers(command, path=False):
        """The arguments of a command that loads FILE... (after a PATH, if path) and entry points."""
        if path:
            command.add_argument("key", metavar="PATH", help=path_help)
        command.add_argument("files", nargs="*", **files)
        command.add_argument("--entrypoint", metavar="GROUP",
                             help="also load the entry points of this group, after the files")

    top = _Parser(
        prog=PROG, epilog=EXAMPLES,
        **kw(description="Show what layered configuration files produce: the files are loaded into one "
                         "Configuration in the order given (INI by load_cfgs, YAML by load_yamls) and the merged "
                         "result is printed with the Python type of every value."))
    top.add_argument("--version", action="version", version=version())
    # prog given, as argparse would otherwise format the top-level usage to find it
    sub = top.add_subparsers(dest="command", metavar="COMMAND", required=True, prog=PROG)
    epilog = f"See `{PROG} --help` for examples, the INI dialect, paths, filters and secrets."

    p = sub.add_parser("show", parents=[common], help="print the merged configuration", epilog=epilog,
                       **kw(description="Load FILE... in order into one configuration and print the result: "
                                        "a tree by default, leaves as `key = value  (type)`."))
    layers(p)
    view = p.add_mutually_exclusive_group()
    view.add_argument("--flat", action="store_true", help="one `path = value  (type)` line per leaf")
    view.add_argument("--json", action="store_true", help="the merged result as JSON")
    view.add_argument("--get", metavar="PATH", help="print only the value at PATH (exit 1 if missing)")
    p.add_argument("--origin", action="store_true", help="name the file and line that set each leaf's value")
    p.add_argument("--filter", metavar="EXPR", help="keep the leaves whose path satisfies EXPR")
    p.set_defaults(run=show)

    g = sub.add_parser("get", parents=[common], help="print one value by path", epilog=epilog,
                       **kw(description="Load FILE... in order and print the value at PATH: a string as its text, "
                                        "anything else as JSON (secrets below PATH masked); exit 1 when it is "
                                        "missing."))
    layers(g, path=True)
    g.set_defaults(run=get)

    e = sub.add_parser("explain", parents=[common], help="show every layer that sets one path", epilog=epilog,
                       **kw(description="Load FILE... in order and list every layer that sets PATH: FILE:LINE, "
                                        "the text as written, the value stored (and its type), inherited [DEFAULT] "
                                        "values and the environment variables used; * marks the one that wins. "
                                        "Exit 1 when no layer sets PATH."))
    layers(e, path=True)
    e.add_argument("--json", action="store_true", help="the history as JSON")
    e.set_defaults(run=explain)

    d = sub.add_parser("diff", parents=[common], help="compare two sets of layers", epilog=epilog,
                       **kw(description="Load OLD and NEW (each a file or comma-separated files, loaded in order) "
                                        "and print the leaves removed (-), changed (~) and added (+); exit 0 when "
                                        "equal, 1 when they differ."))
    d.add_argument("old", metavar="OLD", help="the layers before: FILE or FILE,FILE,... loaded in order")
    d.add_argument("new", metavar="NEW", help="the layers after: FILE or FILE,FILE,... loaded in order")
    d.add_argument("--origin", action="store_true", help="name the file and line of each value on both sides")
    d.add_argument("--filter", metavar="EXPR", help="compare only the leaves whose path satisfies EXPR")
    d.set_defaults(run=diff)
    top.subparsers = {"show": p, "get": g, "explain": e, "diff": d}
    return top


def refuse_combinations(top, args):
    """Usage errors that argparse cannot see, reported with the subcommand's usage."""
    parser = top.subparsers[args.command]
    if args.command == "show" and args.get is not None:
        for flag in ("filter", "origin"):
            if getattr(args, flag):
                parser.error(f"argument --{flag}: not allowed with argument --get")
    if args.command in ("show", "get", "explain") and not args.files and not args.entrypoint:
        parser.error("give at least one FILE or --entrypoint")
    names = args.files if args.command != "diff" else layer_names(args.old) + layer_names(args.new)
    for name in args.optional or ():
        if name not in names:
            parser.error(f"argument --optional: {name} is not one of the files named")

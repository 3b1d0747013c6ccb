"""The two small languages of vornal-config: leaf paths and filter expressions.

Leaf paths
    A path names one value of the merged configuration, outermost step first.
    Steps after the first are joined by "." (a key) or written as "[i]" (a
    position in a list or tuple)::

        db.port    server.hosts[0]    jobs[2].name    "a.b"."c d"    ports.(8080)

    A key is written bare when it is a non-empty string of printable
    characters without ". [ ] ( )", quotes, backslashes or whitespace, that
    does not start with "-" (which would read as an option); any
    other string key is written as a JSON string in double quotes ("a.b", "",
    "x y", "say \\"hi\\"", "\\u2028": characters that are not printable as
    escapes, so that a path is always one line). Keys that are not strings
    are written in parentheses as the Python literal of the value: (8080),
    (2.5), (True), (None), and (inf), (-inf), (nan); dates and times as ISO 8601: (2024-01-02). ``render_path`` writes this form and
    ``parse_path`` reads it back, so every path that --flat prints is one
    that ``get`` accepts.

Filter expressions
    ``parse_filter`` reads the printed form of the logic expressions, calls of
    And, Or and Not whose arguments are string literals (any form Python
    has: quotes, triple quotes, r and u prefixes, escapes, implicit
    concatenation) or further such calls, nested to any depth. It builds the
    same objects that ``logic_str`` builds from such text, without evaluating
    anything: no other name, call, operator or literal is accepted. Text that
    does not start like a call is one regular expression (``--filter port``).
"""
import ast
import datetime
import json
import re
import warnings

# --- leaf paths -----------------------------------------------------------------------


class Index(int):
    """A step that is a position in a list or tuple, not a mapping key."""

    __slots__ = ()

    def __repr__(self):
        return f"[{int(self)}]"


_BARE = re.compile(r"[^.\[\]()\"'\\\s\x00-\x1f\x7f]+")


def render_key(key):
    """One mapping key as a path step (without the joining dot)."""
    if isinstance(key, str):
        if _BARE.fullmatch(key) and key.isprintable() and key[0] != "-":
            return key
        return _quoted(key)
    if isinstance(key, (datetime.date, datetime.time)):
        return f"({key.isoformat()})"
    return f"({key!r})"


def _quoted(key):
    """A JSON string; characters that are not printable (line breaks among them) as escapes."""
    text = json.dumps(key, ensure_ascii=False)
    if text.isprintable():
        return text
    return "".join(ch if ch.isprintable() else "".join(f"\\u{unit:04x}" for unit in _utf16_units(ch))
                   for ch in text)


def _utf16_units(ch):
    data = ch.encode("utf-16-be", "surrogatepass")
    return [int.from_bytes(data[i:i + 2], "big") for i in range(0, len(data), 2)]


def render_path(path):
    """A path (a tuple of keys and Index steps) as text."""
    parts = []
    for step in path:
        if type(step) is Index:
            parts.append(f"[{int(step)}]")
        else:
            if parts:
                parts.append(".")
            parts.append(render_key(step))
    return "".join(parts)


class PathError(ValueError):
    """Text that is not a path."""


_INDEX = re.compile(r"\[(0|[1-9][0-9]*)\]")
_QUOTED = re.compile(r'"(?:[^"\\]|\\.)*"', re.DOTALL)


_NON_FINITE = ("inf", "-inf", "nan")


def _literal_key(text, at):
    """The key written in parentheses at text[at] == "(", and where it ends."""
    depth, i, quote = 0, at, None
    while i < len(text):
        ch = text[i]
        if quote:
            if ch == "\\":
                i += 1
            elif ch == quote:
                quote = None
        elif ch in "'\"":
            quote = ch
        elif ch == "(":
            depth += 1
        elif ch == ")":
            depth -= 1
            if depth == 0:
                break
        i += 1
    else:
        raise PathError(f"unclosed '(' at position {at}")
    inner = text[at + 1:i]
    if inner.strip() in _NON_FINITE:  # float keys that Python writes without a literal
        return float(inner), i + 1
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            key = ast.literal_eval(inner)
    except (ValueError, SyntaxError, TypeError, MemoryError, RecursionError):
        key = None
        for kind in (datetime.date, datetime.datetime, datetime.time):
            try:
                key = kind.fromisoformat(inner)
            except ValueError:
                continue
            if key.isoformat() == inner:
                break
            key = None
        if key is None:
            raise PathError(f"({inner}) is not a literal key") from None
    try:
        hash(key)
    except TypeError:
        raise PathError(f"({inner}) cannot be a key") from None
    return key, i + 1


def parse_path(text):
    """The steps of a path written as render_path writes it."""
    steps, at, need_key = [], 0, True
    while True:
        if need_key:
            if text.startswith('"', at):
                m = _QUOTED.match(text, at)
                if not m:
                    raise PathError(f"unclosed '\"' at position {at}")
                try:
                    key = json.loads(m.group())
                except ValueError:
                    raise PathError(f"bad escape in {m.group()}") from None
                steps.append(key)
                at = m.end()
            elif text.startswith("(", at):
                key, at = _literal_key(text, at)
                steps.append(key)
            else:
                m = _BARE.match(text, at)
                if not m:
                    what = repr(text[at]) if at < len(text) else "the end"
                    raise PathError(f"expected a key at position {at}, found {what}")
                steps.append(m.group())
                at = m.end()
        if at == len(text):
            return tuple(steps)
        m = _INDEX.match(text, at)
        if m:
            steps.append(Index(int(m.group(1))))
            at, need_key = m.end(), False
        elif text[at] == ".":
            at, need_key = at + 1, True
        else:
            raise PathError(f"expected '.' or '[' at position {at}, found {text[at]!r}")


def lookup(root, steps):
    """The value at steps under root, walked with the dict and list protocols; KeyError when absent."""
    value = root
    for step in steps:
        if type(step) is Index:
            if not isinstance(value, (list, tuple)) or step >= len(value):
                raise KeyError(step)
            value = value[step]
        else:
            if not isinstance(value, dict):
                raise KeyError(step)
            if isinstance(step, float) and step != step:  # NaN equals no key, not even another NaN
                step = next((k for k in value if isinstance(k, float) and k != k), step)
            value = dict.__getitem__(value, step)
    return value


# --- filter expressions ---------------------------------------------------------------


class FilterError(ValueError):
    """Filter text that is not accepted; nothing of it was run."""


_STRING = r"""[A-Za-z]{0,2}(?:'''(?:[^'\\]|\\.|'(?!''))*'''|\"\"\"(?:[^"\\]|\\.|"(?!""))*\"\"\"|'(?:[^'\\\n]|\\.)*'|"(?:[^"\\\n]|\\.)*")"""
_TOKENS = re.compile(rf"(?P<space>\s+)|(?P<string>{_STRING})|(?P<name>[A-Za-z_][A-Za-z0-9_]*)|(?P<punct>[(),])",
                     re.DOTALL)
_CALL_LIKE = re.compile(r"\s*[^\W\d][\w.]*\s*\(")
_STR_PREFIXES = {"", "r", "u"}
_BYTES_PREFIXES = {"b", "br", "rb"}


def _string_value(token, at):
    prefix = re.match(r"[A-Za-z]*", token).group().lower()
    if prefix in _BYTES_PREFIXES:
        raise FilterError(f"bytes literal at position {at}: patterns are text")
    if prefix not in _STR_PREFIXES:
        raise FilterError(f"{prefix}-string at position {at}: only plain string literals are accepted")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # "\d" and friends keep their backslash, as in Python
        try:
            return ast.literal_eval(token)
        except (ValueError, SyntaxError) as exc:
            raise FilterError(f"bad string literal at position {at}: {exc}") from None


def _tokens(text):
    at = 0
    while at < len(text):
        m = _TOKENS.match(text, at)
        if not m:
            raise FilterError(f"unexpected {text[at]!r} at position {at}")
        if m.lastgroup != "space":
            yield m.lastgroup, m.group(), at
        at = m.end()
    yield "end", "", at


def parse_filter(text, classes):
    """The expression the filter text stands for; classes maps "And", "Or", "Not" to the classes.

    Text that starts like a call must be a logic expression; any other text is
    one regular expression, searched in each leaf's path.
    """
    if not _CALL_LIKE.match(text):
        try:
            return classes["And"](text)
        except re.error as exc:
            raise FilterError(f"not a regular expression: {exc}") from None
    stack = []      # open calls: [class, arguments]
    strings = None  # the pieces of an implicitly concatenated literal being read
    result = None
    expect = "call"  # "call", "(", "argument" (or ")"), "," (or ")"), "end"
    for kind, token, at in _tokens(text):
        if kind == "string":
            if expect == "argument" or (expect == "," and strings is not None):
                strings = (strings or "") + _string_value(token, at)
                expect = ","
                continue
        elif strings is not None:
            stack[-1][1].append(strings)
            strings = None
        if expect == "call" or (expect == "argument" and kind == "name"):
            if kind != "name":
                raise FilterError(f"expected And, Or or Not at position {at}")
            if token not in classes:
                raise FilterError(f"{token} at position {at}: only And, Or and Not can be called")
            stack.append([classes[token], []])
            expect = "("
        elif expect == "(":
            if token != "(":
                raise FilterError(f"expected '(' after {text[:at].split()[-1]} at position {at}")
            expect = "argument"
        elif token == ")" and expect in ("argument", ","):
            cls, args = stack.pop()
            try:
                made = cls(*args)
            except re.error as exc:
                raise FilterError(f"not a regular expression: {exc}") from None
            if stack:
                stack[-1][1].append(made)
                expect = ","
            else:
                result, expect = made, "end"
        elif token == "," and expect == ",":
            expect = "argument"
        elif kind == "end" and expect == "end":
            return result
        else:
            found = "the end" if kind == "end" else repr(token)
            wanted = {"argument": "a string or a call", ",": "',' or ')'", "end": "the end"}[expect]
            raise FilterError(f"expected {wanted} at position {at}, found {found}")
    raise AssertionError("unreachable")

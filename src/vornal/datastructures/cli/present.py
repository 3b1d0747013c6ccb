"""Presentation: the merged result walked, masked and written as a tree, flat lines or JSON.

The merged result is walked with the ``dict`` and ``list`` protocols only, so
entries named ``items``, ``keys`` or ``update`` are ordinary keys. Every leaf
value reaches the output through ``Presenter``, which keeps secrets out.
"""
import base64
import datetime
import json
import sys

from ..branch import Branch
from .errors import PROG, CliError
from .layers import Sources, secrets
from .syntax import Index, render_key, render_path

REDACTED = "<redacted>"
# Texts shorter than this are not looked for inside other values and messages: they occur
# everywhere by chance, and show little of a secret.
SHORTEST_SECRET = 4


class Output:
    """What a run writes: the output lines, kept until the end, warnings at once, and the presenter
    every value and message passes through."""

    def __init__(self, presenter=None):
        self.lines = []
        self.presenter = presenter or Presenter()
        self._warned = set()
        self.sources = Sources()

    def append(self, text):
        self.lines.append(text)

    def warn(self, text, quotes=False):
        """Writes a warning line once per run (diff loads twice); quotes: it holds a message from
        elsewhere, which may quote a value."""
        if text not in self._warned:
            self._warned.add(text)
            sys.stderr.write(f"{PROG}: warning: {self.presenter.clean(text) if quotes else text}\n")

    def text(self):
        return "".join(self.lines)


class Secrets:
    """Finds any of a set of texts inside other texts, in time linear in their length: the texts
    are indexed by their first SHORTEST_SECRET characters, and each position of the text searched
    is one look-up."""

    def __init__(self, texts):
        self.index = {}
        for text in sorted(texts, key=len, reverse=True):
            self.index.setdefault(text[:SHORTEST_SECRET], []).append(text)

    def __bool__(self):
        return bool(self.index)

    def _at(self, text, at):
        found = self.index.get(text[at:at + SHORTEST_SECRET])
        if found:
            for secret in found:
                if text.startswith(secret, at):
                    return secret
        return None

    def within(self, text):
        """Whether text holds any of the texts."""
        at = self._at
        return any(at(text, i) for i in range(len(text) - SHORTEST_SECRET + 1))

    def replace(self, text, by):
        """text with every occurrence (the longest at each place) replaced by `by`."""
        out, i, start = [], 0, 0
        while i <= len(text) - SHORTEST_SECRET:
            secret = self._at(text, i)
            if secret is None:
                i += 1
                continue
            out.append(text[start:i])
            out.append(by)
            i = start = i + len(secret)
        out.append(text[start:])
        return "".join(out)


def _forms(secret, quoted):
    """The texts to look for for a secret: it, each of its lines and, where it is quoted by repr(),
    its repr form; each stripped, and only when at least SHORTEST_SECRET characters long."""
    forms = (secret, *secret.splitlines(), repr(secret)[1:-1]) if quoted else (secret, *secret.splitlines())
    return {form.strip() for form in forms if len(form.strip()) >= SHORTEST_SECRET}


class Presenter:
    """The one place where leaf values become output text or JSON values, and where
    secrets are kept out of the output.

    A leaf whose path (as --flat prints it) satisfies the redaction
    expression is masked: <redacted>, keeping its type. learn() notes the
    texts of the masked values, and a value that holds one of them (a
    reference %(name)s, an environment variable used twice, a YAML alias, or
    chance) is masked whole: no part of it is printed, so that the rest
    cannot give the secret away. clean() takes the texts of masked values out
    of any error or warning line, as the last step before it is written: the
    messages of the parsers and of Python may quote a value.
    """

    def __init__(self, redact=None, per_key=False):
        self.redact = redact        # the expression, or None: nothing is masked
        self._per_key = per_key     # redact says of a path what it says of any of its keys
        self._keys = {}             # key -> whether redact accepts it
        self._unread = []           # layers watched whose secrets are not yet in _secrets
        self._secrets = Secrets(())  # the texts of masked values, for messages
        self._found = set()
        self._copies = Secrets(())  # the texts of masked values, for other values

    def masks(self, path):
        redact = self.redact
        if redact is None:
            return False
        if not self._per_key:
            return bool(redact(render_path(path)))
        # Keys that are equal but written differently (1, 1.0, True; 0 and [0]) hold no letters,
        # so one answer per equal key serves them all.
        keys = self._keys
        for step in path:
            hit = keys.get(step)
            if hit is None:
                hit = keys[step] = type(step) is not Index and bool(redact(render_key(step)))
            if hit:
                return True
        return False

    def learn(self, cfg, session):
        """Notes the texts of the masked values: those of cfg, and those that the layers able to
        copy a value wrote (session.copied_secrets()), which a later layer may have replaced in cfg."""
        if self.redact is None:
            return
        found = self.masked_texts(cfg) + session.copied_secrets()
        if found:
            self._copies = Secrets({form for text in found for form in _forms(text, quoted=False)})

    def masked_texts(self, cfg):
        """The string values of cfg that are masked."""
        if not self._per_key:
            return [value for path, value in walk(cfg) if isinstance(value, str) and self.masks(path)]
        # Key by key, without making paths: a value is masked when a key above it is.
        found, stack, seen = [], [(cfg, False)], set()
        keys, redact = self._keys, self.redact
        while stack:
            container, masked = stack.pop()
            if id(container) in seen:
                continue
            seen.add(id(container))
            if isinstance(container, dict):
                for key, value in dict.items(container):
                    hit = masked
                    if not hit:
                        hit = keys.get(key)
                        if hit is None:
                            hit = keys[key] = bool(redact(render_key(key)))
                    if isinstance(value, (dict, list, tuple)):
                        stack.append((value, hit))
                    elif hit and isinstance(value, str):
                        found.append(value)
            else:
                for value in container:
                    if isinstance(value, (dict, list, tuple)):
                        stack.append((value, masked))
                    elif masked and isinstance(value, str):
                        found.append(value)
        return found

    def hides(self, path, value):
        return self.masks(path) or (isinstance(value, str) and bool(self._copies) and self._copies.within(value))

    def text(self, path, value):
        kind = type(value).__name__
        if self.hides(path, value):
            return f"{REDACTED}  ({kind})"
        if isinstance(value, dict) and not value:
            return f"{{}}  ({kind})"
        return f"{value!r}  ({kind})"

    def json(self, path, value):
        return REDACTED if self.hides(path, value) else to_json(value)

    def watch(self, layer):
        """Remember a layer whose masked values must never appear in an error or warning line."""
        if self.redact is not None:
            self._unread.append(layer)

    def clean(self, text):
        """text with the text of every masked value of the layers watched (each line of it, as
        written and as repr() writes it, when at least 4 characters long) replaced by <redacted>."""
        if self._unread:
            for layer in self._unread:
                for secret in secrets(layer, self.masks):
                    self._found.update(_forms(secret, quoted=True))
            self._unread = []
            self._secrets = Secrets(self._found)
        return self._secrets.replace(text, REDACTED) if self._secrets else text


# --- the merged result ----------------------------------------------------------------


def walk(root, path=()):
    """(path, value) of every leaf under root, in order, through the dict and list protocols.

    Non-empty dicts (levels and the plain dicts inside lists), lists and
    tuples are descended into; anything else, and an empty container, is a
    leaf. A container met again inside itself is a leaf.
    """
    out = []
    if not (isinstance(root, (dict, list, tuple)) and root):
        return [(path, root)]
    stack = [(path, _members(root), id(root))]
    open_ids = {id(root)}
    while stack:
        prefix, members, ident = stack[-1]
        for step, value in members:
            child = prefix + (step,)
            if isinstance(value, (dict, list, tuple)) and value and id(value) not in open_ids:
                stack.append((child, _members(value), id(value)))
                open_ids.add(id(value))
                break
            out.append((child, value))
        else:
            stack.pop()
            open_ids.discard(ident)
    return out


def _members(container):
    if isinstance(container, dict):
        return iter(list(dict.items(container)))
    return iter([(Index(i), v) for i, v in enumerate(container)])


def leaves(cfg, expression=None):
    """The (path, value) leaves of the merged result that the filter expression keeps."""
    pairs = walk(cfg)
    if pairs == [((), cfg)]:
        pairs = []  # an empty configuration has no leaves
    if expression is not None:
        pairs = [(path, value) for path, value in pairs if expression(render_path(path))]
    return pairs


def _json_key(key):
    if isinstance(key, str):
        return key
    if isinstance(key, (datetime.date, datetime.time)):
        return key.isoformat()
    if key is None or isinstance(key, (bool, int, float)):
        return json.dumps(key) if not isinstance(key, float) or key == key else "NaN"
    return str(key)


class _Keys:
    """The JSON keys of the objects being made: two keys that become the same JSON string are an error."""

    def __init__(self):
        self.owners = {}  # (id(object), JSON key) -> the key
        self.root = ()

    def key(self, target, prefix, step):
        name = _json_key(step)
        owner = self.owners.setdefault((id(target), name), step)
        if owner is not step and owner != step:
            raise _collision(self.root + prefix, owner, step, name)
        return name


def _new_key(target, container, prefix, key):
    """The JSON key of a key of container, not yet in target (the object made of container); two
    keys that become the same JSON string are an error naming both and the path."""
    name = key if type(key) is str else _json_key(key)
    if name in target:
        first = next(k for k in container if _json_key(k) == name)
        raise _collision(prefix, first, key, name)
    return name


def _collision(prefix, first, second, name):
    where = render_path(prefix) or "the top level"
    return CliError("--json", f"the keys {render_key(first)} and {render_key(second)} of {where} are both "
                              f"the JSON key {json.dumps(name, ensure_ascii=False)}; see them with --flat")


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
            made = {}
            for k, v in dict.items(value):
                made[_new_key(made, value, (), k)] = to_json(v, inside)
            return made
        return [to_json(v, inside) for v in value]
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, (bytes, bytearray)):
        return base64.b64encode(value).decode("ascii")
    if isinstance(value, (set, frozenset)):
        items = [to_json(v, _open) for v in value]
        return sorted(items, key=lambda v: json.dumps(v, sort_keys=True))
    return repr(value)


def json_tree(pairs, present):
    """The nested JSON document of (path, value) leaves, each value through present.

    Lists hold the items that are there: when a filter left some out, the
    others move up.
    """
    if not pairs:
        return {}
    if pairs[0][0] == ():
        return present((), pairs[0][1])
    root = [] if type(pairs[0][0][0]) is Index else {}
    current = {}  # id(list) -> (index step, the item made for it)
    keys = _Keys()
    for path, value in pairs:
        node = root
        for depth, (step, following) in enumerate(zip(path, path[1:])):
            fresh = [] if type(following) is Index else {}
            if type(step) is Index:
                seen = current.get(id(node))
                if seen is None or seen[0] != step:
                    node.append(fresh)
                    current[id(node)] = seen = (step, fresh)
                node = seen[1]
            else:
                node = node.setdefault(keys.key(node, path[:depth], step), fresh)
        last = path[-1]
        if type(last) is Index:
            node.append(present(path, value))
        else:
            node[keys.key(node, path[:-1], last)] = present(path, value)
    return root


def json_document(root, present, base=()):
    """The JSON document of everything under root (found at the path base), each leaf value
    through present: what json_tree(walk(root), present) gives, in one pass."""
    if not (isinstance(root, (dict, list, tuple)) and root):
        return {} if isinstance(root, dict) else present(base, root)
    top = {} if isinstance(root, dict) else []
    stack = [(base, _members(root), top, root)]
    open_ids = {id(root)}
    while stack:
        prefix, members, target, container = stack[-1]
        for step, value in members:
            path = prefix + (step,)
            if isinstance(value, (dict, list, tuple)) and value and id(value) not in open_ids:
                made = {} if isinstance(value, dict) else []
                stack.append((path, _members(value), made, value))
                open_ids.add(id(value))
            else:
                made = present(path, value)
            if type(step) is Index:
                target.append(made)
            else:
                target[_new_key(target, container, prefix, step)] = made
            if stack[-1][2] is made:
                break
        else:
            stack.pop()
            open_ids.discard(id(container))
    return top


def dumps(document):
    return json.dumps(document, indent=2, ensure_ascii=False, allow_nan=False) + "\n"


def tree(title, pairs, presenter, origins):
    """The leaves as a tree under title, each `key = value  (type)`, with origins when given."""
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

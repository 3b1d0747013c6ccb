"""The layers of vornal-config: read once, loaded by the library, explained.

Each file is read exactly once into memory (so standard input and FIFOs
work), and ``Configuration.load_cfgs`` or ``load_yamls`` is handed a path to
those bytes (an anonymous in-memory file, or a temporary file where there is
none). Messages that name that path are given the user's name back. The same
bytes give the origins: INI option lines from a scan by the standard parser,
YAML value lines from the composed node tree. A YAML document whose aliases
would expand beyond ``ALIAS_LIMIT`` nodes, or that contains itself, is
refused before anything expands it.

Every failure becomes a ``CliError``: one line naming the file (and line,
section, option or key where known).
"""
import codecs
import contextlib
import os
import sys
from collections.abc import Mapping

from .cli_syntax import Index, render_path

INI_SUFFIXES = (".ini", ".cfg", ".conf")
YAML_SUFFIXES = (".yaml", ".yml")
STDIN = "-"

# The nodes that aliases may add to a YAML document (a document of a million
# leaves written out in full is about 10 MB of text).
ALIAS_LIMIT = 1_000_000

ENV_WARNING = "Environment variable(s) %s referenced by [%s] %s are not set; substituting an empty string."


class CliError(Exception):
    """A failure the run ends with: one line, exit status 2."""

    def __init__(self, where, message):
        super().__init__(f"{where}: {message}" if where else message)


class Skipped(Exception):
    """A file that cannot be read: reported and left out (an error with --strict)."""


class StrictStop(Exception):
    """A warning that --strict turns into the end of the run."""


def _lines_upto(data, offset):
    return data.count(b"\n", 0, offset) + 1


def _first_line(text):
    text = str(text).strip()
    return text.splitlines()[0] if text else ""


class Layer:
    """One source of configuration: a file, standard input, or one entry point."""

    def __init__(self, name, kind, data=None, entry_point=None, label=None):
        self.name, self.kind, self.data = name, kind, data
        self.entry_point, self.label = entry_point, label or name
        self.proxy = None   # the path the library was given
        self._ini = None    # (raw parser, {(section, option or None): line})
        self._yaml = None   # (loader, node)

    def where(self, line=None):
        return f"{self.label}:{line}" if line else self.label

    def named(self, text):
        """text with the library's path for this layer replaced by the user's name."""
        text = str(text)
        return text.replace(self.proxy, self.label) if self.proxy else text


def kind_of(name, forced):
    """"ini" or "yaml" for a file name; forced (--type) decides for "-" and unknown suffixes."""
    suffix = os.path.splitext(name)[1].lower()
    if name != STDIN:
        if suffix in INI_SUFFIXES:
            return "ini"
        if suffix in YAML_SUFFIXES:
            return "yaml"
    if forced:
        return forced
    if name == STDIN:
        raise CliError(None, "standard input (-) needs --type ini or --type yaml")
    raise CliError(name, f"unknown file type (expected {', '.join(INI_SUFFIXES + YAML_SUFFIXES)}, or give --type)")


def read_layer(name, forced):
    """The file's bytes, read once; Skipped when it cannot be read."""
    kind = kind_of(name, forced)
    if name == STDIN:
        return Layer(name, kind, sys.stdin.buffer.read(), label="<stdin>")
    try:
        with open(name, "rb") as stream:
            return Layer(name, kind, stream.read())
    except FileNotFoundError:
        raise Skipped("no such file") from None
    except IsADirectoryError:
        raise Skipped("is a folder") from None
    except PermissionError:
        raise Skipped("permission denied") from None
    except OSError as exc:
        raise Skipped(exc.strerror or str(exc)) from None


@contextlib.contextmanager
def as_path(data):
    """A path holding data, readable by open() for as long as the block runs."""
    fd = None
    if hasattr(os, "memfd_create"):
        try:
            fd = os.memfd_create("vornal-config", os.MFD_CLOEXEC)
        except OSError:
            fd = None
    if fd is not None:
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
            path = f"/proc/self/fd/{fd}"
            if os.path.isfile(path):
                yield path
                return
        finally:
            os.close(fd)
    import tempfile

    with tempfile.NamedTemporaryFile(prefix="vornal-config-") as stream:
        stream.write(data)
        stream.flush()
        yield stream.name


# --- INI ------------------------------------------------------------------------------

_BOMS = ((codecs.BOM_UTF32_LE, "utf-32-le"), (codecs.BOM_UTF32_BE, "utf-32-be"), (codecs.BOM_UTF8, "utf-8"),
         (codecs.BOM_UTF16_LE, "utf-16-le"), (codecs.BOM_UTF16_BE, "utf-16-be"))


def ini_bytes(layer):
    """The INI text as the library will read it: decoded here (UTF-8, or the encoding
    its byte-order mark names, the mark dropped) and encoded as open() decodes."""
    import io
    import locale

    data, encoding = layer.data, "utf-8"
    for bom, name in _BOMS:
        if data.startswith(bom):
            data, encoding = data[len(bom):], name
            break
    try:
        text = data.decode(encoding)
    except UnicodeDecodeError as exc:
        raise CliError(layer.where(_lines_upto(data, exc.start)),
                       f"not {encoding.upper()} text (byte 0x{data[exc.start]:02x}); INI files are read as UTF-8, "
                       "or UTF-16/32 with a byte-order mark") from None
    layer.text = text
    target = io.text_encoding(None)
    if target == "locale":
        target = locale.getencoding()
    try:
        return text.encode(target)
    except UnicodeEncodeError as exc:
        raise CliError(layer.name, f"holds {text[exc.start]!r}, which the locale's encoding ({target}) "
                                   "cannot carry") from None


def _line_parser_class():
    import configparser

    class LineParser(configparser.RawConfigParser):
        """The library's INI reading without interpolation, noting where each section and option starts."""

        def __init__(self):
            super().__init__(delimiters=("=",), comment_prefixes=("#",))
            self.lines = {}

        def _handle_header(self, st, sectname, fpname):
            super()._handle_header(st, sectname, fpname)
            self.lines.setdefault((sectname, None), st.lineno)

        def _handle_option(self, st, line, fpname):
            super()._handle_option(st, line, fpname)
            if st.optname:
                self.lines[(st.sectname, st.optname)] = st.lineno

    return LineParser


def ini_scan(layer):
    """(raw parser, lines) of an INI layer; lines is empty when the text cannot be parsed."""
    if layer._ini is None:
        import io

        parser = _line_parser_class()()
        try:
            parser.read_file(io.StringIO(getattr(layer, "text", ""), newline=None), layer.label)
        except Exception:
            parser.lines = {}
        layer._ini = parser, parser.lines
    return layer._ini


def ini_line(layer, section, option=None):
    import configparser

    _, lines = ini_scan(layer)
    line = lines.get((section, option))
    if line is None and option is not None:
        line = lines.get((configparser.DEFAULTSECT, option))
    return line


def _split(key):
    return tuple(key.split(".")) if isinstance(key, str) else (key,)


def ini_assignments(layer):
    """What loading the INI layer does, in order: (path, "level" or "value", line)."""
    parser, lines = ini_scan(layer)
    out = []
    defaults = parser.defaults()
    for section in parser.sections():
        base = _split(section)
        out.append((base, "level", lines.get((section, None))))
        own = parser._sections.get(section, {})
        for option in list(own) + [o for o in defaults if o not in own]:
            out.append((base + _split(option), "value", ini_line(layer, section, option)))
    return out


def _raw_options(parser):
    """(section, option, raw value) of every option as read, the default section first."""
    import configparser

    tables = [(configparser.DEFAULTSECT, parser.defaults())]
    tables += [(s, parser._sections.get(s, {})) for s in parser.sections()]
    for section, options in tables:
        for option, value in options.items():
            yield section, option, value


def option_paths(layer, section, option):
    """The leaf paths an INI option's value reaches: a default-section option's in every section."""
    import configparser

    steps = _split(option)
    if section != configparser.DEFAULTSECT:
        return [_split(section) + steps]
    parser, _ = ini_scan(layer)
    return [(section,) + steps] + [_split(s) + steps for s in parser.sections()]


def ini_secrets(layer, masks):
    """The raw texts (as written, and with environment variables expanded) of the INI options
    whose paths masks() accepts."""
    from .configuration import Configuration

    parser, _ = ini_scan(layer)
    out = []
    for section, option, value in _raw_options(parser):
        if value and any(masks(path) for path in option_paths(layer, section, option)):
            out.append(value)
            out.append(Configuration._ENV_VAR_PATTERN.sub(
                lambda m: os.environ.get(m.group(1) or m.group(2), ""), value))
    return out


def bad_percent(layer):
    """(section, option, message) of the first raw value whose '%' the parser refuses, or None."""
    import configparser

    parser, _ = ini_scan(layer)
    check = configparser.BasicInterpolation()
    for section, option, value in _raw_options(parser):
        try:
            check.before_set(parser, section, option, value or "")
        except ValueError as exc:
            return section, option, str(exc)
    return None


# --- YAML -----------------------------------------------------------------------------

MAP_TAG, SEQ_TAG = "tag:yaml.org,2002:map", "tag:yaml.org,2002:seq"


def yaml_node(layer):
    """(loader, root node) of a YAML layer, composed from its bytes; YAML errors propagate."""
    if layer._yaml is None:
        import yaml

        loader = getattr(yaml, "CSafeLoader", yaml.SafeLoader)(layer.data)
        try:
            node = loader.get_single_node()
        except yaml.YAMLError:
            loader = yaml.SafeLoader(layer.data)
            node = loader.get_single_node()
        layer._yaml = loader, node
    return layer._yaml


def _children(node):
    import yaml

    if isinstance(node, yaml.MappingNode):
        for key, value in node.value:
            yield key
            yield value
    elif isinstance(node, yaml.SequenceNode):
        yield from node.value


def check_aliases(layer):
    """Refuses a document that aliases would expand beyond ALIAS_LIMIT nodes, or that contains itself."""
    _, root = yaml_node(layer)
    if root is None:
        return
    size, on_path = {}, set()
    stack = [(root, False)]
    while stack:
        node, done = stack.pop()
        if done:
            on_path.discard(id(node))
            size[id(node)] = 1 + sum(size[id(child)] for child in _children(node))
            continue
        if id(node) in size:
            continue
        on_path.add(id(node))
        stack.append((node, True))
        for child in _children(node):
            if id(child) in on_path:
                raise CliError(layer.where(child.start_mark.line + 1), "an alias refers to a node that contains it "
                                                                       "(the document would contain itself)")
            if id(child) not in size:
                stack.append((child, False))
    extra = size[id(root)] - len(size)
    if extra > ALIAS_LIMIT:
        raise CliError(layer.label, f"aliases would expand the document by {extra:,} nodes "
                                    f"(at most {ALIAS_LIMIT:,} are accepted)")


def _is_map(node):
    import yaml

    return isinstance(node, yaml.MappingNode) and node.tag == MAP_TAG


def _yaml_walk(layer):
    """(path, kind, line, value node) of every assignment loading the YAML layer makes, in order:
    kind "level", "value" or "item" (a list's item)."""
    import yaml

    loader, root = yaml_node(layer)
    if root is None or not _is_map(root):
        return
    # Each frame: (path of the node, the node's remaining pairs or items, the node is a level, it is a mapping).
    stack = []

    def enter(path, node, level):
        if isinstance(node, yaml.MappingNode) and node.tag == MAP_TAG:
            loader.flatten_mapping(node)
            stack.append((path, iter(node.value), level, True))
        elif isinstance(node, yaml.SequenceNode) and node.tag == SEQ_TAG:
            stack.append((path, iter(enumerate(node.value)), level, False))

    enter((), root, True)
    while stack:
        path, pairs, level, mapping = stack[-1]
        for pair in pairs:
            if mapping:
                key_node, value = pair
                key = loader.construct_object(key_node, deep=True)
                child = path + (_split(key) if level else (key,))
            else:
                index, value = pair
                child = path + (Index(index),)
            line = value.start_mark.line + 1
            if level and _is_map(value):
                yield child, "level", key_node.start_mark.line + 1, value
                enter(child, value, True)
            else:
                yield child, "value" if level else "item", line, value
                enter(child, value, False)
            break
        else:
            stack.pop()


def yaml_assignments(layer):
    """What loading the YAML layer does, in order: (path, "level", "value" or "item", line)."""
    return [(path, kind, line) for path, kind, line, _ in _yaml_walk(layer)]


def tag_name(tag):
    """A YAML tag as a document writes it: !!int for the standard ones."""
    prefix = "tag:yaml.org,2002:"
    return "!!" + tag[len(prefix):] if tag.startswith(prefix) else tag


def yaml_bad_scalar(layer):
    """(path, line, tag, text) of the first scalar whose text its tag cannot take (`!!int abc`), or None.

    The loader raises such failures without a position; here each scalar is
    constructed on its own to find which one it was (values only: a key that
    fails stops the search)."""
    import yaml

    loader, _ = yaml_node(layer)
    try:
        for path, _, line, node in _yaml_walk(layer):
            if isinstance(node, yaml.ScalarNode):
                try:
                    loader.construct_object(node)
                except yaml.YAMLError:
                    return None
                except Exception:
                    return path, line, tag_name(node.tag), node.value
    except Exception:
        return None
    return None


def yaml_secrets(layer, masks):
    """The texts of the YAML scalars at or below the paths masks() accepts (values, not keys)."""
    import yaml

    out = []
    try:
        check_aliases(layer)  # bounds the walk, which expands aliases
        for path, _, _, node in _yaml_walk(layer):
            if masks(path):
                stack = [node]
                while stack:
                    node = stack.pop()
                    if isinstance(node.value, str):
                        out.append(node.value)
                    elif isinstance(node, yaml.MappingNode):
                        stack.extend(value for _, value in node.value)
                    else:
                        stack.extend(node.value)
    except Exception:  # a document that is refused or does not compose: its scalars were never loaded
        pass
    return out


def yaml_error(layer, exc):
    """One line for a YAML error: file, line, the error's kind and its problem."""
    mark = getattr(exc, "problem_mark", None) or getattr(exc, "context_mark", None)
    line = mark.line + 1 if mark is not None else None
    if line is None and getattr(exc, "position", None) is not None:
        line = _lines_upto(layer.data, exc.position)
    problem = getattr(exc, "problem", None)
    context = getattr(exc, "context", None)
    if problem and context:
        problem = f"{context}, {problem}"
    problem = problem or context
    if problem is None and isinstance(getattr(exc, "character", None), int) and exc.encoding != "unicode":
        problem = (f"not {exc.encoding.upper()} text (byte 0x{exc.character:02x}: {exc.reason}); "
                   "YAML files are UTF-8, or UTF-16 with a byte-order mark")
    elif problem is None and hasattr(exc, "reason"):
        problem = f"unacceptable character #x{exc.character:04x}: {exc.reason}"
    text = layer.named(_first_line(problem or exc))
    return CliError(layer.where(line), f"{type(exc).__name__}: {text}")


# --- entry points ---------------------------------------------------------------------


def _object_walk(content):
    """(path, kind, value) of what merging an object (an entry point's) does, in order."""
    def items(obj):
        if isinstance(obj, dict):
            return list(dict.items(obj))
        if isinstance(obj, Mapping):
            return list(obj.items())
        return [tuple(pair) for pair in obj]

    stack = [((), iter(items(content)), id(content))]
    open_ids = {id(content)}  # a mapping met again inside itself is a value
    while stack:
        path, pairs, _ = stack[-1]
        for key, value in pairs:
            child = path + _split(key)
            if isinstance(value, Mapping) and id(value) not in open_ids:
                yield child, "level", value
                stack.append((child, iter(items(value)), id(value)))
                open_ids.add(id(value))
            else:
                yield child, "value", value
            break
        else:
            open_ids.discard(stack.pop()[2])


def object_assignments(content, label):
    """What merging an object (an entry point's) does, in order: (path, kind, label)."""
    return [(path, kind, label) for path, kind, _ in _object_walk(content)]


def object_secrets(content, masks):
    """The text forms of the values (list items among them) at the paths masks() accepts."""
    out = []
    try:
        for path, kind, value in _object_walk(content):
            if kind == "value" and masks(path):
                stack, seen = [value], set()
                while stack:
                    value = stack.pop()
                    if isinstance(value, (Mapping, list, tuple)):
                        if id(value) not in seen:
                            seen.add(id(value))
                            stack.extend(value.values() if isinstance(value, Mapping) else value)
                    elif isinstance(value, str):
                        out.append(value)
                    else:
                        out.extend((str(value), repr(value)))
    except Exception:
        pass
    return out


def secrets(layer, masks):
    """The texts of a layer's values that masks() hides; they must never reach an error or warning line."""
    try:
        if layer.kind == "ini":
            return ini_secrets(layer, masks)
        if layer.kind == "yaml":
            return yaml_secrets(layer, masks)
        return object_secrets(layer.data, masks)
    except Exception:
        return []


# --- origins --------------------------------------------------------------------------


class _Node:
    __slots__ = ("origin", "value", "children")

    def __init__(self):
        self.origin, self.value, self.children = None, False, {}


class Origins:
    """Which layer (and line) set each leaf: the layers' assignments replayed in order.

    A value replaces whatever was under its path; a level keeps it. apply()
    returns the path and origin of an earlier value that an assignment would
    have to descend into (the library refuses that), else None.
    """

    def __init__(self):
        self.root = _Node()

    def apply(self, path, kind, origin):
        node = self.root
        for depth, step in enumerate(path):
            if node.value and kind != "item" and depth:
                return path[:depth], node.origin
            child = node.children.get(step)
            if child is None:
                child = node.children[step] = _Node()
            node = child
        if kind == "level":
            if node.value:
                return path, node.origin
            node.origin = origin
            return None
        node.origin, node.value, node.children = origin, True, {}
        return None

    def __call__(self, path):
        node, found = self.root, None
        for step in path:
            node = node.children.get(step)
            if node is None:
                break
            if node.origin is not None:
                found = node.origin
        return found


def assignments(layer):
    """(path, kind, origin text) of a layer; empty where the layer cannot be analysed."""
    try:
        if layer.kind == "ini":
            rows = ini_assignments(layer)
        elif layer.kind == "yaml":
            rows = yaml_assignments(layer)
        else:
            return object_assignments(layer.data, layer.label)
    except Exception:
        return []
    return [(path, kind, layer.where(line)) for path, kind, line in rows]


def conflict(layers, failing):
    """A line explaining why the library refused a mapping over a value in layer `failing`, or None."""
    origins = Origins()
    for layer in layers:
        for path, kind, origin in assignments(layer):
            clash = origins.apply(path, kind, origin)
            if clash and layer is failing:
                held, where = clash
                what = "a section" if layer.kind == "ini" and kind == "level" else "a mapping"
                under = "" if held == path else f" (for {render_path(path)})"
                return (f"{origin}: {render_path(held)} must be {what} here{under}, "
                        f"but {where} set it to a value")
    return None

"""The layers of vornal-config: read once, loaded by the library, explained.

Each file is read exactly once into memory (so standard input and FIFOs
work; what cannot seek is read up to a limit), and ``Configuration.load_cfgs``
or ``load_yamls`` is handed a path to those bytes (an anonymous in-memory
file, or a temporary file where there is none). Consecutive INI files are
handed to one ``load_cfgs`` call, as a program that loads them together
would, so ``[DEFAULT]`` and ``%(name)s`` reach across them. Messages that
name those paths are given the user's names back. The same bytes give the
origins: INI option lines from a scan by the standard parser, YAML value
lines from the composed node tree. A YAML document whose aliases would
expand beyond ``ALIAS_LIMIT`` nodes, that contains itself, or whose top
level is not a mapping is refused before anything is merged.

Every failure becomes a ``CliError``: one line naming the file (and line,
section, option or key where known).
"""
import codecs
import configparser
import contextlib
import io
import locale
import os
import re
import stat
import sys
from collections.abc import Mapping

from .errors import CliError, Skipped, one_line
from .syntax import Index, render_key, render_path

INI_SUFFIXES = (".ini", ".cfg", ".conf")
YAML_SUFFIXES = (".yaml", ".yml")
STDIN = "-"

# The nodes that aliases may add to a YAML document (a document of a million
# leaves written out in full is about 10 MB of text).
ALIAS_LIMIT = 1_000_000
# What is read from a source that cannot seek (standard input, a FIFO, a
# character device such as /dev/zero) before the run gives up.
READ_LIMIT = 64 << 20

ENV_WARNING = "Environment variable(s) %s referenced by [%s] %s are not set; substituting an empty string."


def _lines_upto(data, offset):
    return data.count(b"\n", 0, offset) + 1


class Layer:
    """One source of configuration: a file, standard input, or one entry point."""

    def __init__(self, name, kind, data=None, entry_point=None, label=None):
        self.name, self.kind, self.data = name, kind, data
        self.entry_point, self.label = entry_point, label or name
        self.proxy = None   # the path the library was given
        self.text = ""      # an INI layer's text, decoded
        self.group = None   # an INI layer's IniGroup: the consecutive INI layers loaded with it
        self._yaml = None   # (loader, node)
        self._source = None  # a YAML layer's text, decoded
        self._aliases_checked = False

    def where(self, line=None):
        return f"{self.label}:{line}" if line else self.label

    def named(self, text):
        """text with the library's path for this layer (or its group's) replaced by the user's name."""
        text = str(text)
        for layer in self.group.layers if self.group else (self,):
            if layer.proxy:
                text = text.replace(layer.proxy, layer.label)
        return text


def kind_of(name, forced):
    """"ini" or "yaml" for a file name; forced (--type) decides for every file it is given for."""
    if forced:
        return forced
    suffix = os.path.splitext(name)[1].lower()
    if name != STDIN:
        if suffix in INI_SUFFIXES:
            return "ini"
        if suffix in YAML_SUFFIXES:
            return "yaml"
    if name == STDIN:
        raise CliError(None, "standard input (-) needs --type ini or --type yaml")
    raise CliError(name, f"unknown file type (expected {', '.join(INI_SUFFIXES + YAML_SUFFIXES)}, or give --type)")


def size_text(size):
    for unit, shift in (("GiB", 30), ("MiB", 20), ("KiB", 10)):
        if size >= 1 << shift and size % (1 << shift) == 0:
            return f"{size >> shift} {unit}"
    return f"{size:,} bytes"


class Sources:
    """The sources a run reads: one that cannot seek may be named only once."""

    def __init__(self):
        self.seen = {}  # (device, inode) -> the name it was given, for the sources that cannot seek

    def check(self, name):
        """Refuses a name whose source cannot seek and was named before in this run."""
        if name == STDIN:
            key = STDIN  # read once, whatever it is
        else:
            try:
                info = os.stat(name)
            except OSError:
                return
            if stat.S_ISREG(info.st_mode) or stat.S_ISDIR(info.st_mode):
                return
            key = (info.st_dev, info.st_ino)
        if key in self.seen:
            if name == STDIN == self.seen[key]:
                raise CliError(None, "standard input (-) can be read only once")
            raise CliError(name, "cannot seek, so it can be read only once (it is named twice)")
        self.seen[key] = name


def _read(stream, label, limit):
    """All bytes of an open binary stream; at most limit of one that is not a regular file."""
    try:
        regular = stat.S_ISREG(os.fstat(stream.fileno()).st_mode)
    except (OSError, ValueError, AttributeError):
        regular = False
    if regular:
        return stream.read()
    data = stream.read(limit + 1)
    if len(data) > limit:
        raise CliError(label, f"more than {size_text(limit)} to read, and it cannot seek "
                              "(--max-input SIZE raises the limit)")
    return data


def read_layer(name, forced, limit=READ_LIMIT):
    """The file's bytes, read once; Skipped when it is not there."""
    kind = kind_of(name, forced)
    label = "<stdin>" if name == STDIN else name
    try:
        if name == STDIN:
            return Layer(name, kind, _read(sys.stdin.buffer, label, limit), label=label)
        with open(name, "rb") as stream:
            return Layer(name, kind, _read(stream, label, limit))
    except FileNotFoundError:
        raise Skipped("no such file") from None
    except MemoryError:
        raise CliError(label, "too large to be read in the memory there is") from None
    except IsADirectoryError:
        raise CliError(name, "is a folder, not a file") from None
    except PermissionError:
        raise CliError(name, "permission denied") from None
    except OSError as exc:
        raise CliError(name, exc.strerror or str(exc)) from None


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
    import tempfile  # only where there are no anonymous files: it costs a tenth of the start

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


class LineParser(configparser.RawConfigParser):
    """The library's INI reading without interpolation, noting where each section and option was
    last set: lines maps (section, option or None) to (layer, line)."""

    def __init__(self):
        super().__init__(delimiters=("=",), comment_prefixes=("#",))
        self.lines = {}
        self.layer = None

    def read_layers(self, layers):
        for self.layer in layers:
            self.read_file(io.StringIO(self.layer.text, newline=None), self.layer.label)
        return self

    def _handle_header(self, st, sectname, fpname):
        super()._handle_header(st, sectname, fpname)
        self.lines.setdefault((sectname, None), (self.layer, st.lineno))

    def _handle_option(self, st, line, fpname):
        super()._handle_option(st, line, fpname)
        if st.optname:
            self.lines[(st.sectname, st.optname)] = (self.layer, st.lineno)


def _scan(layers):
    """The LineParser of INI layers read in order; empty when the text cannot be parsed."""
    try:
        return LineParser().read_layers(layers)
    except Exception:
        return LineParser()


def ini_scan(layer):
    """The LineParser of one INI layer alone."""
    if getattr(layer, "_ini", None) is None:
        layer._ini = _scan([layer])
    return layer._ini


class IniGroup:
    """Consecutive INI layers, loaded by one load_cfgs call into one parser."""

    def __init__(self, layers):
        self.layers = layers
        self.kind = "ini"
        for layer in layers:
            layer.group = self
        self._parser = None

    @property
    def parser(self):
        if self._parser is None:
            self._parser = _scan(self.layers)
        return self._parser

    def where(self, section, option=None):
        """(layer, line) that last set an option (or, with option None, opened a section); an option
        a section lacks is looked up in the default section."""
        lines = self.parser.lines
        found = lines.get((section, option))
        if found is None and option is not None:
            found = lines.get((configparser.DEFAULTSECT, option))
        return found or (self.layers[-1], None)

    def origin(self, section, option=None):
        layer, line = self.where(section, option)
        return layer.where(line)

    def assignments(self):
        """What loading the group does, in order: (path, "level" or "value", origin text)."""
        parser = self.parser
        out = []
        defaults = parser.defaults()
        for section in parser.sections():
            base = _split(section)
            out.append((base, "level", self.origin(section)))
            own = parser._sections.get(section, {})
            for option in list(own) + [o for o in defaults if o not in own]:
                out.append((base + _split(option), "value", self.origin(section, option)))
        return out

    def history(self, path):
        """Every line of the group that sets the leaf at path, in order:
        (layer, line, section the line is in, raw text)."""
        out = []
        for section in self.parser.sections():
            base = _split(section)
            if path[:len(base)] != base:
                continue
            rest = path[len(base):]
            inherits = not any(_split(o) == rest for o in self.parser._sections.get(section, {}))
            for layer in self.layers:
                scan = ini_scan(layer)
                tables = [(section, scan._sections.get(section, {}))]
                if inherits:
                    tables.append((configparser.DEFAULTSECT, scan.defaults()))
                for where, options in tables:
                    for option, raw in options.items():
                        if _split(option) == rest:
                            out.append((layer, scan.lines.get((where, option), (layer, None))[1], where, raw))
        return out

    def only_defaults(self):
        """The layers whose [DEFAULT] options reach no section, as no layer of the group has one."""
        if self.parser.sections():
            return []
        return [layer for layer in self.layers if ini_scan(layer).defaults()]


def _split(key):
    return tuple(key.split(".")) if isinstance(key, str) else (key,)


def _raw_options(parser):
    """(section, option, raw value) of every option as read, the default section first."""
    tables = [(configparser.DEFAULTSECT, parser.defaults())]
    tables += [(s, parser._sections.get(s, {})) for s in parser.sections()]
    for section, options in tables:
        for option, value in options.items():
            yield section, option, value


def option_paths(group, section, option):
    """The leaf paths an INI option's value reaches: a default-section option's in every section."""
    steps = _split(option)
    if section != configparser.DEFAULTSECT:
        return [_split(section) + steps]
    return [(section,) + steps] + [_split(s) + steps for s in group.parser.sections()]


def ini_secrets(group, masks):
    """The raw texts (as written, and with environment variables expanded) of the INI options
    whose paths masks() accepts, in every layer of the group."""
    from ..configuration import Configuration

    out = []
    for layer in group.layers:
        for section, option, value in _raw_options(ini_scan(layer)):
            if value and any(masks(path) for path in option_paths(group, section, option)):
                out.append(value)
                out.append(Configuration._ENV_VAR_PATTERN.sub(
                    lambda m: os.environ.get(m.group(1) or m.group(2), ""), value))
    return out


def bad_percent(group):
    """(layer, section, option, message) of the first raw value whose '%' the parser refuses, or None."""
    check = configparser.BasicInterpolation()
    for layer in group.layers:
        parser = ini_scan(layer)
        for section, option, value in _raw_options(parser):
            try:
                check.before_set(parser, section, option, value or "")
            except ValueError as exc:
                return layer, section, option, str(exc)
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


def check_aliases(layer):
    """Refuses a document that aliases would expand beyond ALIAS_LIMIT nodes, or that contains itself.

    One pass over the parser's events, nothing composed: each node counts
    one, and an alias as many nodes as the node it names holds, expanded."""
    import yaml

    if layer._aliases_checked:
        return
    for loader_class in (getattr(yaml, "CSafeLoader", yaml.SafeLoader), yaml.SafeLoader):
        try:
            extra = _alias_expansion(layer, loader_class(layer.data), yaml)
            break
        except yaml.YAMLError:
            continue
    else:
        return  # the library's loading says what is wrong, with its line
    if extra > ALIAS_LIMIT:
        raise CliError(layer.label, f"aliases would expand the document by {extra:,} nodes "
                                    f"(at most {ALIAS_LIMIT:,} are accepted)")
    layer._aliases_checked = True


def _alias_expansion(layer, loader, yaml):
    """The nodes the aliases of a YAML document add to it."""
    sizes = {}        # anchor -> the nodes of its node, expanded
    open_nodes = []   # [anchor, nodes so far] of the collections being read
    extra = 0
    try:
        while True:
            event = loader.get_event()
            if isinstance(event, yaml.AliasEvent):
                if any(anchor == event.anchor for anchor, _ in open_nodes):
                    raise CliError(layer.where(event.start_mark.line + 1), "an alias refers to a node that contains "
                                                                           "it (the document would contain itself)")
                count = sizes.get(event.anchor, 1)
                extra += count
            elif isinstance(event, yaml.ScalarEvent):
                count = 1
                if event.anchor:
                    sizes[event.anchor] = 1
            elif isinstance(event, yaml.CollectionStartEvent):
                open_nodes.append([event.anchor, 1])
                continue
            elif isinstance(event, yaml.CollectionEndEvent):
                anchor, count = open_nodes.pop()
                if anchor:
                    sizes[anchor] = count
            elif isinstance(event, yaml.StreamEndEvent):
                return extra
            else:
                continue
            if open_nodes:
                open_nodes[-1][1] += count
    finally:
        loader.dispose()


def _is_map(node):
    import yaml

    return isinstance(node, yaml.MappingNode) and node.tag == MAP_TAG


def yaml_walk(layer, keys=False):
    """(path, kind, line, value node) of every assignment loading the YAML layer makes, in order:
    kind "level", "value" or "item" (a list's item); with keys, the key node follows (None for an item)."""
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
                child, key_node = path + (Index(index),), None
            line = value.start_mark.line + 1
            if level and _is_map(value):
                yield (child, "level", key_node.start_mark.line + 1, value) + ((key_node,) if keys else ())
                enter(child, value, True)
            else:
                yield (child, "value" if level else "item", line, value) + ((key_node,) if keys else ())
                enter(child, value, False)
            break
        else:
            stack.pop()


def yaml_assignments(layer):
    """What loading the YAML layer does, in order: (path, "level", "value" or "item", line)."""
    return [(path, kind, line) for path, kind, line, _ in yaml_walk(layer)]


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
        for path, _, line, node in yaml_walk(layer):
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
        for path, _, _, node in yaml_walk(layer):
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


def yaml_error(layer, exc, quote=repr):
    """One line for a YAML error: file, line, the error's kind, its problem and the line (through quote)."""
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
    text = layer.named(one_line(problem or exc))
    if mark is not None and not isinstance(exc, yaml_reader_error()):
        lines = yaml_source(layer.data).splitlines()
        if mark.line < len(lines) and lines[mark.line].strip():
            text += f": {quote(lines[mark.line].strip())}"
    return CliError(layer.where(line), f"{type(exc).__name__}: {text}")


def yaml_reader_error():
    import yaml

    return yaml.reader.ReaderError


def yaml_shape(layer):
    """Whether a YAML layer is empty (no document, or a null one); refuses a document whose top
    level is not a mapping. Reads the first events only."""
    import yaml

    loader = getattr(yaml, "CSafeLoader", yaml.SafeLoader)(layer.data)
    try:
        events = [loader.get_event() for _ in range(2)]
        if isinstance(events[1], yaml.StreamEndEvent):
            return True
        event = loader.get_event()
    except yaml.YAMLError:
        return False  # the library's loading says what is wrong, with its line
    finally:
        loader.dispose()
    line = event.start_mark.line + 1
    if isinstance(event, yaml.MappingStartEvent):
        return False
    if isinstance(event, yaml.ScalarEvent) and event.implicit[0] and event.value in ("", "~", "null", "Null", "NULL"):
        return True
    kind = "a list" if isinstance(event, yaml.SequenceStartEvent) else "a single value"
    raise CliError(layer.where(line), f"the document is {kind}; a configuration file holds a mapping of keys "
                                      "at its top")


# A quoted string or key that Configuration may store differently from its text: a quoted
# scalar holding a dot, a digit or a word typecast_str knows, tried before composing the document.
_QUOTED_SCALAR = re.compile(rb"""(?:"([^"\\\n]{1,64})"|'([^'\n]{1,64})')""")


def yaml_notes(layer, typecast):
    """(line, path, text) of every quoted YAML string stored as something else (another type, or
    text that differs) and every quoted key holding "." (which makes levels)."""
    import yaml

    candidates = False
    for m in _QUOTED_SCALAR.finditer(layer.data):
        inner = (m.group(1) or m.group(2)).decode("utf-8", "replace")
        stored = typecast(inner)
        if "." in inner or type(stored) is not str or stored != inner:
            candidates = True
            break
    if not candidates:
        return []
    out = []
    loader, _ = yaml_node(layer)
    for path, kind, line, node, key_node in yaml_walk(layer, keys=True):
        if key_node is not None and isinstance(key_node, yaml.ScalarNode) and key_node.style in ("'", '"') \
                and "." in key_node.value and kind != "item" and key_node.tag == "tag:yaml.org,2002:str":
            key = key_node.value
            out.append((key_node.start_mark.line + 1, path,
                        f"the quoted key {render_key(key)} is split at '.' into {len(key.split('.'))} levels"))
        if kind == "value" and isinstance(node, yaml.ScalarNode) and node.style in ("'", '"') \
                and node.tag == "tag:yaml.org,2002:str":
            stored = typecast(node.value)
            if type(stored) is not str or stored != node.value:
                out.append((line, path, f"the quoted string {node.value!r} is stored as {stored!r} "
                                        f"({type(stored).__name__})"))
    return out


def yaml_text(layer, node):
    """A YAML node as written: a scalar's source text (its first line), or what a container is."""
    import yaml

    if not isinstance(node, yaml.ScalarNode):
        return "(a mapping)" if isinstance(node, yaml.MappingNode) else "(a list)"
    if layer._source is None:
        layer._source = yaml_source(layer.data)
    text = layer._source[node.start_mark.index:node.end_mark.index].strip()
    return text.splitlines()[0] if text else text


def yaml_source(data):
    for bom, name in _BOMS:
        if data.startswith(bom):
            return data[len(bom):].decode(name, "replace")
    return data.decode("utf-8", "replace")


# --- entry points ---------------------------------------------------------------------


def object_walk(content):
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
    return [(path, kind, label) for path, kind, _ in object_walk(content)]


def object_secrets(content, masks):
    """The text forms of the values (list items among them) at the paths masks() accepts."""
    out = []
    try:
        for path, kind, value in object_walk(content):
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
            group = layer if isinstance(layer, IniGroup) else layer.group or IniGroup([layer])
            return ini_secrets(group, masks)
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
    """(path, kind, origin text) of a layer (INI layers as their IniGroup); empty where it cannot be analysed."""
    try:
        if layer.kind == "ini":
            return layer.assignments()
        if layer.kind == "yaml":
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

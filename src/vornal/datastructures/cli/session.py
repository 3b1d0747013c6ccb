"""Loading: the layers named on the command line, read once and loaded into one Configuration.

``Session.load`` reads every file first (a missing one is an error unless it is
marked optional), refuses what would be misread (a top level that is not a
mapping, aliases that would explode, and with --strict the conversion notes),
then hands consecutive INI files to one ``load_cfgs`` call and each YAML file
to ``load_yamls``, and explains any failure of the library in one line.
"""
import ast
import configparser
import contextlib
import importlib
import logging
import re
import sys
import types

from .errors import CliError, Skipped, one_line
from .layers import (ENV_WARNING, IniGroup, Layer, Origins, object_walk, yaml_walk, as_path, assignments,
                     bad_percent, check_aliases, conflict, ini_bytes, option_paths, read_layer, secrets, yaml_bad_scalar,
                     yaml_error, yaml_notes, yaml_shape, yaml_text)
from .present import REDACTED
from .syntax import lookup, render_path

LOGGER = "vornal.datastructures.configuration"


class _Deferred(types.ModuleType):
    """A module in sys.modules that imports the real one when an attribute is first asked for.

    Not importlib.util.LazyLoader: an import statement that finds a module in sys.modules reads
    its __spec__ (to see whether it is still being initialized), and a lazily loaded module runs
    on any attribute asked for, so the library's own `import yaml` would load PyYAML at once.
    Here the names the import system reads (__spec__ is None) are answered without importing."""

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        if sys.modules.get(self.__name__) is self:
            del sys.modules[self.__name__]
        real = importlib.import_module(self.__name__)
        self.__dict__.update(real.__dict__)
        return getattr(real, name)


def library(yaml_needed, entry_points_needed):
    """The Configuration class. Importing it imports PyYAML and importlib.metadata, which cost
    more than the rest of a run on a small INI file; where the run needs neither, each is
    deferred until it is first used."""
    if "vornal.datastructures.configuration" not in sys.modules:
        if not yaml_needed and "yaml" not in sys.modules:
            sys.modules["yaml"] = _Deferred("yaml")
        if not entry_points_needed and "importlib.metadata" not in sys.modules:
            sys.modules["importlib.metadata"] = importlib.metadata = _Deferred("importlib.metadata")
    from ..configuration import Configuration

    return Configuration


class StrictWarning(Exception):
    """A warning that --strict turns into an error."""


class _WarningHandler(logging.Handler):
    """Turns the configuration logger's records into `vornal-config: warning:` lines (errors with --strict)."""

    def __init__(self, session):
        super().__init__()
        self.session = session
        self.logger = logging.getLogger(LOGGER)

    def filter(self, record):
        if self.session.strict and record.levelno >= logging.WARNING:
            raise StrictWarning(self.session.record_text(record))
        return True

    def emit(self, record):
        self.session.output.warn(self.session.record_text(record), quotes=record.msg != ENV_WARNING)

    def __enter__(self):
        self.saved = self.logger.propagate
        self.logger.propagate = False
        self.logger.addHandler(self)
        return self

    def __exit__(self, *exc):
        self.logger.removeHandler(self)
        self.logger.propagate = self.saved


_ANCHOR = re.compile(rb"(?<![0-9A-Za-z])&[^\s\[\]{},]")


def may_hold_aliases(data):
    """Whether a YAML text may define an anchor: only such documents can hold aliases,
    and only they are composed here to bound them. An anchor is "&" and a name, and
    never follows a letter or digit directly (as in "d&d"); a space follows "&" in
    prose ("R & D")."""
    return _ANCHOR.search(data) is not None


def may_copy(unit):
    """Whether a unit can put a value it also holds elsewhere, or an environment variable's, in a value."""
    if unit.kind == "ini":
        return any(b"%(" in layer.data or b"$" in layer.data for layer in unit.layers)
    if unit.kind == "yaml":
        return may_hold_aliases(unit.data)
    return True


def units_of(layers):
    """The layers as the library loads them: consecutive INI layers as one IniGroup."""
    units = []
    for layer in layers:
        if layer.kind == "ini" and units and units[-1].kind == "ini":
            units[-1] = IniGroup(units[-1].layers + [layer])
        else:
            units.append(IniGroup([layer]) if layer.kind == "ini" else layer)
    return units


class Session:
    """One set of layers loaded into one Configuration, with what is needed to explain it."""

    def __init__(self, args, output, names, entrypoint=None):
        self.args, self.output, self.names, self.entrypoint = args, output, names, entrypoint
        self.presenter = output.presenter
        self.strict = args.strict
        self.layers = []
        self.units = []
        self.current = None
        self._origins = None
        for name in names:
            output.sources.check(name)

    def note(self, where, text):
        """A warning about what the library does with a value; an error with --strict."""
        if self.strict:
            raise CliError(where, f"{text} (--strict)")
        self.output.warn(f"{where}: {text}")

    def record_text(self, record):
        unit = self.current
        message = record.getMessage()
        if unit is None:
            return message
        if record.msg == ENV_WARNING and isinstance(record.args, tuple) and len(record.args) == 3 \
                and unit.kind == "ini":
            _, section, option = record.args
            layer, line = unit.where(section, option)
            return f"{layer.where(line)}: {message}"
        return f"{unit.layers[-1].label if unit.kind == 'ini' else unit.label}: {unit_named(unit, message)}"

    def read(self):
        optional = set(getattr(self.args, "optional", None) or ())
        for name in self.names:
            try:
                layer = read_layer(name, self.args.type, self.args.max_input)
            except Skipped as exc:
                if name in optional:
                    continue
                raise CliError(name, f"{exc} (give --optional {name} if it may be missing)") from None
            self.layers.append(layer)
            self.presenter.watch(layer)
        self.units = units_of(self.layers)
        return self.units

    def load(self):
        self.read()
        Configuration = library(any(layer.kind == "yaml" for layer in self.layers), bool(self.entrypoint))
        cfg = Configuration()
        with _WarningHandler(self):
            for unit in self.units:
                self.current = unit
                self._load_unit(cfg, unit)
            self.current = None
            if self.entrypoint:
                self._load_entry_points(cfg)
        return cfg

    def load_alone(self, layers):
        """A fresh Configuration of the given layers alone (consecutive INI ones as one group), no
        warning written: what explain shows as the value a layer stored."""
        groups = [layer.group for layer in layers]
        Configuration = library(True, False)
        cfg = Configuration()
        saved, self.output.warn = self.output.warn, lambda *a, **k: None
        try:
            with _WarningHandler(self):
                for unit in units_of(layers):
                    self.current = unit
                    self._load_unit(cfg, unit)
        finally:
            self.output.warn = saved
            self.current = None
            for layer, group in zip(layers, groups):
                layer.group = group
        return cfg

    def _load_unit(self, cfg, unit):
        Configuration = type(cfg)
        try:
            if unit.kind == "ini":
                data = [ini_bytes(layer) for layer in unit.layers]
                with contextlib.ExitStack() as stack:
                    for layer, text in zip(unit.layers, data):
                        layer.proxy = stack.enter_context(as_path(text))
                    Configuration.load_cfgs(cfg, *(layer.proxy for layer in unit.layers))
                for layer in unit.only_defaults():
                    self.note(layer.label, "holds only [DEFAULT] options, and no section inherits them: "
                                           "it adds nothing")
                return
            if yaml_shape(unit):
                return  # an empty document: an empty layer
            if may_hold_aliases(unit.data):
                check_aliases(unit)
            self._notes(unit)
            with as_path(unit.data) as unit.proxy:
                Configuration.load_yamls(cfg, unit.proxy)
        except CliError:
            raise
        except StrictWarning as exc:
            raise CliError(None, f"{exc} (--strict)") from exc
        except Exception as exc:
            raise self._explain(cfg, unit, exc) from exc
        finally:
            for layer in unit.layers if unit.kind == "ini" else (unit,):
                layer.proxy = None

    def _notes(self, layer):
        from vornal.utils.strings import typecast_str

        try:
            notes = yaml_notes(layer, typecast_str)
        except Exception:  # a document that does not compose: the library's loading says why
            return
        for line, path, text in notes:
            if self.presenter.masks(path):
                text = re.sub(r"'.*' is stored as .* \(", f"{REDACTED} is stored as {REDACTED} (", text)
            self.note(f"{layer.where(line)}: {render_path(path)}", text)

    def quote(self, line):
        """A source line for an error message: its repr, unless its key is one whose value is masked."""
        key = re.split(r"[:=]", line, maxsplit=1)[0].strip().strip("-").strip().strip("'\"")
        if key and self.presenter.masks((key,)):
            return f"(a line of {key}, not shown)"
        return repr(line)

    def _explain(self, cfg, unit, exc):
        """The CliError that says why the library refused this unit."""
        name = type(exc).__name__
        layer = unit.layers[-1] if unit.kind == "ini" else unit
        if isinstance(exc, RecursionError):
            return CliError(layer.label, "nested too deeply to be read (Python's recursion limit was reached)")
        if isinstance(exc, MemoryError):
            return CliError(layer.label, "too large to be read in the memory there is")
        if unit.kind == "yaml":
            import yaml

            if isinstance(exc, yaml.YAMLError):
                return yaml_error(layer, exc, self.quote)
        if isinstance(exc, configparser.InterpolationError):
            where, line = unit.where(exc.section, exc.option)
            masked = self._masked_option(unit, exc.section, exc.option)
            if isinstance(exc, configparser.InterpolationMissingOptionError):
                text = f"%({REDACTED if masked else exc.reference})s names no option of [{exc.section}]"
            elif masked:
                text = one_line(exc)
                at = text.find("Raw value:")
                text = (text[:at] + f"Raw value: {REDACTED}") if at >= 0 else f"invalid interpolation syntax in {REDACTED}"
            else:
                text = one_line(unit_named(unit, exc))
            return CliError(where.where(line), f"[{exc.section}] {exc.option}: {text}; write %% for a literal %")
        if isinstance(exc, configparser.Error):
            return self._ini_error(unit, exc)
        if unit.kind == "ini" and isinstance(exc, ValueError) and "interpolation" in str(exc):
            found = bad_percent(unit)
            if found:
                where, section, option, text = found
                if self._masked_option(unit, section, option):
                    text = f"invalid interpolation syntax in {REDACTED}"
                line = where._ini.lines.get((section, option), (where, None))[1]
                return CliError(where.where(line), f"[{section}] {option}: {text}; write %% for a literal %")
        if unit.kind == "yaml":
            found = yaml_bad_scalar(unit)
            if found:  # the loader's message may quote the value, and says neither where nor which
                path, line, tag, text = found
                shown = REDACTED if self.presenter.masks(path) else repr(text)
                return CliError(unit.where(line), f"{render_path(path)}: {shown} is not a valid {tag}")
        if isinstance(exc, (AttributeError, KeyError, TypeError)):
            text = conflict(self.units[:self.units.index(unit) + 1], unit)
            if text:
                return CliError(None, text)
        return CliError(layer.label, f"{name}: {one_line(unit_named(unit, exc))}")

    def _ini_error(self, unit, exc):
        """A parse error of the standard INI parser: the file, line, what is wrong and the line."""
        source = getattr(exc, "source", None)
        layer = next((layer for layer in unit.layers if layer.proxy and layer.proxy == source), unit.layers[-1])
        name = type(exc).__name__
        if isinstance(exc, configparser.MissingSectionHeaderError):
            return CliError(layer.where(exc.lineno), f"{name}: an option before the first [section]: "
                                                     f"{self.quote(exc.line.strip())}")
        if isinstance(exc, configparser.ParsingError) and exc.errors:
            line, text = exc.errors[0]
            text = unquoted(text)
            more = f" (and {len(exc.errors) - 1} more)" if len(exc.errors) > 1 else ""
            return CliError(layer.where(line), f"{name}: a line that is neither [section], option = value "
                                               f"nor # comment: {self.quote(text.strip())}{more}")
        text = one_line(unit_named(unit, exc))
        text = re.sub(r"^While reading from .*?\[line +\d+\]: ", "", text)
        return CliError(layer.where(getattr(exc, "lineno", None)), f"{name}: {text}")

    def _masked_option(self, unit, section, option):
        return any(self.presenter.masks(path) for path in option_paths(unit, section, option))

    def _load_entry_points(self, cfg):
        from vornal.utils.import_utils import get_entry_points

        group = self.entrypoint
        try:
            eps = list(get_entry_points(group))
        except Exception as exc:
            raise CliError(f"entry points {group}", f"{type(exc).__name__}: {one_line(exc)}") from exc
        if not eps:
            if self.strict:
                raise CliError(f"entry points {group}", "no entry point is installed in this group (--strict)")
            self.output.warn(f"entry points {group}: no entry point is installed in this group")
        for ep in eps:
            label = f"entry point {group}:{getattr(ep, 'name', '?')}"
            try:
                content = ep.load()
                layer = Layer(label, "entrypoint", content, entry_point=ep, label=label)
                self.presenter.watch(layer)  # before merging: a failed merge may quote a value
                type(cfg).update(cfg, content)
            except Exception as exc:
                text = f"{label}: cannot be loaded: {type(exc).__name__}: {one_line(exc)}"
                if self.strict:
                    raise CliError(None, f"{text} (--strict)") from exc
                self.output.warn(text, quotes=True)
                continue
            self.layers.append(layer)
            self.units.append(layer)

    def copied_secrets(self):
        """The masked texts of the layers that can copy a value into another (references,
        environment variables, aliases, entry points): a YAML layer's as it loads alone."""
        found = []
        for unit in self.units:
            if may_copy(unit):
                if unit is self.units[-1] and unit.kind != "ini":
                    continue  # nothing came after it: its masked values are all in the merged result
                if unit.kind == "yaml":
                    found += self.presenter.masked_texts(self.load_alone([unit]))
                else:
                    found += secrets(unit, self.presenter.masks)
        return found

    def origins(self):
        """The function from a leaf path to the origin of its value."""
        if self._origins is None:
            origins = Origins()
            for unit in self.units:
                for path, kind, origin in assignments(unit):
                    origins.apply(path, kind, origin)
            self._origins = origins
        return self._origins


def unit_named(unit, text):
    return (unit.layers[0] if unit.kind == "ini" else unit).named(text)


def unquoted(text):
    """The line a parse error holds: some versions of the parser keep it as repr() wrote it."""
    if len(text) > 1 and text[0] == text[-1] and text[0] in "'\"":
        try:
            value = ast.literal_eval(text)
        except (ValueError, SyntaxError):
            return text
        if isinstance(value, str):
            return value
    return text

# --- explain --------------------------------------------------------------------------


def history(session, cfg, steps):
    """The rows of explain: every line (or entry point) that sets the path steps, in loading order,
    each {origin, text, value, type, wins, inherited, env, shown}; values masked as usual."""
    presenter, found = session.presenter, []  # (origin, text as written, value stored, inherited, raw INI text)
    for unit in session.units:
        if unit.kind == "ini":
            for layer, line, section, raw in unit.history(steps):
                upto = unit.layers[:unit.layers.index(layer) + 1]
                value = _value_at(session.load_alone(upto), steps)
                if value is _MISSING:  # a [DEFAULT] line whose section a later file of the group opens
                    value = _value_at(session.load_alone(unit.layers), steps)
                inherited = f"[{configparser.DEFAULTSECT}]" if section == configparser.DEFAULTSECT else None
                found.append((layer.where(line), raw, value, inherited, raw))
        elif unit.kind == "yaml":
            if not any(path == steps for path, *_ in yaml_walk(unit)):
                continue
            alone = session.load_alone([unit])
            for path, _, line, node in yaml_walk(unit):
                if path == steps:
                    found.append((unit.where(line), yaml_text(unit, node), _value_at(alone, steps), None, None))
        else:
            for path, _, value in object_walk(unit.data):
                if path == steps:
                    made = type(cfg)()
                    made.update({"_": value})
                    found.append((unit.label, repr(value), made["_"], None, None))
    final = _value_at(cfg, steps)
    rows = []
    for i, (origin, text, value, inherited, raw) in enumerate(found):
        hidden = value is not _MISSING and presenter.hides(steps, value)
        hidden = hidden or presenter.masks(steps) or presenter.hides(steps, text)
        known = value is not _MISSING
        rows.append({
            "origin": origin,
            "text": REDACTED if hidden else text,
            "value": (REDACTED if hidden else presenter.json(steps, value)) if known else None,
            "type": type(value).__name__ if known else None,
            "wins": i == len(found) - 1 and final is not _MISSING,
            "inherited": inherited,
            "env": _env_names(raw),
            "shown": (f"{REDACTED}  ({type(value).__name__})" if hidden else presenter.text(steps, value))
                     if known else "?",
        })
    return rows


_MISSING = object()


def _value_at(cfg, steps):
    try:
        return lookup(cfg, steps)
    except (KeyError, IndexError):
        return _MISSING


def _env_names(raw):
    if not raw:
        return []
    from ..configuration import Configuration

    names = []
    for m in Configuration._ENV_VAR_PATTERN.finditer(raw):
        name = m.group(1) or m.group(2)
        if name not in names:
            names.append(name)
    return names

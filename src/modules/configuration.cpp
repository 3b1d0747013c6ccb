// vornal.datastructures.configuration: a layered configuration store, filled
// from INI files, YAML files and entry points of installed packages.
//
//     import os
//     import re
//     import yaml
//     import logging
//     import configparser
//     from collections.abc import Mapping
//     from .fieldmap import NestedFieldMap
//     from vornal.utils.strings import typecast_str
//     from vornal.utils.import_utils import get_entry_points
//
//     logger = logging.getLogger(__name__)
//
//     class Configuration(NestedFieldMap):
//         _ENV_VAR_PATTERN = re.compile(r'\$(?:([A-Za-z_][A-Za-z0-9_]*)|\{([^}]+)\})')
//         @classmethod
//         def _missing_env_vars(cls, value): ...
//         @classmethod
//         def _expand_cfg_value(cls, value, *, section, key): ...
//         @staticmethod
//         def _expand_cfg_env_vars(config): ...
//         def copy(self): ...
//         def __setitem__(self, key, value): ...
//         def load_cfgs(self, *files): ...
//         def load_yamls(self, *files): ...
//         def load_entrypoint(self, group): ...
//
// Module-level names (os, typecast_str, get_entry_points, logger,
// configparser, yaml, Configuration) are looked up when a method runs.
// Methods the class calls on itself (update, _expand_cfg_env_vars) are looked
// up on the object's type, so that a section or key named like them cannot
// hide them.
#include "pyframe.hpp"

#include <iterator>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {
using namespace pf;

// Everything the module keeps for its interpreter (pyframe/api/state.hpp).
struct State {
    Pristine Configuration;  // unchanged: as the module body left it
    // The replacement function that _expand_cfg_value hands to the pattern's sub().
    Held substitute_reference;
    Pristine ConfigParser;  // configparser.ConfigParser as imported
    Pristine BasicInterpolation;  // configparser.BasicInterpolation as imported
    // The names of the generator expression that load_cfgs merges.
    Held genexpr_name, genexpr_qualname;
};
PF_STATE(State, st);

// match.group(1) or match.group(2): the variable name of a reference.
Ref reference_name(Handle match) {
    TRY_LET(Ref one, integer(1));
    TRY_LET(Ref name, match.call_method<"group">(one));
    TRY_LET(bool named, name.truthy());
    if (named) return name;
    TRY_LET(Ref two, integer(2));
    return match.call_method<"group">(two);
}

// os.environ
Ref environ() {
    TRY_LET(Ref os, global<"os">());
    return os.attr<"environ">();
}

// lambda match: os.environ.get(<name>, '') with every "%" doubled: the value
// is inserted into INI text that the parser interpolates later, and "%%" is
// how that text spells a literal "%". Without the escape a value such as
// "50%" would abort the load and "%(other)s" would pull in another option.
Ref substitute(Handle match) {
    TRY_LET(Ref env, environ());
    TRY_LET(Ref name, reference_name(match));
    TRY_LET(Ref empty, str(""));
    TRY_LET(Ref value, env.call_method<"get">(name, empty));
    if (!PyUnicode_Check(value.ptr())) return value;
    return Ref::steal(PyUnicode_Replace(value.ptr(), id<"%">(), id<"%%">(), -1));
}

// @classmethod
// def _missing_env_vars(cls, value):
//     missing = []
//     for match in cls._ENV_VAR_PATTERN.finditer(value):
//         env_var = match.group(1) or match.group(2)
//         if env_var not in os.environ and env_var not in missing:
//             missing.append(env_var)
//     return missing
Ref Configuration_missing_env_vars(Handle cls, Handle value) {
    TRY_LET(Ref missing, list());
    TRY_LET(Ref pattern, cls.attr<"_ENV_VAR_PATTERN">());
    TRY_LET(Ref matches, pattern.call_method<"finditer">(value));
    TRY_LET(Ref it, matches.iter());
    for (Ref match;;) {
        TRY_NEXT(it, match);
        TRY_LET(Ref name, reference_name(match));
        TRY_LET(Ref env, environ());  // os.environ is read per reference, as written
        TRY_LET(bool in_environment, env.contains(name));
        if (in_environment) continue;
        TRY_LET(bool listed, missing.contains(name));
        if (!listed) TRY(status(PyList_Append(missing.ptr(), name.ptr())));
    }
    return missing;
}

// @classmethod
// def _expand_cfg_value(cls, value, *, section, key):
//     missing_vars = cls._missing_env_vars(value)
//     if missing_vars:
//         logger.warning("Environment variable(s) %s referenced by [%s] %s are not set; "
//                        "substituting an empty string.", ', '.join(missing_vars), section, key)
//     return cls._ENV_VAR_PATTERN.sub(<substitute>, value)
Ref Configuration_expand_cfg_value(Handle cls, Handle value, Handle section, Handle key) {
    TRY_LET(Ref missing, cls.call_method<"_missing_env_vars">(value));
    TRY_LET(bool any_missing, missing.truthy());
    if (any_missing) {
        TRY_LET(Ref names, Ref::steal(PyUnicode_Join(id<", ">(), missing.ptr())));
        TRY_LET(Ref logger, global<"logger">());
        TRY_LET(Ref message,
                str("Environment variable(s) %s referenced by [%s] %s are not set; substituting an empty string."));
        TRY(logger.call_method<"warning">(message, names, section, key));
    }
    TRY_LET(Ref pattern, cls.attr<"_ENV_VAR_PATTERN">());
    return pattern.call_method<"sub">(st.substitute_reference, value);
}

// Configuration._expand_cfg_value(value, section=section, key=key), with
// Configuration named through the module namespace.
Ref expand_value(Handle configuration, Handle value, Handle section, Handle key) {
    TRY_LET(Ref expand, configuration.attr<"_expand_cfg_value">());
    return call_kw(expand, {value}, {{id<"section">(), section}, {id<"key">(), key}});
}

Result<bool> lacks(Handle value, Py_UCS4 ch) {
    Py_ssize_t at = PyUnicode_FindChar(value.ptr(), ch, 0, PyUnicode_GET_LENGTH(value.ptr()), 1);
    if (at == -2) return failure;
    return at < 0;
}

// configparser.DEFAULTSECT, read where the code reads it.
Ref default_section() {
    TRY_LET(Ref parser_module, global<"configparser">());
    return parser_module.attr<"DEFAULTSECT">();
}

// What the expansion of the values of one parser may skip. Most values refer
// to no variable: expanding such a value gives it back unchanged and warns
// about nothing, and writing an unchanged value back into the standard parser
// changes nothing, so both are skipped where no code of anyone's could see
// the difference: the value is an exact str without "$" (which every
// reference starts with), Configuration, as the module names it when the
// value comes, is still the class of the module body, unchanged (its version
// tag), and the write back is skipped only for a plain parser (below) and a
// value without "%" (whose check on writing cannot fail). Code that runs
// while a value is expanded or written (a logging handler, a replaced
// method) may change any of that, so the parser is looked at again after
// every value that was not skipped.
struct Expansion {
    explicit Expansion(Handle c) : config(c) {}

    Handle config;
    bool parser_is_plain = false;
    // What set() reads from the instance: _interpolation, default_section,
    // _defaults, _sections, as they were at the start.
    Ref state[4];

    enum Step { expand, write_back, nothing };

    Status start() {
        TRY_LET(parser_is_plain, plain_parser(true));
        return ok;
    }

    // After a value that was not skipped.
    Status written() {
        if (parser_is_plain) { TRY_LET(parser_is_plain, plain_parser(false)); }
        return ok;
    }

    // What `value` needs, with `configuration` the module's Configuration now.
    Result<Step> needs(Handle configuration, Handle value) const {
        if (!configuration.is(st.Configuration) || !st.Configuration.unchanged() || !PyUnicode_CheckExact(value.ptr()))
            return expand;
        TRY_LET(bool no_reference, lacks(value, '$'));
        if (!no_reference) return expand;
        if (!parser_is_plain) return write_back;
        TRY_LET(bool no_percent, lacks(value, '%'));
        return no_percent ? nothing : write_back;
    }

private:
    // Whether the parser is plain: the standard ConfigParser, unchanged, its
    // interpolation the standard one, none of the methods that set() calls
    // replaced on the instance, and what set() reads from the instance
    // unchanged since the start.
    Result<bool> plain_parser(bool first) {
        if (!Py_IS_TYPE(config.ptr(), st.ConfigParser.type_ptr()) || !st.ConfigParser.unchanged()) return false;
        TRY_LET(Ref own, config.attr<"__dict__">());
        if (!PyDict_Check(own.ptr())) return false;
        for (PyObject* name : {id<"set">(), id<"_validate_value_types">(), id<"optionxform">()}) {
            TRY_LET(bool replaced, truth(PyDict_Contains(own.ptr(), name)));
            if (replaced) return false;
        }
        PyObject* names[] = {id<"_interpolation">(), id<"default_section">(), id<"_defaults">(), id<"_sections">()};
        for (std::size_t i = 0; i < std::size(names); ++i) {
            PyObject* found = nullptr;
            TRY_LET(bool has, truth(PyDict_GetItemRef(own.ptr(), names[i], &found)));
            Ref value = Ref::steal(found);
            if (!has) return false;
            if (first) {
                state[i] = std::move(value);
            } else if (!value.is(state[i])) {
                return false;
            }
        }
        return Py_IS_TYPE(state[0].ptr(), st.BasicInterpolation.type_ptr()) && st.BasicInterpolation.unchanged();
    }
};

// @staticmethod
// def _expand_cfg_env_vars(config):
//     for key, value in config.defaults().items():
//         config[configparser.DEFAULTSECT][key] = Configuration._expand_cfg_value(
//             value, section=configparser.DEFAULTSECT, key=key)
//     for section, section_data in config._sections.items():
//         for key, value in section_data.items():
//             config.set(section, key, Configuration._expand_cfg_value(value, section=section, key=key))
//
// The raw values are expanded before the parser interpolates them; a default
// option is expanded (and warned about) once, however many sections inherit
// it. Writing back goes through the parser, so its value checks apply. Names
// are read per value, in the order of the code above (config.set before the
// expansion); what is skipped, and when, is said at Expansion.
Status Configuration_expand_cfg_env_vars(Handle config) {
    Expansion e(config);
    TRY(e.start());
    TRY_LET(Ref defaults, config.call_method<"defaults">());
    TRY_LET(Ref default_items, defaults.call_method<"items">());
    TRY_LET(Ref it, default_items.iter());
    for (Ref item;;) {
        TRY_NEXT(it, item);
        TRY_LET(auto pair, unpack_pair(item));
        auto& [key, value] = pair;
        TRY_LET(Ref configuration, global<"Configuration">());
        TRY_LET(Ref name, default_section());
        TRY_LET(Expansion::Step step, e.needs(configuration, value));
        if (step == Expansion::nothing) continue;
        Ref expanded = Ref::borrow(value);
        if (step == Expansion::expand) { TRY_LET(expanded, expand_value(configuration, value, name, key)); }
        TRY_LET(name, default_section());
        TRY_LET(Ref section, config.item(name));
        TRY(section.set_item(key, expanded));
        TRY(e.written());
    }
    TRY_LET(Ref sections, config.attr<"_sections">());
    TRY_LET(Ref section_items, sections.call_method<"items">());
    TRY_LET(it, section_items.iter());
    for (Ref item;;) {
        TRY_NEXT(it, item);
        TRY_LET(auto pair, unpack_pair(item));
        auto& [section, section_data] = pair;
        TRY_LET(Ref options, section_data.call_method<"items">());
        TRY_LET(Ref options_it, options.iter());
        for (Ref option;;) {
            TRY_NEXT(options_it, option);
            TRY_LET(auto option_pair, unpack_pair(option));
            auto& [key, value] = option_pair;
            TRY_LET(Ref configuration, global<"Configuration">());
            TRY_LET(Expansion::Step step, e.needs(configuration, value));
            if (step == Expansion::nothing) continue;
            TRY_LET(Ref set, config.attr<"set">());
            Ref expanded = Ref::borrow(value);
            if (step == Expansion::expand) { TRY_LET(expanded, expand_value(configuration, value, section, key)); }
            TRY(set(section, key, expanded));
            TRY(e.written());
        }
    }
    return ok;
}

constexpr const char* Configuration_doc =
    "Layered configuration: a NestedFieldMap that converts every value it\n"
    "stores from its text, filled in layers from INI files (load_cfgs), YAML\n"
    "files (load_yamls) and entry points of installed packages\n"
    "(load_entrypoint).\n"
    "\n"
    "Every value stored by subscription, update(), the constructor or a loader\n"
    "passes through vornal.utils.strings.typecast_str: 'true'/'false' (any\n"
    "case) become True/False, 'none'/'null' None, decimal integers (no leading\n"
    "zeros) int, decimal numbers float, other text stays text; values that are\n"
    "not text are stored as they are (a dict assigned by subscription too,\n"
    "unconverted: update() and the loaders merge it as a level instead).\n"
    "Attribute writes (cfg.x = v) are not converted. Every level is a\n"
    "Configuration, and each load merges into what the earlier layers left,\n"
    "key by key (see NestedFieldMap.update).\n"
    "\n"
    "Example::\n"
    "\n"
    "    >>> cfg = Configuration({'server': {'port': '8080', 'debug': 'false'}})\n"
    "    >>> cfg.server.port, cfg['server.debug']\n"
    "    (8080, False)\n"
    "    >>> cfg['server.ratio'] = '0.25'\n"
    "    >>> cfg.server\n"
    "    Configuration({'port': 8080, 'debug': False, 'ratio': 0.25})";

constexpr const char* copy_doc =
    "Return a copy of this configuration.\n"
    "\n"
    "Differing slightly from the standard Mapping.copy(), this always takes a\n"
    "nested copy of any Configuration block underneath, so that a subcomponent\n"
    "that takes a copy and updates it for its own use cannot corrupt the\n"
    "configuration it was copied from.";

// def copy(self):
//     return type(self)(self)
Ref Configuration_copy(Handle self) { return type_of(self)(self); }

// def __setitem__(self, key, value):
//     super().__setitem__(key, typecast_str(value))
//
// As there, super().__setitem__ is found, and bound where binding runs code,
// before the value is converted: a typecast_str that switches
// self.__class__ or replaces the base class's method still stores through
// the method found first. The call is one level of the interpreter's
// recursion, as the method's frame is, so a dotted write counts two levels
// per part of its key (this method's and the base class's).
Status Configuration_setitem(Handle self, Handle key, Handle value) {
    CallDepth call;
    TRY(call.enter());
    TRY_LET(SuperMethod setitem, super(st.Configuration, self).method(id<"__setitem__">()));
    TRY_LET(Ref typecast_str, global<"typecast_str">());
    TRY_LET(Ref converted, typecast_str(value));
    TRY(setitem(self, key, converted));
    return ok;
}

// An integer is no path: open() and os.stat() would take it as a file
// descriptor of this process, read it and close it (True would close
// stdout). Such arguments are refused before any file is read.
Status refuse_descriptors(Args files) {
    for (Py_ssize_t i = 0; i < files.size; ++i)
        if (PyLong_Check(files[i].ptr()))
            return raise(PyExc_TypeError, "expected str, bytes or os.PathLike object, not %.200s",
                         Py_TYPE(files[i].ptr())->tp_name);
    return ok;
}

// ((name, config[name]) for name in names): each section is read when the
// merge comes to it, so one that an earlier merge removed raises KeyError.
struct SectionsBody final : GenBody {
    Ref config, it;

    SectionsBody(Handle c, Ref names) : config(Ref::borrow(c)), it(std::move(names)) {}

    Ref next() override {
        if (!it) return Ref();
        CallDepth call;  // the generator's frame, entered by every next()
        TRY(call.enter());
        Ref name;
        TRY_LET(bool more, pf::next(it, name));
        if (!more) {
            it = Ref();
            return Ref();
        }
        TRY_LET(Ref section, config.item(name));
        return tuple(name, section);
    }
    int visit(visitproc visit, void* arg) override {
        Py_VISIT(config.ptr());
        Py_VISIT(it.ptr());
        return 0;
    }
};

// def load_cfgs(self, *files):
//     config = configparser.ConfigParser(delimiters=('=',), comment_prefixes=('#',))
//     loaded_files = config.read(files)
//     type(self)._expand_cfg_env_vars(config)
//     type(self).update(self, ((name, config[name]) for name in config.sections()))
//     return loaded_files
//
// The default section is not merged as a level of its own: its options
// appear inside every section, and a key of this configuration that happens
// to share the default section's name is left alone.
Ref Configuration_load_cfgs(Handle self, Args files) {
    TRY(refuse_descriptors(files));
    TRY_LET(Ref parser_module, global<"configparser">());
    TRY_LET(Ref parser_class, parser_module.attr<"ConfigParser">());
    TRY_LET(Ref delimiters, tuple(id<"=">()));
    TRY_LET(Ref comment_prefixes, tuple(id<"#">()));
    TRY_LET(Ref config, call_kw(parser_class, {},
                                {{id<"delimiters">(), delimiters}, {id<"comment_prefixes">(), comment_prefixes}}));
    TRY_LET(Ref paths, files.to_tuple());
    TRY_LET(Ref loaded_files, config.call_method<"read">(paths));
    TRY(call_type_method<"_expand_cfg_env_vars">(self, config));
    TRY_LET(Ref names, config.call_method<"sections">());
    TRY_LET(Ref names_it, names.iter());
    TRY_LET(Ref sections, make_generator(std::make_unique<SectionsBody>(config, std::move(names_it)), st.genexpr_name,
                                         st.genexpr_qualname));
    TRY(call_type_method<"update">(self, sections));
    return loaded_files;
}

// yaml.safe_load parses with PyYAML's parser written in Python. Where PyYAML
// has its C parser, a document is composed by that one instead and built by
// the same SafeConstructor (yaml.CSafeLoader), several times faster. The two
// do not read every text alike: the C parser accepts texts that the Python
// one refuses, and the Python composer recurses once per nesting level, so a
// deep document ends in RecursionError there. Such documents, and every one
// on which the C parser raises anything, are parsed again by yaml.safe_load
// from the start of the file, so the result or the exception is always the
// one yaml.safe_load gives. Left to the Python parser:
//   - a tab anywhere: the Python scanner refuses tabs that libyaml skips;
//   - a byte-order mark anywhere but at the start of UTF-8 text, and UTF-16
//     or UTF-32 text;
//   - "#" right after a block scalar header ("|#", ">-#");
//   - nesting deeper than yaml_max_depth levels (a node counted where it
//     first appears, as the Python composer meets it; aliases are not
//     composed again).
constexpr int yaml_max_depth = 100;

bool c_parser_reads_alike(const char* text, Py_ssize_t size) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    if (size >= 2 && ((s[0] == 0xFF && s[1] == 0xFE) || (s[0] == 0xFE && s[1] == 0xFF))) return false;
    if (size >= 4 && s[0] == 0 && s[1] == 0 && s[2] == 0xFE && s[3] == 0xFF) return false;
    for (Py_ssize_t i = 0; i < size; ++i) {
        unsigned char c = s[i];
        if (c == '\t') return false;
        if (c == 0xEF && i > 0 && i + 2 < size && s[i + 1] == 0xBB && s[i + 2] == 0xBF) return false;
        if (c == '|' || c == '>') {
            Py_ssize_t j = i + 1;
            while (j < size && (s[j] == '+' || s[j] == '-' || (s[j] >= '0' && s[j] <= '9'))) ++j;
            if (j < size && s[j] == '#') return false;
        }
    }
    return true;
}

// Whether no node of a composed document lies deeper than yaml_max_depth.
// The walk is in document order and meets every node once.
Result<bool> shallow(Handle root, Handle mapping_node, Handle sequence_node) {
    std::unordered_set<PyObject*> seen;
    std::vector<std::pair<Ref, int>> stack;
    stack.emplace_back(Ref::borrow(root), 1);
    while (!stack.empty()) {
        auto [node, depth] = std::move(stack.back());
        stack.pop_back();
        if (!seen.insert(node.ptr()).second) continue;
        if (depth > yaml_max_depth) return false;
        TRY_LET(bool mapping, node.isinstance(mapping_node));
        if (!mapping) {
            TRY_LET(bool sequence, node.isinstance(sequence_node));
            if (!sequence) continue;
        }
        TRY_LET(Ref value, node.attr<"value">());
        if (!PyList_Check(value.ptr())) continue;
        for (Py_ssize_t i = PyList_GET_SIZE(value.ptr()); i-- > 0;) {
            PyObject* item = PyList_GET_ITEM(value.ptr(), i);
            if (!mapping) {
                stack.emplace_back(Ref::borrow(item), depth + 1);
            } else if (PyTuple_Check(item) && PyTuple_GET_SIZE(item) == 2) {
                stack.emplace_back(Ref::borrow(PyTuple_GET_ITEM(item, 1)), depth + 1);
                stack.emplace_back(Ref::borrow(PyTuple_GET_ITEM(item, 0)), depth + 1);
            }
        }
    }
    return true;
}

// loader = yaml.CSafeLoader(data); node = loader.get_single_node();
// the document loader.construct_document(node) (None for no node), or a null
// Ref when the document is too deep to be taken from the C parser.
Ref c_document(Handle yaml, Handle loader_class, Handle data) {
    TRY_LET(Ref loader, loader_class(data));
    Ref node = loader.call_method<"get_single_node">();
    Ref document;
    if (node) {
        if (node.is_none()) return Ref::borrow(Py_None);
        TRY_LET(Ref mapping_node, yaml.attr<"MappingNode">());
        TRY_LET(Ref sequence_node, yaml.attr<"SequenceNode">());
        Result<bool> fits = shallow(node, mapping_node, sequence_node);
        if (!fits.succeeded()) return failure;
        if (!fits.value()) {
            TRY(loader.call_method<"dispose">());
            return Ref();
        }
        document = loader.call_method<"construct_document">(node);
    }
    if (!document) {
        Caught caught;
        {
            Handling handling(caught.value());
            TRY(loader.call_method<"dispose">());
        }
        return caught.reraise();
    }
    TRY(loader.call_method<"dispose">());
    return document;
}

// The document of the open file `stream`, exactly as yaml.safe_load(stream)
// gives it (see above).
Ref safe_load(Handle yaml, Handle stream) {
    Ref loader_class = yaml.attr<"CSafeLoader">();
    if (!loader_class) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return failure;
        PyErr_Clear();  // PyYAML without its C parser
    } else {
        TRY_LET(Ref data, stream.call_method<"read">());
        if (PyBytes_Check(data.ptr()) && c_parser_reads_alike(PyBytes_AS_STRING(data.ptr()), PyBytes_GET_SIZE(data.ptr()))) {
            Ref document = c_document(yaml, loader_class, data);
            if (document) return document;
            if (PyErr_Occurred()) {
                Caught caught;  // whatever the C parser raised, the Python one decides
                if (!caught.matches(PyExc_Exception)) return caught.reraise();
            }
        }
        TRY_LET(Ref start, integer(0));
        TRY(stream.call_method<"seek">(start));
    }
    TRY_LET(Ref safe_load, yaml.attr<"safe_load">());
    return safe_load(stream);
}

// with open(path, 'rb') as stream: return yaml.safe_load(stream)
// Binary mode lets the parser detect the encoding the way YAML defines it
// (UTF-8, or UTF-16/32 with a byte-order mark) instead of using the locale's.
Ref read_yaml(Handle path) {
    TRY_LET(Ref open, global<"open">());
    TRY_LET(Ref stream, open(path, id<"rb">()));
    TRY_LET(Ref yaml, global<"yaml">());
    Ref document = safe_load(yaml, stream);
    if (!document) {
        Caught caught;
        {
            Handling handling(caught.value());  // an error while closing gets this one as its context
            TRY(stream.call_method<"close">());
        }
        return caught.reraise();
    }
    TRY(stream.call_method<"close">());
    return document;
}

// def load_yamls(self, *files):
//     loaded = []
//     for path in files:
//         if os.path.isfile(path):
//             document = <read_yaml(path)>
//             if document is not None:
//                 type(self).update(self, document)
//             loaded.append(path)
//     return files if len(loaded) == len(files) else tuple(loaded)
//
// An empty document (an empty file, or one holding only comments) adds
// nothing and still counts as loaded.
Ref Configuration_load_yamls(Handle self, Args files) {
    TRY(refuse_descriptors(files));
    TRY_LET(Ref paths, files.to_tuple());
    TRY_LET(Ref loaded, list());
    for (Py_ssize_t i = 0; i < files.size; ++i) {
        Handle path = files[i];
        TRY_LET(Ref os, global<"os">());  // read per path, as written
        TRY_LET(Ref os_path, os.attr<"path">());
        TRY_LET(Ref is_file, os_path.call_method<"isfile">(path));
        TRY_LET(bool exists, is_file.truthy());
        if (!exists) continue;
        TRY_LET(Ref document, read_yaml(path));
        if (!document.is_none()) TRY(call_type_method<"update">(self, document));
        TRY(status(PyList_Append(loaded.ptr(), path.ptr())));
    }
    if (PyList_GET_SIZE(loaded.ptr()) == files.size) return paths;
    return Ref::steal(PyList_AsTuple(loaded.ptr()));
}

constexpr const char* load_entrypoint_doc =
    "Populate this configuration by loading an entry point.\n"
    "\n"
    "This design lets configuration be scattered over different packages and\n"
    "loaded when needed and if installed. The entry point must be a dict- or\n"
    "Configuration-like object. Module owners with a lot of configuration\n"
    "should keep a local config.cfg file of their own and load it as part of\n"
    "the entry-point module.";

// ep.load() merged into self: type(self).update(self, ep.load())
Status load_one(Handle self, Handle ep) {
    TRY_LET(Ref content, ep.call_method<"load">());
    TRY(call_type_method<"update">(self, content));
    return ok;
}

// logger.exception('Failed to load configuration from entrypoint: ' + format(ep.dist)),
// inside the handler of `caught`.
Status log_failed_entrypoint(Handle ep, const Caught& caught) {
    Handling handling(caught.value());
    TRY_LET(Ref dist, ep.attr<"dist">());
    TRY_LET(Ref text, Ref::steal(PyObject_Format(dist.ptr(), nullptr)));
    TRY_LET(Ref message, concat("Failed to load configuration from entrypoint: ", text));
    TRY_LET(Ref logger, global<"logger">());
    TRY(logger.call_method<"exception">(message));
    return ok;
}

// def load_entrypoint(self, group):
//     loaded_eps = []
//     eps = get_entry_points(group)
//     for ep in eps:
//         try:
//             type(self).update(self, ep.load())
//         except Exception:
//             logger.exception('Failed to load configuration from entrypoint: ' + format(ep.dist))
//         else:
//             loaded_eps.append(ep)
//     return loaded_eps
Ref Configuration_load_entrypoint(Handle self, Handle group) {
    TRY_LET(Ref loaded_eps, list());
    TRY_LET(Ref get_entry_points, global<"get_entry_points">());
    TRY_LET(Ref eps, get_entry_points(group));
    TRY_LET(Ref it, eps.iter());
    for (Ref ep;;) {
        TRY_NEXT(it, ep);
        if (!load_one(self, ep).succeeded()) {
            Caught caught;
            if (!caught.matches(PyExc_Exception)) return caught.reraise();
            TRY(log_failed_entrypoint(ep, caught));
            continue;
        }
        TRY(status(PyList_Append(loaded_eps.ptr(), ep.ptr())));
    }
    return loaded_eps;
}

// ---------------------------------------------------------------------------
// Module body
// ---------------------------------------------------------------------------

Status body() {
    TRY(import("os"));
    TRY(import("re"));
    TRY(import("yaml"));
    TRY(import("logging"));
    TRY(import("configparser"));
    TRY(import_from("collections.abc", {"Mapping"}));
    TRY(import_relative("fieldmap", {"NestedFieldMap"}));
    TRY(import_from("vornal.utils.strings", {"typecast_str"}));
    TRY(import_from("vornal.utils.import_utils", {"get_entry_points"}));
    TRY_LET(Ref logging, global<"logging">());
    TRY_LET(Ref name, global<"__name__">());
    TRY_LET(Ref logger, logging.call_method<"getLogger">(name));
    TRY(bind_global("logger", logger));

    TRY_LET(Ref substitute_function, make_function(def<substitute>("<lambda>", "match"), module_name(),
                                                   "Configuration._expand_cfg_value.<locals>.<lambda>"));
    st.substitute_reference.set(std::move(substitute_function));

    TRY_LET(Ref re, global<"re">());
    TRY_LET(Ref pattern_text, str(R"(\$(?:([A-Za-z_][A-Za-z0-9_]*)|\{([^}]+)\}))"));
    TRY_LET(Ref pattern, re.call_method<"compile">(pattern_text));
    {
        TRY_LET(Ref parser_module, global<"configparser">());
        TRY_LET(Ref parser_class, parser_module.attr<"ConfigParser">());
        st.ConfigParser.set(std::move(parser_class));
        st.ConfigParser.seal();
        TRY_LET(Ref interpolation_class, parser_module.attr<"BasicInterpolation">());
        st.BasicInterpolation.set(std::move(interpolation_class));
        st.BasicInterpolation.seal();
    }
    TRY_LET(Ref genexpr_name, str("<genexpr>"));
    st.genexpr_name.set(std::move(genexpr_name));
    TRY_LET(Ref genexpr_qualname, str("Configuration.load_cfgs.<locals>.<genexpr>"));
    st.genexpr_qualname.set(std::move(genexpr_qualname));
    TRY_LET(Ref nested_field_map, global<"NestedFieldMap">());
    TRY(define_class(
        st.Configuration, "Configuration",
        ClassDef("Configuration", Configuration_doc)
            .bases({nested_field_map})
            .attr("_ENV_VAR_PATTERN", pattern)
            .classmethod(def<Configuration_missing_env_vars>(
                "_missing_env_vars", "cls, value", "Return env var references from a string that are not set."))
            .classmethod(def<Configuration_expand_cfg_value>(
                "_expand_cfg_value", "cls, value, *, section, key",
                "Expand env vars in one INI value and warn about missing references."))
            .staticmethod(def<Configuration_expand_cfg_env_vars>(
                "_expand_cfg_env_vars", "config", "Expand environment variable references in loaded INI values."))
            .method(def<Configuration_copy>("copy", "self", copy_doc))
            .method(def<Configuration_setitem>("__setitem__", "self, key, value",
                                               "Store INI-derived values after applying string type coercion."))
            .method(def<Configuration_load_cfgs>("load_cfgs", "self, *files",
                                                 "Load one or more INI configuration files into this object."))
            .method(def<Configuration_load_yamls>("load_yamls", "self, *files",
                                                  "Load one or more YAML configuration files into this object."))
            .method(def<Configuration_load_entrypoint>("load_entrypoint", "self, group", load_entrypoint_doc))));
    st.Configuration.seal();
    return ok;
}

}  // namespace

PF_MODULE(configuration, body)

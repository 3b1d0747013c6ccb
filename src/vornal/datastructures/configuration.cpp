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

namespace {
using namespace pf;

Class Configuration;
// The replacement function that _expand_cfg_value hands to the pattern's sub().
Class substitute_reference;

// match.group(1) or match.group(2): the variable name of a reference.
Ref reference_name(Handle match) {
    Ref name = match.call_method<"group">(integer(1));
    if (name.truthy()) return name;
    return match.call_method<"group">(integer(2));
}

// lambda match: os.environ.get(<name>, '') with every "%" doubled: the value
// is inserted into INI text that the parser interpolates later, and "%%" is
// how that text spells a literal "%". Without the escape a value such as
// "50%" would abort the load and "%(other)s" would pull in another option.
Ref substitute(Handle match) {
    Ref value = global<"os">().attr<"environ">().call_method<"get">(reference_name(match), str(""));
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
    Ref missing = list();
    Ref environ = global<"os">().attr<"environ">();
    for (Ref match : iterate(cls.attr<"_ENV_VAR_PATTERN">().call_method<"finditer">(value))) {
        Ref name = reference_name(match);
        if (!environ.contains(name) && !missing.contains(name)) check(PyList_Append(missing.ptr(), name.ptr()));
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
    Ref missing = cls.call_method<"_missing_env_vars">(value);
    if (missing.truthy()) {
        Ref names = Ref::steal(PyUnicode_Join(id<", ">(), missing.ptr()));
        global<"logger">().call_method<"warning">(
            str("Environment variable(s) %s referenced by [%s] %s are not set; substituting an empty string."), names,
            section, key);
    }
    return cls.attr<"_ENV_VAR_PATTERN">().call_method<"sub">(substitute_reference, value);
}

// Configuration._expand_cfg_value(value, section=section, key=key), with
// Configuration named through the module namespace.
Ref expand_value(Handle configuration, Handle value, Handle section, Handle key) {
    return call_kw(configuration.attr<"_expand_cfg_value">(), {value},
                   {{id<"section">(), section}, {id<"key">(), key}});
}

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
// it. Writing back goes through the parser, so its value checks apply.
void Configuration_expand_cfg_env_vars(Handle config) {
    Ref configuration = global<"Configuration">();
    Ref default_section = global<"configparser">().attr<"DEFAULTSECT">();
    for (Ref item : iterate(config.call_method<"defaults">().call_method<"items">())) {
        auto [key, value] = unpack_pair(item);
        Ref expanded = expand_value(configuration, value, default_section, key);
        config.item(default_section).set_item(key, expanded);
    }
    for (Ref item : iterate(config.attr<"_sections">().call_method<"items">())) {
        auto [section, section_data] = unpack_pair(item);
        for (Ref option : iterate(section_data.call_method<"items">())) {
            auto [key, value] = unpack_pair(option);
            config.call_method<"set">(section, key, expand_value(configuration, value, section, key));
        }
    }
}

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
void Configuration_setitem(Handle self, Handle key, Handle value) {
    Ref converted = global<"typecast_str">()(value);
    super(Configuration, self).setitem(key, converted);
}

// def load_cfgs(self, *files):
//     config = configparser.ConfigParser(delimiters=('=',), comment_prefixes=('#',))
//     loaded_files = config.read(files)
//     type(self)._expand_cfg_env_vars(config)
//     type(self).update(self, [(name, config[name]) for name in config.sections()])
//     return loaded_files
//
// The default section is not merged as a level of its own: its options
// appear inside every section, and a key of this configuration that happens
// to share the default section's name is left alone.
Ref Configuration_load_cfgs(Handle self, Args files) {
    Ref config = call_kw(global<"configparser">().attr<"ConfigParser">(), {},
                         {{id<"delimiters">(), tuple(id<"=">())}, {id<"comment_prefixes">(), tuple(id<"#">())}});
    Ref loaded_files = config.call_method<"read">(files.to_tuple());
    call_type_method<"_expand_cfg_env_vars">(self, config);
    Ref sections = list();
    for (Ref name : iterate(config.call_method<"sections">())) {
        Ref pair = tuple(name, config.item(name));
        check(PyList_Append(sections.ptr(), pair.ptr()));
    }
    call_type_method<"update">(self, sections);
    return loaded_files;
}

// with open(path, 'rb') as stream: return yaml.safe_load(stream)
// Binary mode lets the parser detect the encoding the way YAML defines it
// (UTF-8, or UTF-16/32 with a byte-order mark) instead of using the locale's.
Ref read_yaml(Handle path) {
    Ref stream = global<"open">()(path, id<"rb">());
    Ref document;
    try {
        document = global<"yaml">().attr<"safe_load">()(stream);
    } catch (error& e) {
        Handling handling(e.value());  // an error while closing gets this one as its context
        stream.call_method<"close">();
        throw;
    }
    stream.call_method<"close">();
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
    Ref paths = files.to_tuple();
    Ref loaded = list();
    Ref os_path = global<"os">().attr<"path">();
    for (Py_ssize_t i = 0; i < files.size; ++i) {
        Handle path = files[i];
        if (!os_path.call_method<"isfile">(path).truthy()) continue;
        Ref document = read_yaml(path);
        if (!document.is_none()) call_type_method<"update">(self, document);
        check(PyList_Append(loaded.ptr(), path.ptr()));
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
    Ref loaded_eps = list();
    Ref eps = global<"get_entry_points">()(group);
    for (Ref ep : iterate(eps)) {
        try {
            Ref content = ep.call_method<"load">();
            call_type_method<"update">(self, content);
        } catch (error& e) {
            if (!e.matches(PyExc_Exception)) throw;
            Handling handling(e.value());
            Ref dist = Ref::steal(PyObject_Format(ep.attr<"dist">().ptr(), nullptr));
            Ref message = concat("Failed to load configuration from entrypoint: ", dist);
            global<"logger">().call_method<"exception">(message);
            continue;
        }
        check(PyList_Append(loaded_eps.ptr(), ep.ptr()));
    }
    return loaded_eps;
}

// ---------------------------------------------------------------------------
// Module body
// ---------------------------------------------------------------------------

void body() {
    import("os");
    import("re");
    import("yaml");
    import("logging");
    import("configparser");
    import_from("collections.abc", {"Mapping"});
    import_relative("fieldmap", {"NestedFieldMap"});
    import_from("vornal.utils.strings", {"typecast_str"});
    import_from("vornal.utils.import_utils", {"get_entry_points"});
    bind_global("logger", global<"logging">().call_method<"getLogger">(global<"__name__">()));

    substitute_reference.set(make_function(def<substitute>("<lambda>", "match"), module_name(),
                                           "Configuration._expand_cfg_value.<locals>.<lambda>"));

    Ref pattern = global<"re">().call_method<"compile">(str(R"(\$(?:([A-Za-z_][A-Za-z0-9_]*)|\{([^}]+)\}))"));
    define_class(
        Configuration, "Configuration",
        ClassDef("Configuration")
            .bases({global<"NestedFieldMap">()})
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
            .method(def<Configuration_load_entrypoint>("load_entrypoint", "self, group", load_entrypoint_doc)));
}

}  // namespace

PF_MODULE(configuration, body)

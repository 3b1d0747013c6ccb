"""Configuration written in Python (see the package docstring)."""
import os
import re
import yaml
import logging
import configparser
from collections.abc import Mapping
from .fieldmap import NestedFieldMap
from vornal.utils.strings import typecast_str
from vornal.utils.import_utils import get_entry_points

logger = logging.getLogger(__name__)


def _escaped(value):
    # The substituted text goes into INI text that the parser interpolates
    # later, where "%%" spells a literal "%": "50%" or "%(other)s" in the
    # environment arrive as they are.
    return str.replace(value, "%", "%%") if isinstance(value, str) else value


def _refuse_descriptors(files):
    # An integer is no path: open() and os.stat() would take it as a file
    # descriptor of this process, read it and close it.
    for path in files:
        if isinstance(path, int):
            raise TypeError(f"expected str, bytes or os.PathLike object, not {type(path).__name__:.200}")


# The methods a configuration calls on itself are looked up on the class, so
# that a section or key named like them cannot hide them.


class Configuration(NestedFieldMap):
    _ENV_VAR_PATTERN = re.compile(r'\$(?:([A-Za-z_][A-Za-z0-9_]*)|\{([^}]+)\})')

    @classmethod
    def _missing_env_vars(cls, value):
        """Return env var references from a string that are not set."""
        missing = []
        for match in cls._ENV_VAR_PATTERN.finditer(value):
            env_var = match.group(1) or match.group(2)
            if env_var not in os.environ and env_var not in missing:
                missing.append(env_var)
        return missing

    @classmethod
    def _expand_cfg_value(cls, value, *, section, key):
        """Expand env vars in one INI value and warn about missing references."""
        missing_vars = cls._missing_env_vars(value)
        if missing_vars:
            logger.warning("Environment variable(s) %s referenced by [%s] %s are not set; "
                           "substituting an empty string.", ', '.join(missing_vars), section, key)
        return cls._ENV_VAR_PATTERN.sub(
            lambda match: _escaped(os.environ.get(match.group(1) or match.group(2), '')), value)

    @staticmethod
    def _expand_cfg_env_vars(config):
        """Expand environment variable references in loaded INI values."""
        for key, value in config.defaults().items():
            config[configparser.DEFAULTSECT][key] = Configuration._expand_cfg_value(
                value, section=configparser.DEFAULTSECT, key=key)
        for section, section_data in config._sections.items():
            for key, value in section_data.items():
                config.set(section, key, Configuration._expand_cfg_value(value, section=section, key=key))

    def copy(self):
        """Return a copy of this configuration.

        Differing slightly from the standard Mapping.copy(), this always takes a
        nested copy of any Configuration block underneath, so that a subcomponent
        that takes a copy and updates it for its own use cannot corrupt the
        configuration it was copied from."""
        return type(self)(self)

    def __setitem__(self, key, value):
        """Store INI-derived values after applying string type coercion."""
        super().__setitem__(key, typecast_str(value))

    def load_cfgs(self, *files):
        """Load one or more INI configuration files into this object."""
        _refuse_descriptors(files)
        config = configparser.ConfigParser(delimiters=('=',), comment_prefixes=('#',))
        loaded_files = config.read(files)
        type(self)._expand_cfg_env_vars(config)
        # The default section is no level of its own: its options appear in
        # every section, and a key named like it is left alone.
        # One section at a time, as the merge comes to it.
        type(self).update(self, ((name, config[name]) for name in config.sections()))
        return loaded_files

    def load_yamls(self, *files):
        """Load one or more YAML configuration files into this object."""
        _refuse_descriptors(files)
        loaded = []
        for path in files:
            if os.path.isfile(path):
                # Binary: the parser detects the encoding as YAML defines it.
                with open(path, 'rb') as stream:
                    document = yaml.safe_load(stream)
                if document is not None:  # an empty document adds nothing and counts as loaded
                    type(self).update(self, document)
                loaded.append(path)
        return files if len(loaded) == len(files) else tuple(loaded)

    def load_entrypoint(self, group):
        """Populate this configuration by loading an entry point.

        This design lets configuration be scattered over different packages and
        loaded when needed and if installed. The entry point must be a dict- or
        Configuration-like object. Module owners with a lot of configuration
        should keep a local config.cfg file of their own and load it as part of
        the entry-point module."""
        loaded_eps = []
        eps = get_entry_points(group)
        for ep in eps:
            try:
                content = ep.load()
                type(self).update(self, content)
            except Exception:
                logger.exception('Failed to load configuration from entrypoint: ' + format(ep.dist))
            else:
                loaded_eps.append(ep)
        return loaded_eps

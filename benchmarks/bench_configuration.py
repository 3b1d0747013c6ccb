"""Configuration: converted stores, copies and the loaders, against the plain standard-library work they wrap."""
import atexit
import configparser
import os
import pathlib
import shutil
import tempfile

import yaml
from bench_fieldmap import NESTED, _deep_merge
from run import Case, optional_import  # first: it puts the Python forms (tests/pyforms) on sys.path
from pyforms.configuration import Configuration as PyConfiguration

from vornal.datastructures.configuration import Configuration
from vornal.utils.strings import typecast_str

omegaconf = optional_import("omegaconf")

FOLDER = pathlib.Path(tempfile.mkdtemp(prefix="vornal-bench-"))
atexit.register(shutil.rmtree, FOLDER, ignore_errors=True)

# 50 sections of 20 options; every tenth value refers to an environment variable.
SECTIONS, OPTIONS = 50, 20
os.environ.setdefault("VORNAL_BENCH_HOME", "/home/bench")


def _value(s, o):
    if (s * OPTIONS + o) % 10 == 0:
        return "${VORNAL_BENCH_HOME}/" + f"s{s}"
    return (f"{s * 100 + o}", f"{s}.{o}5", "true", f"text-{s}-{o}")[o % 4]


INI = FOLDER / "site.cfg"
INI.write_text("".join(f"[section{s}]\n" + "".join(f"option{o} = {_value(s, o)}\n" for o in range(OPTIONS))
                       for s in range(SECTIONS)))
YAML = FOLDER / "site.yaml"
YAML.write_text(yaml.safe_dump({f"section{s}": {f"option{o}": typecast_str(_value(s, o)) for o in range(OPTIONS)}
                                 for s in range(SECTIONS)}, sort_keys=False))


def plain_ini():
    """The standard parser's read, and every value read out of it: the floor of load_cfgs."""
    parser = configparser.ConfigParser(delimiters=("=",), comment_prefixes=("#",))
    parser.read([str(INI)])
    return {name: dict(parser[name].items()) for name in parser.sections()}


def _plain_copy(value):
    if isinstance(value, dict):
        return {k: _plain_copy(v) for k, v in value.items()}
    return value


def _loaded(method, path):
    cfg = Configuration()
    getattr(cfg, method)(str(path))
    return cfg


def twin_cases():
    """The NestedFieldMap cases of dotted read, membership and construction on a
    Configuration, which inherits those methods: the same floors, so that the
    two classes compare through them."""
    d = _deep_merge({}, NESTED)
    key = "s1.opts.k2"
    cfg, pcfg = Configuration(NESTED), PyConfiguration(NESTED)
    group = "Configuration: dotted read m['s1.opts.k2']"
    yield Case(group, "dict: d['s1']['opts']['k2']", lambda: d["s1"]["opts"]["k2"], floor=True)
    yield Case(group, "Configuration", lambda: cfg[key])
    yield Case(group, "Python Configuration", lambda: pcfg[key])

    group = "Configuration: dotted membership 's1.opts.k2' in m"
    yield Case(group, "dict: 'k2' in d['s1']['opts']", lambda: "k2" in d["s1"]["opts"], floor=True)
    yield Case(group, "Configuration", lambda: key in cfg)
    yield Case(group, "Python Configuration", lambda: key in pcfg)

    group = "Configuration: construct an empty map"
    yield Case(group, "dict()", dict, floor=True)
    yield Case(group, "Configuration()", Configuration)
    yield Case(group, "Python Configuration()", PyConfiguration)


def _py_loaded(path):
    cfg = PyConfiguration()
    cfg.load_yamls(str(path))
    return cfg


def cases():
    yield from twin_cases()
    d = {"s": {"opt": 1}}
    cfg = Configuration({"s": {"opt": 1}})
    pcfg = PyConfiguration({"s": {"opt": 1}})

    def dict_write():
        d["s"]["opt"] = typecast_str("5")

    def cfg_write():
        cfg["s.opt"] = "5"

    def pcfg_write():
        pcfg["s.opt"] = "5"

    group = "converted dotted write cfg['s.opt'] = '5'"
    yield Case(group, "dict: d['s']['opt'] = typecast_str('5')", dict_write, floor=True)
    yield Case(group, "Configuration", cfg_write)
    yield Case(group, "Python Configuration", pcfg_write)

    group = f"load an INI file of {SECTIONS} sections x {OPTIONS} options, 10% environment references"
    yield Case(group, "ConfigParser.read + every value read", plain_ini, floor=True)
    yield Case(group, "Configuration().load_cfgs(path)", lambda: _loaded("load_cfgs", INI))

    def plain_yaml():
        with open(YAML, "rb") as stream:
            return yaml.safe_load(stream)

    group = f"load the same data from YAML"
    yield Case(group, "yaml.safe_load", plain_yaml, floor=True)
    yield Case(group, "Configuration().load_yamls(path)", lambda: _loaded("load_yamls", YAML))
    yield Case(group, "Python Configuration().load_yamls(path)", lambda: _py_loaded(YAML))
    if omegaconf:
        yield Case(group, "omegaconf: OmegaConf.load(path)", lambda: omegaconf.OmegaConf.load(YAML),
                   check=omegaconf.OmegaConf.to_container)

    data = plain_yaml()
    big = Configuration(data)
    pbig = PyConfiguration(data)
    group = f"copy a configuration of {SECTIONS * OPTIONS} leaves"
    yield Case(group, "recursive copy of plain dicts", lambda: _plain_copy(data), floor=True)
    yield Case(group, "Configuration.copy()", big.copy)
    yield Case(group, "Python Configuration.copy()", pbig.copy)

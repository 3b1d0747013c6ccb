"""Configuration: converted stores and the loaders, against the plain standard-library work they wrap."""
import atexit
import configparser
import pathlib
import shutil
import tempfile

import yaml
from run import Case, optional_import

from vornal.datastructures.configuration import Configuration
from vornal.utils.strings import typecast_str

omegaconf = optional_import("omegaconf")

FOLDER = pathlib.Path(tempfile.mkdtemp(prefix="vornal-bench-"))
atexit.register(shutil.rmtree, FOLDER, ignore_errors=True)

INI = FOLDER / "site.cfg"
INI.write_text(
    "[DEFAULT]\nroot = /srv\n"
    + "".join(f"[section{i}]\nhost = h{i}\nport = {8000 + i}\npath = %(root)s/{i}\nflag = true\n" for i in range(3))
)
YAML = FOLDER / "site.yaml"
YAML.write_text("".join(f"section{i}:\n  host: h{i}\n  port: {8000 + i}\n  opts: {{a: 1, b: 2}}\n" for i in range(3)))


def plain_ini():
    """The standard parser read into nested dicts with converted values: the floor."""
    parser = configparser.ConfigParser(delimiters=("=",), comment_prefixes=("#",))
    parser.read([str(INI)])
    return {name: {k: typecast_str(v) for k, v in parser[name].items()} for name in parser.sections()}


def cases():
    d = {"s": {"opt": 1}}
    cfg = Configuration({"s": {"opt": 1}})

    def dict_write():
        d["s"]["opt"] = typecast_str("5")

    def cfg_write():
        cfg["s.opt"] = "5"

    group = "converted dotted write cfg['s.opt'] = '5'"
    yield Case(group, "dict: d['s']['opt'] = typecast_str('5')", dict_write, floor=True)
    yield Case(group, "Configuration", cfg_write)

    group = "load a 3-section INI file"
    yield Case(group, "configparser read into dicts", plain_ini, floor=True)
    yield Case(group, "Configuration().load_cfgs(path)", lambda: Configuration().load_cfgs(str(INI)))

    def plain_yaml():
        with open(YAML, "rb") as stream:
            return yaml.safe_load(stream)

    group = "load a 3-section YAML file"
    yield Case(group, "yaml.safe_load", plain_yaml, floor=True)
    def load_yamls():
        cfg = Configuration()
        cfg.load_yamls(str(YAML))
        return cfg

    yield Case(group, "Configuration().load_yamls(path)", load_yamls)
    if omegaconf:
        yield Case(group, "omegaconf: OmegaConf.load(path)", lambda: omegaconf.OmegaConf.load(YAML),
                   check=omegaconf.OmegaConf.to_container)

    big = Configuration(plain_ini())
    group = "copy a 3-section configuration"
    yield Case(group, "dict: nested comprehension with typecast_str",
               lambda: {k: {o: typecast_str(v) for o, v in s.items()} for k, s in big.items()}, floor=True)
    yield Case(group, "Configuration.copy()", big.copy)

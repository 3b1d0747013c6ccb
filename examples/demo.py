"""A short tour of the vornal.datastructures modules that are built."""
import importlib


def section(title):
    print(f"\n== {title}")


def available(name):
    try:
        return importlib.import_module(f"vornal.datastructures.{name}")
    except ImportError:
        return None


def demo_fieldmap(mod):
    section("fieldmap.FieldMap: a dict whose entries are attributes")
    settings = mod.FieldMap({"host": "localhost", "port": 8080})
    settings.debug = True
    print("settings          ", settings)
    print("settings.host     ", settings.host)
    print("settings['debug'] ", settings["debug"])
    if hasattr(mod, "NestedFieldMap"):
        section("fieldmap.NestedFieldMap: dotted keys and merging levels")
        tree = mod.NestedFieldMap()
        tree["db.primary.host"] = "db1"
        tree.update({"db": {"primary": {"port": 5432}, "replica": {"host": "db2"}}})
        print("tree                ", tree)
        print("tree['db.primary']  ", tree["db.primary"])
        print("tree.db.replica.host", tree.db.replica.host)


def demo_configuration(mod):
    import os
    import tempfile

    section("configuration.Configuration: layered INI and YAML loading")
    with tempfile.TemporaryDirectory() as tmp:
        ini = os.path.join(tmp, "site.cfg")
        with open(ini, "w") as f:
            f.write("[DEFAULT]\nretries = 3\n[server]\nhome = ${HOME}/srv\nport = 8080\n")
        overrides = os.path.join(tmp, "local.yaml")
        with open(overrides, "w") as f:
            f.write("server:\n  port: 9090\n  tls: true\n")
        cfg = mod.Configuration()
        print("INI loaded         ", cfg.load_cfgs(ini))
        print("YAML loaded        ", cfg.load_yamls(overrides))
        print("cfg.server         ", cfg.server)
        print("cfg['server.port'] ", cfg["server.port"], type(cfg["server.port"]).__name__)


def demo_flatnest(mod):
    section("flatnest.FlatNest: nested dictionaries as path/value pairs")
    doc = {"a": {"b": 1, "c": [10, {"d": 2}, []]}, "e": ()}
    flat = mod.FlatNest(doc)
    for item in flat:
        print("  ", item)
    print("reconstruct() == doc:", flat.reconstruct() == doc)


def main():
    for name, show in [("fieldmap", demo_fieldmap), ("configuration", demo_configuration), ("flatnest", demo_flatnest)]:
        mod = available(name)
        if mod is not None:
            show(mod)
        else:
            print(f"\n== {name}: not built yet")


if __name__ == "__main__":
    main()

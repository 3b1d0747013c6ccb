"""One round of the embedding host (host.c): import extension modules and use each.

    rounds.py MODULE...           use the named modules (fieldmap, configuration, flatnest,
                                  refsequence, logic, branch, sharedattr), in that order
    rounds.py --baseline NAME...  import only the named modules (the ones the extension
                                  modules import themselves) and make the same files

A host that re-initialises cleanly prints the same in every round.
"""
import gc
import importlib
import os
import shutil
import sys
import tempfile


def use_fieldmap(files):
    from vornal.datastructures.fieldmap import FieldMap, NestedFieldMap

    tree = NestedFieldMap({"db": {"primary": {"host": "db1"}}})
    tree["db.primary.port"] = 5432
    tree.update({"db": {"replica": {"host": "db2"}}})
    print("fieldmap:", tree["db.primary.port"], tree.db.replica.host, "db.primary.port" in tree)
    try:
        tree["db.primary.user"]
    except KeyError as e:
        print("fieldmap miss:", repr(e))
    print("fieldmap:", repr(tree), FieldMap(a=1).a)


def use_configuration(files):
    from vornal.datastructures.configuration import Configuration

    ini, yml = files
    cfg = Configuration()
    print("configuration:", cfg.load_cfgs(ini) == [ini], cfg.server.port, cfg["server.debug"], cfg.server.retries)
    cfg.load_yamls(yml)
    cfg["server.timeout"] = "2.5"
    print("configuration:", cfg.server.port, list(cfg.server.hosts), cfg.server.timeout, cfg.server.retries)


def use_flatnest(files):
    from vornal.datastructures.flatnest import FlatNest

    flat = FlatNest({"db": {"hosts": ["a", "b"], "port": 5432}})
    print("flatnest:", [(item.path, item.value) for item in flat], flat.reconstruct())


def use_refsequence(files):
    from vornal.datastructures.refsequence import RefSequence

    class Job:
        def __init__(self, name):
            self.name = name

        def __repr__(self):
            return f"Job({self.name!r})"

    a, b = Job("a"), Job("b")
    jobs = RefSequence([a, b])
    del a
    gc.collect()
    print("refsequence:", jobs, len(jobs))


def use_logic(files):
    from vornal.datastructures.logic import And, Not, Or, logic_str

    keys = And("^db", Not(Or("password", "token")))
    print("logic:", keys("db.host"), keys("db.password"), str(keys), logic_str(str(keys)) == keys)


def use_branch(files):
    from vornal.datastructures.branch import Branch

    print(Branch("etc", [Branch("nginx", [Branch("nginx.conf")]), Branch("hosts")]))


def use_sharedattr(files):
    from vornal.datastructures.sharedattr import sharedattr

    class Model:
        @sharedattr
        def table(cls):
            return cls.__name__.lower() + "s"

    class User(Model):
        pass

    print("sharedattr:", Model.table, User.table, User().table)


def main(args):
    folder = tempfile.mkdtemp()
    try:
        files = (os.path.join(folder, "site.ini"), os.path.join(folder, "site.yaml"))
        with open(files[0], "w") as f:
            f.write("[DEFAULT]\nretries = 3\n[server]\nport = 8080\ndebug = false\n")
        with open(files[1], "w") as f:
            f.write("server:\n  port: 9090\n  hosts: [a, b]\n")
        if args[:1] == ["--baseline"]:
            for name in args[1:]:
                importlib.import_module(name)
            print("baseline:", len(args) - 1, "modules")
            return
        for name in args:
            globals()["use_" + name](files)
    finally:
        shutil.rmtree(folder)


main(sys.argv[1:])

"""load_yamls parses with PyYAML's C parser where it can; the result or exception must be yaml.safe_load's.

A differential test: for the YAML files of this machine, documents generated
from data, and documents mutated byte by byte, Configuration.load_yamls and
yaml.safe_load followed by the same merge must give the same configuration,
or the same exception (type, text and position).
"""
import os
import random

import pytest
import yaml
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vornal.datastructures.configuration import Configuration



@pytest.fixture(autouse=True)
def _compiled_parser():
    # Read when each test runs: under a debug interpreter conftest.py hides the compiled parser.
    if not hasattr(yaml, "CSafeLoader"):
        pytest.skip("PyYAML's compiled parser is not in use")


def outcome(loader, path):
    """What loading path gives: ("ok", repr of the configuration) or ("error", type, text, args)."""
    cfg = Configuration()
    try:
        loader(cfg, path)
    except Exception as exc:
        args = [sorted(vars(a).items()) if isinstance(a, yaml.Mark) else a for a in exc.args]
        return ("error", type(exc), str(exc), repr(args))
    return ("ok", repr(cfg))


def by_library(cfg, path):
    cfg.load_yamls(path)


def by_pure_parser(cfg, path):
    with open(path, "rb") as stream:
        document = yaml.safe_load(stream)
    if document is not None:
        cfg.update(document)


def check(tmp_path, data, name="doc.yaml"):
    path = tmp_path / name
    path.write_bytes(data)
    assert outcome(by_library, str(path)) == outcome(by_pure_parser, str(path)), data[:300]


# Texts the C parser reads where the Python parser refuses them or reads them otherwise,
# and deep ones, where only the Python parser runs out of recursion.
GAPS = [
    b"a:\t1\n", b"a: [1,\t2]\n", b"1\t", b"- \tx\n",
    b"\n\xef\xbb\xbf\n", b"a: x\xef\xbb\xbfy\n", b"\xef\xbb\xbfa: 1\n",
    b">#\n", b"a: |-#\n  x\n", b"a: >2#\n  x\n", b"a: '>#'\n",
    "a: caf\u00e9\n".encode("utf-16"), "a: caf\u00e9\n".encode("utf-16-be"),
    b"a: " + b"[" * 100 + b"]" * 100 + b"\n", b"a: " + b"[" * 101 + b"]" * 101 + b"\n",
    b"a: " + b"[" * 900 + b"]" * 900 + b"\n", b"a: " + b"[" * 20000 + b"]" * 20000 + b"\n",
    b"a: &x [" + b"[" * 60 + b"]" * 60 + b"]\nb: [" * 1 + b"[" * 60 + b"*x" + b"]" * 61 + b"\n",
    b"%YAML 1.3\n---\na: 1\n", b"a: 1\n---\nb: 2\n", b"", b"# only a comment\n", b"a: *nope\n",
    b"a: &x [1, *x]\n", b"? [1]\n: 2\n", b"a: !!python/object:os.system x\n", b"\x00", b"a: \x85\n",
]


@pytest.mark.parametrize("data", GAPS, ids=range(len(GAPS)))
def test_known_gaps_are_closed(tmp_path, data):
    check(tmp_path, data)


def corpus():
    """The YAML files of this machine (outside the work trees and kernel file systems)."""
    found = []
    skip = ("/proc", "/sys", "/dev", "/work", "/tmp", "/var/cache/vornal")
    for root, dirs, files in os.walk("/"):
        dirs[:] = [d for d in dirs if os.path.join(root, d) not in skip]
        found += [os.path.join(root, f) for f in files if f.endswith((".yaml", ".yml"))]
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    for root, dirs, files in os.walk(here):
        dirs[:] = [d for d in dirs if not d.startswith((".", "build"))]
        found += [os.path.join(root, f) for f in files if f.endswith((".yaml", ".yml"))]
    texts = []
    for path in sorted(found):
        try:
            with open(path, "rb") as stream:
                texts.append(stream.read(1 << 20))
        except OSError:
            continue
    return texts


PIECES = [b"a", b"key", b"1", b"0.5", b"~", b"yes", b"2024-01-02", b"0x1F", b".inf", b": ", b":", b"- ", b"-",
          b"? ", b",", b"[", b"]", b"{", b"}", b"#", b" #c", b"'", b'"', b"\\", b"\\n", b"&x ", b"*x", b"!!str ",
          b"!!set ", b"!!binary ", b"!foo ", b"<<: ", b"|", b">", b"|-", b">+", b"|2", b"%YAML 1.1\n", b"---\n",
          b"...\n", b"@", b"\n", b"\n", b" ", b"  ", b"\t", b"\r\n", b"\r", b"\xc2\x85", b"\xe2\x80\xa8",
          b"\xef\xbb\xbf", b"\x00", b"\x7f", b"\xc3\xa9", b"\xf0\x9f\x98\x80", b"\xed\xa0\x80", b"\xee\x80\x80",
          b"\xff", b"x" * 1030]


def mutations(texts, count, seed=17):
    rng = random.Random(seed)
    for i in range(count):
        if i % 3 == 0 or not texts:
            yield b"".join(rng.choice(PIECES) for _ in range(rng.randint(1, 40)))
            continue
        data = bytearray(rng.choice(texts)[:4000])
        for _ in range(rng.randint(1, 3)):
            at = rng.randrange(len(data) + 1)
            if rng.random() < 0.6:
                data[at:at] = rng.choice(PIECES)
            else:
                del data[at:at + rng.randint(1, 3)]
        yield bytes(data)


def test_corpus_and_mutations(tmp_path):
    texts = corpus()
    for n, data in enumerate(texts + list(mutations(texts, 800))):
        check(tmp_path, data, f"doc{n % 50}.yaml")


_DATA = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=8) | st.dates() | st.binary(max_size=5),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=6), inner, max_size=4),
    max_leaves=15)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.dictionaries(st.text(max_size=6), _DATA, max_size=5),
       st.fixed_dictionaries({"default_flow_style": st.sampled_from([None, True, False]),
                              "canonical": st.booleans(), "allow_unicode": st.booleans(),
                              "width": st.sampled_from([10, 80, 1000]), "explicit_start": st.booleans()}))
def test_generated_documents(tmp_path, document, style):
    check(tmp_path, yaml.safe_dump(document, **style).encode())

"""Rules of the module sources that the compiler does not enforce: each module
keeps its per-interpreter state in the one struct it opens with, and includes
the framework through pyframe.hpp alone."""

import pathlib
import re

import pytest

pytestmark = pytest.mark.quick  # the part of the suite `tools/dev compilers` runs

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODULES = sorted((ROOT / "src" / "modules").glob("*.cpp"))
# Types whose objects hold something of an interpreter.
HOLDERS = r"\b(?:Held|Value<[^>]*>|TypeMemo<[^>]*>|AbcCheck|Original|Ref|PyObject\s*\*|PyTypeObject\s*\*)"


def code_of(text):
    """The text with comments and string and character literals blanked out, lines kept."""
    pattern = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)
    return pattern.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)), text)


def namespace_statements(code):
    """(line, statement) of each declaration at the top level of the module's
    anonymous namespace; a struct or function counts with its body."""
    start = code.index("namespace {") + len("namespace {")
    depth, begin, out = 0, start, []
    for i in range(start, len(code)):
        c = code[i]
        if c == "{":
            depth += 1
        elif c == "}":
            if depth == 0:
                break
            depth -= 1
            if depth == 0 and not re.match(r"\s*;", code[i + 1:]):
                out.append((code.count("\n", 0, begin) + 1, code[begin:i + 1].strip()))
                begin = i + 1
        elif c == ";" and depth == 0:
            out.append((code.count("\n", 0, begin) + 1, code[begin:i + 1].strip()))
            begin = i + 1
    return [(line, s) for line, s in out if s]


@pytest.mark.parametrize("path", MODULES, ids=lambda p: p.stem)
def test_the_module_keeps_its_state_in_the_struct_it_opens_with(path):
    statements = namespace_statements(code_of(path.read_text()))
    kinds = [s.split()[0] for _, s in statements]
    assert kinds[0] == "using", statements[0]
    # Only the types its fields need come before the record.
    opening = next(i for i, (_, s) in enumerate(statements) if s.startswith("struct State "))
    assert all(k == "struct" for k in kinds[1:opening]), statements[1:opening]
    assert re.fullmatch(r"PF_STATE\(State, st\);", statements[opening + 1][1])
    strays = [(line, s.split("\n")[0]) for line, s in statements[opening + 2:]
              if "PF_STATE" in s
              or re.match(r"(?:static\s+|inline\s+)*" + HOLDERS + r"[\s*&]*\w+\s*(?:=[^(]*|\[[^]]*\]\s*)?;$", s)
              or re.match(r"(?:static\s+|inline\s+)*" + HOLDERS + r"[^(]*,", s)]
    assert not strays, f"{path.name}: per-interpreter state outside struct State: {strays}"


@pytest.mark.parametrize("path", MODULES, ids=lambda p: p.stem)
def test_the_module_includes_the_framework_through_pyframe_hpp_only(path):
    text = path.read_text()
    assert re.findall(r'#include\s+"([^"]+)"', text) == ["pyframe.hpp"]
    assert not re.search(r"\bpf::rt\b|\brt::|runtime/", code_of(text))


# (module file, implementation) of every function registered with def<>.
REGISTERED = [pytest.param(path, name, id=f"{path.stem}.{name}") for path in MODULES
              for name in sorted(set(re.findall(r"\bdef<(\w+)>", path.read_text())))]


@pytest.mark.parametrize("path, name", REGISTERED)
def test_each_implementation_sits_under_the_python_it_implements(path, name):
    # The comment right above the definition (above its template line, if any)
    # gives the Python form: a def, a class attribute (`name = ...`) or a lambda.
    lines = path.read_text().split("\n")
    start = max(i for i, line in enumerate(lines)
                if re.match(r"[A-Za-z].*\b" + name + r"\(", line) and not line.rstrip().endswith(";"))
    while lines[start - 1].startswith("template"):
        start -= 1
    comment = []
    while lines[start - 1].startswith("//"):
        start -= 1
        comment.insert(0, lines[start])
    assert any(re.match(r"//\s+(def \w+\(|\w+ = |lambda\b)", line) for line in comment), \
        f"{path.name}:{start + len(comment) + 1}: {name} has no Python form right above it"

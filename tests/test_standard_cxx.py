"""The framework as standard C++20, under every C++ compiler at hand: the
statement macros compile warning-free with -Wpedantic -Werror and pass
failures on as they say, a failure value that is neither passed on nor
looked at does not compile, and the portable overflow checks give what the
compilers' builtins give."""

import pathlib
import re
import shutil
import subprocess
import sysconfig
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
PYFRAME = ROOT / "src" / "pyframe"
FLAGS = ["-std=c++20", "-Wall", "-Wextra", "-Wpedantic", "-Werror", f"-I{PYFRAME}",
         f"-I{sysconfig.get_paths()['include']}"]


def usable(command):
    if not shutil.which(command[0]):
        return False
    probe = subprocess.run([*command, "-std=c++20", "-x", "c++", "-fsyntax-only", "-"], input="#include <vector>\n",
                           capture_output=True, text=True)
    return probe.returncode == 0


if sysconfig.get_config_var("Py_DEBUG"):
    pytest.skip("the compilers are checked once, under the release interpreter", allow_module_level=True)
COMPILERS = [pytest.param(c, id=" ".join(c)) for c in (["g++"], ["clang++"], ["clang++", "-stdlib=libc++"])
             if usable(c)]
if not COMPILERS:
    pytest.skip("no C++ compiler on PATH", allow_module_level=True)


def compile_source(compiler, tmp_path, source, *extra):
    path = tmp_path / "t.cpp"
    path.write_text('#include "pyframe.hpp"\n' + textwrap.dedent(source))
    return subprocess.run([*compiler, *FLAGS, *extra, str(path)], capture_output=True, text=True, cwd=tmp_path)


# Every form of the macros (under if/else without braces, a declaration and
# an lvalue target, structured bindings, a loop over an iterator) compiles
# clean; the macros on Status and Result<T>, which need no interpreter, run;
# and the overflow checks' portable code meets the builtins, exhaustively
# for 8 bits, on a grid for 16 and at the edges for 64.
PROGRAM = """
    #include <cstdint>
    #include <cstdio>
    #include <limits>
    using namespace pf;

    namespace {
    [[maybe_unused]] Status every_form(Handle self, Handle items, bool flag) {
        TRY_LET(Ref it, items.iter());
        Py_ssize_t n = 0;
        for (Ref item;; ++n) {
            TRY_NEXT(it, item);
            TRY_LET(auto pair, unpack_pair(item));
            auto& [name, value] = pair;
            TRY_LET(bool present, self.contains(name));
            if (present) TRY(self.del_item(name));
            else TRY(self.set_item(name, value));
        }
        Ref last;
        if (flag) { TRY_LET(last, items.item(id<"x">())); }
        TRY_LET(Py_ssize_t length, self.len());
        return length == n && last ? ok : Status(failure);
    }

    int calls = 0;
    Result<int> value(int v) {
        ++calls;
        if (v < 0) return failure;
        return v;
    }
    Status check(bool good) {
        ++calls;
        return good ? ok : Status(failure);
    }

    Result<int> sum(int a, int b, bool checked) {
        TRY_LET(int x, value(a));
        int y = -1;
        if (checked) TRY(check(b != 0));
        else TRY(check(true));
        TRY_LET(y, value(b));
        return x + y;
    }

    template <class T> int disagreements() {
        using L = std::numeric_limits<T>;
        int bad = 0;
        auto compare = [&](T a, T b) {
            T r1{}, r2{};
            bool o1 = add_overflows(a, b, &r1), o2 = __builtin_add_overflow(a, b, &r2);
            bad += o1 != o2 || (!o1 && r1 != r2);
            o1 = mul_overflows(a, b, &r1), o2 = __builtin_mul_overflow(a, b, &r2);
            bad += o1 != o2 || (!o1 && r1 != r2);
        };
        if constexpr (sizeof(T) == 1) {
            for (int a = L::min(); a <= L::max(); ++a)
                for (int b = L::min(); b <= L::max(); ++b) compare(T(a), T(b));
        } else if constexpr (sizeof(T) == 2) {
            for (long a = L::min(); a <= L::max(); a += 7)
                for (long b = L::min(); b <= L::max(); b += 13) compare(T(a), T(b));
            for (long a = L::min(); a <= L::max(); ++a)
                for (T b : {L::min(), T(-1), T(0), T(1), T(2), L::max()}) compare(T(a), b);
        } else {
            const T edges[] = {L::min(), T(L::min() + 1), T(-3037000500), T(-2), T(-1), 0, 1, 2,
                               T(3037000499), T(3037000500), T(L::max() - 1), L::max()};
            for (T a : edges)
                for (T b : edges) compare(a, b);
        }
        return bad;
    }
    }  // namespace

    int main() {
        Result<int> good = sum(2, 3, true);
        int after_good = calls;
        Result<int> bad_first = sum(-1, 3, true);
        int after_first = calls;
        Result<int> bad_check = sum(2, 0, true);
        std::printf("%d %d %d %d %d %d %d\\n", good.succeeded(), good.succeeded() ? good.value() : 0, after_good,
                    bad_first.succeeded(), after_first - after_good, bad_check.succeeded(),
                    disagreements<std::int8_t>() + disagreements<std::int16_t>() + disagreements<std::int64_t>());
    }
"""


@pytest.mark.parametrize("compiler", COMPILERS)
def test_macros_compile_clean_and_run(compiler, tmp_path):
    r = compile_source(compiler, tmp_path, PROGRAM, "-DPF_PORTABLE_FALLBACKS", "-O1", "-o", "t")
    assert (r.returncode, r.stderr) == (0, "")
    out = subprocess.run([str(tmp_path / "t")], capture_output=True, text=True, check=True).stdout
    # sum(2, 3): 5 after three calls; sum(-1, 3) stops at its first call;
    # sum(2, 0) fails in check(); no disagreement with the builtins
    assert out.split() == ["1", "5", "3", "0", "1", "0", "0"]


# Each function's marked line must be refused: a failure value of each kind
# dropped, and a TRY_LET under an `if` without braces.
REFUSED = """
    pf::Status drops_ref(pf::Handle self) {
        self.attr<"x">();  // refused
        return pf::ok;
    }
    pf::Status drops_status(pf::Handle self) {
        self.setattr<"x">(self);  // refused
        return pf::ok;
    }
    pf::Status drops_result(pf::Handle self) {
        self.truthy();  // refused
        return pf::ok;
    }
    pf::Status drops_failure() {
        pf::raise(PyExc_TypeError, "x");  // refused
        return pf::ok;
    }
    pf::Ref try_let_without_braces(pf::Handle self, bool flag) {
        pf::Ref name;
        if (flag) TRY_LET(name, self.attr<"__name__">());  // refused
        return name;
    }
"""


@pytest.mark.parametrize("compiler", COMPILERS)
def test_unchecked_failures_and_unbraced_try_let_do_not_compile(compiler, tmp_path):
    r = compile_source(compiler, tmp_path, REFUSED, "-fsyntax-only")
    source = (tmp_path / "t.cpp").read_text().splitlines()
    refused = {i + 1 for i, line in enumerate(source) if line.endswith("// refused")}
    # an error in t.cpp, or one in a header in the expansion of a macro used there
    flagged = {int(n) for n in re.findall(r"t\.cpp:(\d+):\d+: (?:error|note: in expansion of macro)", r.stderr)}
    assert r.returncode != 0 and flagged == refused
    assert r.stderr.count("nodiscard") >= 4

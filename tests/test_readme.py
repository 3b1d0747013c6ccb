"""The README's examples run as they are written."""
import doctest
import pathlib

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_readme_examples():
    failures, tried = doctest.testfile(str(README), module_relative=False, optionflags=doctest.ELLIPSIS)
    assert tried > 20 and failures == 0

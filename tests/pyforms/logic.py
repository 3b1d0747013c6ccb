"""BaseLogic, And, Or, Not and logic_str written in Python (see the package docstring).

logic_str evaluates text with this module's namespace as its globals, so the
namespace holds exactly the names of the module body.
"""
import re
import logging
from vornal.utils.strings import decode_cli_string

__all__ = ['And', 'Or', 'Not']
logger = logging.getLogger(__name__)


class BaseLogic:
    """BaseLogic Class

    Gathers the code that And, Or and Not share: construction from regular
    expressions (given as strings) and callables, the string form and
    equality. The class only gathers the common code and performs no
    meaningful testing by itself: calling an instance raises
    NotImplementedError."""

    def __init__(self, *expressions):
        """Keep the expressions in order: a str is compiled with re.compile(), a
        callable (another expression included) is kept as it is."""
        self.expressions = []
        for expression in expressions:
            if isinstance(expression, str):
                expression = re.compile(expression)
            elif not callable(expression):
                raise TypeError('Expression only accepts str and callable. Got: '
                                + str(expression) + ' (' + str(type(expression)) + ')')
            self.expressions.append(expression)

    def __call__(self):
        raise NotImplementedError

    def __str__(self):
        parts = []
        for element in self.expressions:
            parts.append(repr(element) if callable(element) else "'%s'" % element.pattern)
        return type(self).__name__ + '(' + ', '.join(parts) + ')'

    def __repr__(self):
        return str(self)

    def __eq__(self, other):
        if type(other) is type(self):
            return self.expressions == other.expressions
        return False


class And(BaseLogic):
    """Logical And"""

    def __call__(self, *items):
        for expression in self.expressions:
            if isinstance(expression, BaseLogic):
                satisfied = expression(*items)
            elif callable(expression):
                satisfied = any([expression(item) for item in items])
            else:
                satisfied = any([expression.search(item if type(item) is str else str(item)) for item in items])
            if not satisfied:
                return False
        return True


class Or(BaseLogic):
    """Logical Or"""

    def __call__(self, *items):
        for expression in self.expressions:
            if isinstance(expression, BaseLogic):
                satisfied = expression(*items)
            elif callable(expression):
                satisfied = any([expression(item) for item in items])
            else:
                satisfied = any([expression.search(item if type(item) is str else str(item)) for item in items])
            if satisfied:
                return True
        return False


class Not(BaseLogic):
    """Logical Not"""

    def __call__(self, *items):
        for expression in self.expressions:
            if isinstance(expression, BaseLogic):
                satisfied = expression(*items)
            elif callable(expression):
                satisfied = any([expression(item) for item in items])
            else:
                satisfied = any([expression.search(item if type(item) is str else str(item)) for item in items])
            if satisfied:
                return False
        return True


def logic_str(string):
    """Logic String Conversion

    Convert a logic form string to objects, mostly for command-line parsing
    of arguments.

        >>> logic_str("And('a', 'b')")('ab')
        True"""
    string = decode_cli_string(string)
    try:
        # Only text is evaluated (eval() would also compile bytes).
        if not isinstance(string, str):
            raise TypeError('logic string must be str, not %.200s' % type(string).__name__)
        ret = eval(string, globals(), {'string': string})
        assert isinstance(ret, BaseLogic)
    except Exception:
        raise ValueError('Not a properly formatted logic string: %s' % string)
    return ret

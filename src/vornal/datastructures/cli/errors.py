"""The command's name and version, exit statuses and the one kind of failure a run of vornal-config ends with."""
from .. import __version__

PROG = "vornal-config"
EXIT_OK, EXIT_DIFFERENT, EXIT_USAGE = 0, 1, 2
EXIT_MISSING = 1
EXIT_PIPE = 128 + 13  # what a shell reports for a command ended by SIGPIPE
EXIT_INTERRUPTED = 128 + 2


class CliError(Exception):
    """A failure the run ends with: one line, exit status 2."""

    def __init__(self, where, message):
        super().__init__(f"{where}: {message}" if where else str(message))


class Skipped(Exception):
    """A file that is not there: an error, unless the layer is marked optional."""


def one_line(exc):
    """The first line of an exception's text, or its type's name when it has none."""
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__


def version():
    return f"{PROG} {__version__}"

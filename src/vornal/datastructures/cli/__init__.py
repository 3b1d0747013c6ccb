"""vornal-config: shows what layered configuration files produce.

The files are loaded into one ``Configuration`` in the order given
(consecutive INI files by one ``load_cfgs`` call, YAML files by
``load_yamls``, then the entry points of a group), and the merged result is
printed as a tree, as flat ``path = value`` lines or as JSON, with the Python
type of every value, so that the conversions are visible; ``get`` prints one
value, ``explain`` every layer that sets one path, and ``diff`` compares two
sets of layers.

The parts: ``commands`` (the commands and the command line), ``session``
(reading and loading the layers), ``layers`` (what each file holds, line by
line), ``present`` (output and masking), ``syntax`` (paths and filters) and
``errors``. ``main`` is the one error boundary: any failure ends the run with
one line ``vornal-config: FILE[:LINE]: message`` and exit status 2.
"""
import os
import sys

from .errors import EXIT_INTERRUPTED, EXIT_PIPE, EXIT_USAGE, PROG, CliError, one_line, version

__all__ = ["main"]


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv == ["--version"]:  # answered without building the parser
        sys.stdout.write(version() + "\n")
        return 0
    # The rest of the command is imported here: --version alone, answered above, costs no more than Python's start.
    from .commands import parser, presenter_of, refuse_combinations
    from .present import Output

    top = parser()
    args, extra = top.parse_known_args(argv)
    if extra:  # reported with the usage of the subcommand they were given to
        top.subparsers[args.command].error(f"unrecognized arguments: {' '.join(extra)}")
    refuse_combinations(top, args)
    output = Output()  # masks nothing: it serves until the options are read
    debug = args.debug
    try:
        output = Output(presenter_of(args))
        status = args.run(args, output)
    except CliError as exc:
        return _fail(debug, output, str(exc))
    except KeyboardInterrupt:
        sys.stderr.write(f"{PROG}: interrupted\n")
        return EXIT_INTERRUPTED
    except MemoryError:
        return _fail(debug, output, "out of memory")
    except Exception as exc:
        return _fail(debug, output, f"{type(exc).__name__}: {one_line(exc)}")
    return _write(output.text()) or status


def _fail(debug, output, text):
    """The line (and with --debug the traceback), without masked values."""
    presenter = output.presenter
    if debug:
        import traceback  # only --debug prints one; the module costs about 40 % of a short run

        sys.stderr.write(presenter.clean(traceback.format_exc()))
    sys.stderr.write(f"{PROG}: {presenter.clean(text)}\n")
    return EXIT_USAGE


def _write(text):
    """Writes the output; a closed pipe ends quietly, a failed write with one line."""
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        _silence_stdout()
        return EXIT_PIPE
    except OSError as exc:
        _silence_stdout()
        sys.stderr.write(f"{PROG}: cannot write the output: {exc.strerror or exc}\n")
        return EXIT_USAGE
    except UnicodeEncodeError as exc:
        sys.stderr.write(f"{PROG}: cannot write the output: it holds {exc.object[exc.start]!r}, which the output's "
                         f"encoding ({exc.encoding}) cannot carry\n")
        return EXIT_USAGE
    return None


def _silence_stdout():
    """Points stdout at /dev/null, so that the interpreter's last flush has nowhere to fail."""
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        return
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, fd)
    os.close(null)

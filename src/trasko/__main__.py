"""Entry point of the `trasko` console script and of `python -m trasko`."""

from __future__ import annotations

import errno
import os
import sys

from trasko.options import USAGE_ERROR, Options, UsageError, parse


def main(argv: list[str] | None = None) -> int:
    """Runs the command; returns its exit status."""
    args = sys.argv[1:] if argv is None else argv
    try:
        try:
            options = parse(args)
        except UsageError as error:
            return _usage_error(error)
        if options is None:  # --help or --version, already answered
            return 0
        if sys.stdout is None:  # started with standard output closed
            return 1
        return _run(options)
    except OSError as error:
        if not _output_gone(error):
            raise
        _silence()
        return 1


def _usage_error(error: UsageError) -> int:
    from trasko import messages

    if error.no_list:
        _module_usage_line()
    print(messages.USAGE.format(error=error), file=sys.stderr)
    return USAGE_ERROR


def _module_usage_line() -> None:
    # Without a list the module's own usage line keeps standard output as it
    # always was; it takes the list from sys.argv, so show it none.
    import velka

    saved = sys.argv
    sys.argv = saved[:1]
    try:
        velka.main_func()
    finally:
        sys.argv = saved


def _run(options: Options) -> int:
    from trasko import messages, report

    try:
        return _dispatch(options)
    except KeyboardInterrupt:
        report.on_own_line(messages.INTERRUPTED)
        return 1
    except OSError as error:
        if _output_gone(error):
            raise
        report.internal_error(error)
        return 1
    except Exception as error:  # noqa: BLE001 - reported without its text
        report.internal_error(error)
        return 1


def _dispatch(options: Options) -> int:
    from trasko import batch, listing, messages, report, site, verify, watch
    from trasko.exchange import Recorder, Timeouts

    with site.rebound(options.site):
        try:
            lines, ansi = listing.read(options.list_file)
        except listing.ListError as error:
            errand = options.invoices or options.rules is not None
            if not (options.check or errand) and not error.opened:
                report.out(f"{messages.LIST_INTROUVABLE} {options.list_file}")  # as the module's batch says it
            report.say(messages.LIST_UNREADABLE.format(name=os.fsdecode(options.list_file), reason=error.reason))
            return USAGE_ERROR
        if ansi:
            report.say(messages.LIST_NOT_UTF8)
        recorder = Recorder(Timeouts(options.wait))
        if options.invoices or options.rules is not None:
            from trasko import errands

            return errands.dispatch(options, lines)
        if options.check:
            return verify.run(lines, recorder, options.report)
        if options.follow:
            assert options.interval is not None
            return watch.run(options.list_file, lines, recorder, options.interval, options.report)
        return batch.run(lines, recorder, options.keep_going, options.report)


def _output_gone(error: OSError) -> bool:
    """Whether standard output (or error) was closed under the command: a
    broken pipe, or Windows' EINVAL on a closed pipe."""
    if isinstance(error, BrokenPipeError):
        return True
    return error.errno == errno.EINVAL and os.name == "nt"


def _silence() -> None:
    """Points both outputs at the null device, so that the interpreter's own
    flush at exit finds nothing to complain about."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    for stream in (sys.stdout, sys.stderr):
        try:
            if stream is not None:
                os.dup2(devnull, stream.fileno())
        except (OSError, ValueError):
            pass
    os.close(devnull)


if __name__ == "__main__":
    sys.exit(main())

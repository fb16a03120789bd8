"""Entry point of the `trasko` console script and of `python -m trasko`."""

from __future__ import annotations

import io
import os
import sys
from contextlib import nullcontext, redirect_stdout
from dataclasses import replace
from typing import TextIO, cast

from trasko import messages
from trasko.journal import Journal
from trasko.modes import Mode, Status
from trasko.options import Options, UsageError, parse
from trasko.report import Environment, KeptOutput, interrupting, output_gone


def main(argv: list[str] | None = None, env: Environment | None = None) -> int:
    """Runs the command; returns its exit status."""
    args = sys.argv[1:] if argv is None else argv
    env = Environment() if env is None else env
    for stream in (env.stdout, env.stderr):
        # A name the output's encoding cannot write (a Windows console's, a
        # redirected output's) is written with stand-ins: it never stops the work.
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(errors="replace")
    kept = None if env.stdout is None else KeptOutput(env.stdout)
    env = replace(env, given_stdout=cast(TextIO, kept))
    try:
        # The module prints on the interpreter's standard output: the run's own.
        with redirect_stdout(kept) if kept is not None else nullcontext():
            status = _main(args, env)
    except OSError as error:
        if not output_gone(error):
            raise
        _silence(env.stdout, env.stderr)
        return Status.NOT_DONE
    if kept is None or not kept.failed:
        return status
    env.say(messages.OUTPUT_REFUSED)
    _silence(kept.inner)  # what it still holds can go nowhere either
    return max(status, Status.NOT_DONE)


def _main(args: list[str], env: Environment) -> Status:
    try:
        options = parse(args)
    except UsageError as error:
        return _usage_error(error, env)
    if options is None:  # --help or --version, already answered
        return Status.DONE
    if env.stdout is None:  # started with standard output closed
        return Status.NOT_DONE
    return _run(options, env)


def _usage_error(error: UsageError, env: Environment) -> Status:
    if error.no_list:
        _module_usage_line()
    env.say(messages.USAGE.format(error=error))
    return Status.USAGE


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


def _run(options: Options, env: Environment) -> Status:
    try:
        with interrupting("SIGTERM", "SIGBREAK"):  # a service manager's stop ends it as Ctrl-C does
            return _dispatch(options, env)
    except KeyboardInterrupt:
        env.on_own_line(messages.INTERRUPTED)
        return Status.NOT_DONE
    except Exception as error:  # noqa: BLE001 - reported without its text
        if isinstance(error, OSError) and output_gone(error):
            raise
        env.internal_error(error)
        return Status.NOT_DONE


def _dispatch(options: Options, env: Environment) -> Status:
    from trasko.modes import registry

    modes = registry()
    mode = next((mode for flag, mode in modes.items() if flag in options.given), modes[None])
    if not mode.reads_list:
        return mode.run(env, options, [])
    journal = Journal.beside(options.list_file) if env.keeps_board and options.list_file != "-" else None
    if journal is None:
        return _read_and_run(mode, options, env)
    journal.started(mode.flag or messages.JOURNAL_MODE_PUBLISH, options.list_file)
    status = Status.NOT_DONE
    try:
        # The module's own lines, and --verifier's answers, go to the journal alone.
        with redirect_stdout(cast(TextIO, journal)):
            status = _read_and_run(mode, options, replace(env, given_stdout=cast(TextIO, journal), journal=journal))
    finally:
        journal.close(status)
    return status


def _read_and_run(mode: Mode, options: Options, env: Environment) -> Status:
    from trasko import json_report, listing, site

    with site.rebound(options.site):
        try:
            lines, ansi = listing.read(options.list_file, env.stdin)
        except listing.ListError as error:
            if mode.names_missing_list and not error.opened:
                env.out(f"{messages.LIST_INTROUVABLE} {options.list_file}")  # as the module's batch says it
            env.say(
                messages.LIST_UNREADABLE.format(name=os.fsdecode(options.list_file), reason=_why(error.reason, options))
            )
            return Status.USAGE
        inputs = [(options.list_file, messages.REPORT_OVER_LIST), (options.rules, messages.REPORT_OVER_RULES)]
        inputs += [(line.papi_path(), messages.REPORT_OVER_PAPI) for line in lines if len(line.fields) > 2]
        clash = json_report.overwrites(options.report, inputs)
        if clash is not None:
            return _usage_error(UsageError(clash), env)
        # The organiser's programs say it only where it may matter: a Papi file not found.
        if ansi and (not env.keeps_board or any(line.kind == listing.PAPI_PROBLEM for line in lines)):
            env.say(messages.LIST_NOT_UTF8)
        return mode.run(env, options, lines)


def _why(reason: str, options: Options) -> str:
    """Why the list cannot be read: a PDF given as the list with --reglement
    is the rules and the list given the wrong way round."""
    if reason == messages.LIST_IS_PDF and options.rules:
        from trasko import errands

        return errands.pdf_problem(options.rules, options.list_file) or reason
    return reason


def _silence(*streams: TextIO | None) -> None:
    """Points the outputs at the null device, so that the interpreter's own
    flush at exit finds nothing to complain about."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    for stream in streams:
        try:
            if stream is not None:
                os.dup2(devnull, stream.fileno())
        except (OSError, ValueError):
            pass
    os.close(devnull)


if __name__ == "__main__":
    sys.exit(main())

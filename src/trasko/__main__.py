"""Entry point of the `trasko` console script and of `python -m trasko`."""

from __future__ import annotations

import errno
import os
import sys
from contextlib import nullcontext, redirect_stdout

from trasko.modes import Status
from trasko.options import Options, UsageError, parse
from trasko.report import Environment


def main(argv: list[str] | None = None, env: Environment | None = None) -> int:
    """Runs the command; returns its exit status."""
    args = sys.argv[1:] if argv is None else argv
    env = Environment() if env is None else env
    try:
        # The module prints on the interpreter's standard output: the run's own.
        with redirect_stdout(env.stdout) if env.given_stdout else nullcontext():
            return _main(args, env)
    except OSError as error:
        if not _output_gone(error):
            raise
        _silence(env)
        return Status.NOT_DONE


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
    from trasko import messages

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
    from trasko import messages

    try:
        return _dispatch(options, env)
    except KeyboardInterrupt:
        env.on_own_line(messages.INTERRUPTED)
        return Status.NOT_DONE
    except Exception as error:  # noqa: BLE001 - reported without its text
        if isinstance(error, OSError) and _output_gone(error):
            raise
        env.internal_error(error)
        return Status.NOT_DONE


def _dispatch(options: Options, env: Environment) -> Status:
    from trasko import listing, messages, site
    from trasko.modes import registry

    modes = registry()
    mode = next((mode for flag, mode in modes.items() if flag in options.given), modes[None])
    with site.rebound(options.site):
        try:
            lines, ansi = listing.read(options.list_file, env.stdin)
        except listing.ListError as error:
            if mode.names_missing_list and not error.opened:
                env.out(f"{messages.LIST_INTROUVABLE} {options.list_file}")  # as the module's batch says it
            env.say(messages.LIST_UNREADABLE.format(name=os.fsdecode(options.list_file), reason=error.reason))
            return Status.USAGE
        if ansi:
            env.say(messages.LIST_NOT_UTF8)
        return mode.run(env, options, lines)


def _output_gone(error: OSError) -> bool:
    """Whether standard output (or error) was closed under the command: a
    broken pipe, or Windows' EINVAL on a closed pipe."""
    if isinstance(error, BrokenPipeError):
        return True
    return error.errno == errno.EINVAL and os.name == "nt"


def _silence(env: Environment) -> None:
    """Points both outputs at the null device, so that the interpreter's own
    flush at exit finds nothing to complain about."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    for stream in (env.stdout, env.stderr):
        try:
            if stream is not None:
                os.dup2(devnull, stream.fileno())
        except (OSError, ValueError):
            pass
    os.close(devnull)


if __name__ == "__main__":
    sys.exit(main())

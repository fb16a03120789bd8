"""Entry point of the `trasko` console script and of `python -m trasko`."""

from __future__ import annotations

import sys

from trasko.options import USAGE_ERROR, Options, UsageError, parse


def main(argv: list[str] | None = None) -> int:
    """Runs the command; returns its exit status."""
    args = sys.argv[1:] if argv is None else argv
    try:
        options = parse(args)
    except UsageError as error:
        return _usage_error(error)
    if options is None:  # --help or --version, already answered
        return 0
    return _run(options)


def _usage_error(error: UsageError) -> int:
    if error.no_list:
        _module_usage_line()
    print(f"trasko : {error} (trasko --help pour l'aide)", file=sys.stderr)
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
    from trasko import report

    try:
        return _dispatch(options)
    except KeyboardInterrupt:
        report.say("trasko : interrompu")
        return 1
    except Exception as error:  # noqa: BLE001 - reported without its text
        report.internal_error(error)
        return 1


def _dispatch(options: Options) -> int:
    from trasko import batch, listing, site, verify, watch

    with site.rebound(options.site):
        try:
            lines = listing.read(options.list_file)
        except OSError as error:
            return batch.unreadable(options.list_file, error, options.check)
        if options.check:
            return verify.run(lines)
        if options.follow:
            return watch.run(options.list_file, lines, options.interval)
        return batch.run(options.list_file, lines, options.keep_going)


if __name__ == "__main__":
    sys.exit(main())

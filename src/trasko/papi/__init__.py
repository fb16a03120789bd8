"""Papi files: reading a tournament's file, and the copy of it that may go
public. The Jet 4 page format is in `jet`, what Papi puts in it in `content`."""

from trasko.papi.content import NOT_PAPI, UNCLEAN, Cleaned, Tournament, clean, cleaned_copy, read
from trasko.papi.jet import CORRUPT, NOT_JET, TOO_LARGE, TRUNCATED, PapiError

__all__ = [
    "CORRUPT",
    "NOT_JET",
    "NOT_PAPI",
    "TOO_LARGE",
    "TRUNCATED",
    "UNCLEAN",
    "Cleaned",
    "PapiError",
    "Tournament",
    "clean",
    "cleaned_copy",
    "read",
]

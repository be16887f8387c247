"""The errors of reading: a file that cannot be read as curves, or a column it does not have."""

from kelvara.errors import KelvaraError


class ReadError(KelvaraError):
    """A file that cannot be read as curves: one sentence naming the file,
    the line and the column."""


class MissingColumn(ReadError):
    """A column chosen by name or position that the file does not have."""

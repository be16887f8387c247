"""The one error of bad input.

`KelvaraError` says in one sentence what is wrong with what was given (a
file, an option, a value) and, where it helps, what to do.  The command line
reports it with exit status 2 and the app as a 400; both catch this class
only, so that anything else that escapes is a fault of kelvara's own and
shows as one (a traceback, or a 500 with a log line).  It is a ValueError,
as every refusal of bad input always was."""


class KelvaraError(ValueError):
    """Bad input, in one sentence."""

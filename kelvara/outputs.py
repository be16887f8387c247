"""The file writer under its former name: see kelvara.writer."""

from kelvara.writer import OutputError, Target, check, target, write

__all__ = ["OutputError", "Target", "target", "check", "write"]

"""`python -m ostrel`: the command line."""

from ostrel.cli import run

run()

"""Command-line mistakes caught before any work, each with what to type instead.

`problem(args)` looks at the parsed arguments of any command and returns the
message of the first mistake, or None; the command line reports it as a
usage error (exit 2). A missing optional library that a flag needs raises
`MissingDependencyError`, also a usage error there.
"""

from __future__ import annotations

import argparse
from pathlib import Path

from ostrel import _deps
from ostrel.reading import IMAGE_EXTENSIONS
from ostrel.settings import SETTINGS

# Recipe flags by their attribute on the parsed arguments.
_FLAGS = {setting.dest: setting.flag or setting.key for setting in SETTINGS}
# The recipe command's own arguments; every other one is a recipe flag.
_RECIPE_COMMAND_ARGUMENTS = frozenset({"command", "from_print"})


def problem(args: argparse.Namespace) -> str | None:
    """The first mistake in the parsed arguments, as a message, or None."""
    if args.command == "convert":
        return _convert(args)
    if args.command == "recipe" and args.from_print:
        given = sorted(
            _FLAGS.get(name, f"--{name}")
            for name, value in vars(args).items()
            if name not in _RECIPE_COMMAND_ARGUMENTS and value
        )
        if given:
            return (
                f"--from gives the recipe stored in the print as it is; it takes no recipe flags "
                f"(got {', '.join(given)}): write it to a file, edit that, or pass it with --recipe"
            )
    return None


def _convert(args: argparse.Namespace) -> str | None:
    outdir = Path(args.output)
    if not outdir.exists() and outdir.suffix.lower() in IMAGE_EXTENSIONS:
        return (
            f"-o names the folder for the prints, and {outdir} looks like a file name; give a folder "
            f"(each print is named after its photo), or for one file use the library's ostrel.convert_file"
        )
    if args.tiled:
        _deps.dask_array()  # MissingDependencyError names the extra to install
        _deps.tifffile()
    return None

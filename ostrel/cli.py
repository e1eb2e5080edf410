"""The `ostrel` command line: convert photos, list presets, write recipes, preview.

Exit codes: 0 when every file was converted or skipped; 1 when any file
failed (the others are still done); 2 for a usage or recipe error, found
before any file is touched; 130 after Ctrl-C, 143 after SIGTERM (see
`ostrel.signals`).
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import sys
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import IO, Any, Final, NoReturn

import ostrel
from ostrel.batch import BatchInterrupted, BatchReport, Tiling, default_jobs, run_batch
from ostrel.cli_checks import problem
from ostrel.errors import MissingDependencyError, OstrelError, RecipeError
from ostrel.limits import DEFAULT_MAX_PIXELS
from ostrel.memory import return_large_blocks
from ostrel.planning import Plan, plan_batch
from ostrel.presets import PRESETS, get_preset
from ostrel.progress import Progress, describe
from ostrel.recipe import Recipe, flag_layer, load_recipe
from ostrel.settings import SETTINGS
from ostrel.signals import StopSignals
from ostrel.terminal import safe_line
from ostrel.tiled import DEFAULT_TILE, TILED_THRESHOLD

EXIT_OK: Final = 0
EXIT_FAILED: Final = 1
EXIT_USAGE: Final = 2
EXIT_INTERRUPTED: Final = 130


class UsageError(Exception):
    """A mistake in the command line itself; reported with exit code 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"error: {message}\n  hint: run '{self.prog} --help' for the options\n")


class _Version(argparse.Action):
    """--version, looked up only when asked for."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: object) -> None:
        super().__init__(option_strings, dest, nargs=0, help=str(kwargs.get("help")))

    def __call__(self, parser: argparse.ArgumentParser, *_: object) -> NoReturn:
        print(f"ostrel {ostrel.__version__}")
        parser.exit(EXIT_OK)


def _recipe_flags(parser: argparse.ArgumentParser, *, output: bool = True) -> None:
    group = parser.add_argument_group("recipe (flags override --recipe, which overrides --preset)")
    group.add_argument("--preset", metavar="NAME", help=f"start from a preset: {', '.join(PRESETS)}")
    group.add_argument("--recipe", metavar="FILE.toml", help="a recipe file (see 'ostrel recipe')")
    step = group.add_mutually_exclusive_group()
    for declared in SETTINGS:
        if declared.flag is None or (not output and declared.section == "output"):
            continue
        where = step if declared.key in ("luminance.filter", "luminance.mixer") else group
        help_text = declared.flag_help().replace("%", "%%")  # argparse formats help with %
        where.add_argument(declared.flag, dest=declared.dest, metavar=declared.metavar, help=help_text)


def _flag_layer(args: argparse.Namespace) -> dict[str, Any]:
    given = {
        declared.key: getattr(args, declared.dest)
        for declared in SETTINGS
        if getattr(args, declared.dest, None) is not None
    }
    if "luminance.mixer" in given and "luminance.standard" in given:
        raise UsageError("--standard applies to a colour filter, not to --mixer")
    return flag_layer(given)


def effective_recipe(args: argparse.Namespace) -> Recipe:
    """Defaults, then the preset, then the recipe file, then the flags."""
    recipe = get_preset(args.preset).recipe if args.preset else Recipe()
    if args.recipe:
        recipe = load_recipe(args.recipe, base=recipe)
    try:
        layer = _flag_layer(args)
    except RecipeError as error:
        raise error.with_source("command line") from None
    return recipe.updated(layer, "command line")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="ostrel", description="Black-and-white prints from photo files.")
    parser.add_argument("--version", action=_Version, help="show the version and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    convert = commands.add_parser(
        "convert",
        help="convert photos into black-and-white prints",
        description="Convert photos into black-and-white prints, one or thousands.",
    )
    convert.add_argument("inputs", nargs="+", metavar="INPUT", help="photo files, folders or glob patterns")
    convert.add_argument("-o", "--output", required=True, metavar="OUTDIR", help="folder for the prints (created)")
    _recipe_flags(convert)
    run = convert.add_argument_group("batch")
    run.add_argument("-r", "--recursive", action="store_true", help="descend into folders, mirroring them in OUTDIR")
    run.add_argument(
        "-j",
        "--jobs",
        type=int,
        metavar="N",
        help=f"files in flight at once (default {default_jobs()}; 1 converts one at a time)",
    )
    run.add_argument("--skip-existing", action="store_true", help="leave prints that already exist alone")
    run.add_argument("--dry-run", action="store_true", help="say what would be done, write nothing")
    run.add_argument("-q", "--quiet", action="store_true", help="no progress bar: one line per file")
    run.add_argument(
        "-v", "--verbose", action="store_true", help="one line per file with its share of pure white and black"
    )
    scale = convert.add_argument_group("scale (the dask extra)")
    where = scale.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="run the batch on a Dask cluster, e.g. tcp://host:8786")
    where.add_argument("--cluster", type=int, metavar="N", help="start a local cluster of N worker processes")
    scale.add_argument(
        "--tiled",
        action="store_true",
        help=f"convert by tiles, as done by itself above {TILED_THRESHOLD // 1_000_000} megapixels",
    )
    scale.add_argument(
        "--tile-size",
        type=int,
        default=DEFAULT_TILE,
        metavar="N",
        help=f"tile edge in pixels for tiled conversion (default {DEFAULT_TILE})",
    )
    scale.add_argument(
        "--max-pixels",
        type=int,
        default=DEFAULT_MAX_PIXELS,
        metavar="N",
        help=f"refuse photos of more pixels than this (default {DEFAULT_MAX_PIXELS:_})",
    )

    commands.add_parser("presets", help="list the presets and their settings")

    recipe = commands.add_parser(
        "recipe",
        help="write the effective recipe as TOML",
        description="Write the effective recipe (defaults, preset, file, flags) as TOML.",
    )
    recipe.add_argument("--from", dest="from_print", metavar="PRINT", help="read the recipe stored in a print")
    _recipe_flags(recipe)

    sheet = commands.add_parser("sheet", help="a contact sheet of one photo through every preset")
    sheet.add_argument("input", metavar="INPUT", help="the photo")
    sheet.add_argument("-o", "--output", required=True, metavar="SHEET", help="the sheet to write (.jpg, .png, .tif)")
    sheet.add_argument("--presets", metavar="A,B,...", help="only these presets, in this order")
    sheet.add_argument("--tile", type=int, default=480, metavar="PX", help="tile size in pixels (default 480)")

    zones = commands.add_parser("zones", help="the photo's zone map (Zone System zones 0..X) with a legend")
    zones.add_argument("input", metavar="INPUT", help="the photo")
    zones.add_argument("-o", "--output", required=True, metavar="MAP", help="the map to write (.png, .jpg, .tif)")
    zones.add_argument(
        "--size",
        type=int,
        default=1600,
        metavar="PX",
        help="the map's longer side at most PX pixels (default 1600); a smaller photo keeps its size",
    )
    _recipe_flags(zones, output=False)

    studio = commands.add_parser(
        "studio",
        help="tune a print in the browser, then print the folder (the studio extra)",
        description="Serve a local page to tune a recipe on the photos and export their prints.",
    )
    studio.add_argument("inputs", nargs="*", metavar="INPUT", help="photo files, folders or glob patterns")
    studio.add_argument("--port", type=int, default=0, metavar="N", help="port to listen on (default: a free one)")
    studio.add_argument("--host", default="127.0.0.1", metavar="H", help="loopback address (127.0.0.1 or ::1)")
    studio.add_argument("--allow-remote", action="store_true", help="serve on another --host anyway (unsafe)")
    studio.add_argument("--no-browser", action="store_true", help="print the address, do not open a browser")
    return parser


def _print_plan(plan: Plan, out: IO[str], err: IO[str]) -> int:
    for made in plan.prints:
        print(f"would leave out {made}: an ostrel print (it carries a recipe stamp), not a photo", file=out)
    for outcome in plan.decided:
        line = describe(outcome)
        print(
            ("would have " + line) if outcome.status != "failed" else line,
            file=err if outcome.status == "failed" else out,
        )
    for job in plan.jobs:
        print(f"would convert {job.source} -> {job.target}", file=out)
    failed = sum(1 for outcome in plan.decided if outcome.status == "failed")
    skipped = len(plan.decided) - failed
    left_out = f"; {len(plan.prints)} ostrel prints left out" if plan.prints else ""
    print(f"dry run: would convert {len(plan.jobs)}, skip {skipped}; {failed} would fail{left_out}", file=out)
    return EXIT_FAILED if failed else EXIT_OK


def _convert(args: argparse.Namespace, out: IO[str], err: IO[str]) -> int:
    recipe = effective_recipe(args)
    if args.jobs is not None and args.jobs < 1:
        raise UsageError(f"-j/--jobs must be 1 or more, not {args.jobs}")
    if args.cluster is not None and args.cluster < 1:
        raise UsageError(f"--cluster needs 1 or more workers, not {args.cluster}")
    if args.tile_size < 64:
        raise UsageError(f"--tile-size must be at least 64 pixels, not {args.tile_size}")
    if args.max_pixels < 1:
        raise UsageError(f"--max-pixels must be 1 or more, not {args.max_pixels}")
    outdir = Path(args.output)
    if outdir.exists() and not outdir.is_dir():
        raise UsageError(f"the output {outdir} exists and is not a folder")
    plan = plan_batch(args.inputs, outdir, recipe.output, recursive=args.recursive, skip_existing=args.skip_existing)
    if args.dry_run:
        return _print_plan(plan, out, err)
    if plan.total == 0:
        left_out = f" ({len(plan.prints)} ostrel prints left out)" if plan.prints else ""
        print(f"warning: no photos found in the inputs{left_out}", file=err)
        return EXIT_OK
    if plan.jobs:
        try:
            outdir.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise UsageError(f"cannot create the output folder {outdir}: {error.strerror or error}") from None
    tiling = Tiling(force=True if args.tiled else None, tile=args.tile_size, max_pixels=args.max_pixels)
    signals = StopSignals()
    stopped: BatchInterrupted | None = None
    report: BatchReport | None = None
    with signals.catching(), contextlib.ExitStack() as stack:
        try:
            client = None
            if args.scheduler or args.cluster:
                client = stack.enter_context(_cluster(args))
            progress = stack.enter_context(contextlib.closing(_progress(plan.total, args, out, err)))
            text = recipe.to_toml()
            report = run_batch(
                plan, recipe, jobs=args.jobs, on_outcome=progress, recipe_text=text, tiling=tiling, client=client
            )
        except BatchInterrupted as interrupted:
            stopped = interrupted
        except KeyboardInterrupt:  # before the batch began
            print("interrupted", file=err)
            return signals.exit_code()
    if stopped is not None:
        # The cluster (if any) has stopped: count what reached the disc.
        print(stopped.recount().summary(), file=out)
        return signals.exit_code()
    assert report is not None
    print(report.summary(), file=out)
    return EXIT_FAILED if report.failed else EXIT_OK


def _progress(total: int, args: argparse.Namespace, out: IO[str], err: IO[str]) -> Progress:
    bar = err.isatty() and not (args.quiet or args.verbose)
    return Progress(total, bar=bar, out=out, err=err, verbose=args.verbose)


@contextlib.contextmanager
def _cluster(args: argparse.Namespace) -> Iterator[Any]:
    from ostrel.distributed import cluster_client

    try:
        with cluster_client(scheduler=args.scheduler, workers=args.cluster) as client:
            yield client
    except OSError as error:  # no scheduler at that address, or it timed out
        raise UsageError(f"cannot reach the Dask scheduler {args.scheduler}: {error}") from None


def _presets(out: IO[str]) -> int:
    width = max(len(name) for name in PRESETS) + 2
    for preset in PRESETS.values():
        print(f"{preset.name:<{width}}{preset.description}", file=out)
        print(f"{'':<{width}}{preset.recipe.describe()}", file=out)
    return EXIT_OK


def _recipe(args: argparse.Namespace, out: IO[str]) -> int:
    if args.from_print:
        from ostrel.stamp import read_recipe

        recipe = read_recipe(args.from_print)
        out.write(recipe.to_toml(f"read from {args.from_print}", full=True))
        return EXIT_OK
    recipe = effective_recipe(args)
    out.write(recipe.to_toml(f"preset {args.preset}" if args.preset else None, full=True))
    return EXIT_OK


def _sheet(args: argparse.Namespace, out: IO[str]) -> int:
    from ostrel.preview import contact_sheet

    names = [name for name in (args.presets or "").split(",") if name.strip()] or list(PRESETS)
    presets = [get_preset(name) for name in names]
    if args.tile < 16:
        raise UsageError(f"--tile must be at least 16 pixels, not {args.tile}")
    written = contact_sheet(args.input, args.output, presets, tile_size=args.tile)
    print(f"wrote {written} ({len(presets)} presets)", file=out)
    return EXIT_OK


def _zones(args: argparse.Namespace, out: IO[str]) -> int:
    from ostrel.preview import zone_map

    if args.size < 16:
        raise UsageError(f"--size must be at least 16 pixels, not {args.size}")
    written = zone_map(args.input, args.output, effective_recipe(args), max_size=args.size)
    print(f"wrote {written}", file=out)
    return EXIT_OK


def _studio(args: argparse.Namespace, out: IO[str], err: IO[str]) -> int:
    try:
        from ostrel.studio import StudioError
        from ostrel.studio.server import run_studio
    except ImportError as error:
        raise MissingDependencyError(error.name or "starlette", "studio", "the studio") from None
    if not 0 <= args.port <= 65535:
        raise UsageError(f"--port must be 0..65535, not {args.port}")
    options = {"host": args.host, "port": args.port, "allow_remote": args.allow_remote}
    try:
        return run_studio(args.inputs, **options, open_browser=not args.no_browser, out=out, err=err)
    except StudioError as error:  # a host it must not serve on, a port it cannot have
        raise UsageError(str(error)) from None


def main(argv: Sequence[str] | None = None, *, out: IO[str] | None = None, err: IO[str] | None = None) -> int:
    """Runs the command line; returns the exit code."""
    out = out or sys.stdout
    err = err or sys.stderr
    return_large_blocks()
    # libvips's warnings say nothing a file's own reason does not (ostrel.vipslog).
    os.environ.setdefault("VIPS_WARNING", "1")
    for stream in (out, err):
        # File names need not be valid UTF-8; print their odd bytes as escapes.
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(errors="backslashreplace")
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        if args.command and (mistake := problem(args)):
            raise UsageError(mistake)
        if args.command == "convert":
            return _convert(args, out, err)
        if args.command == "presets":
            return _presets(out)
        if args.command == "recipe":
            return _recipe(args, out)
        if args.command == "sheet":
            return _sheet(args, out)
        if args.command == "zones":
            return _zones(args, out)
        if args.command == "studio":
            return _studio(args, out, err)
        parser.print_help(out)
        return EXIT_USAGE
    except (UsageError, RecipeError, MissingDependencyError) as error:
        print(safe_line(f"error: {error}"), file=err)
        return EXIT_USAGE
    except OstrelError as error:  # a preview's single file could not be read or written
        print(safe_line(f"error: {error}"), file=err)
        return EXIT_FAILED
    except KeyboardInterrupt:
        print("interrupted", file=err)
        return EXIT_INTERRUPTED


def run() -> None:
    """Console-script entry point."""
    try:
        sys.exit(main())
    except BrokenPipeError:  # `ostrel presets | head`
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        sys.exit(EXIT_OK)

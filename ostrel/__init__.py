"""ostrel: black-and-white prints from photo files, one or thousands.

The library in five calls::

    import ostrel

    recipe = ostrel.get_preset("red").recipe              # or ostrel.Recipe(), ostrel.load_recipe("my.toml")
    photo = ostrel.read_photo("photo.jpg")                 # scene-linear RGB + metadata
    plane = ostrel.render(photo, recipe)                   # the print, display-referred, (H, W, 1)
    ostrel.write_print(plane, "print.tif", recipe.output, metadata=photo.metadata)
    report = ostrel.convert_files(["photos/"], "prints/", recipe)   # many, in parallel

Prints as objects (`make_print`), bytes and file objects in and out, and
conversions to and from Pillow images and 8/16-bit sRGB arrays are in the
README's library section.

The numerical kernels are those of `ostrel_core`; decoding, colour management
and encoding go through libvips (the ``tool`` extra), camera RAW files through
LibRaw (the ``raw`` extra).
"""

from __future__ import annotations

# A build directory on sys.path adds its ostrel/ (the extension ostrel._darkroom) to the package.
__path__ = __import__("pkgutil").extend_path(__path__, __name__)

from ostrel.batch import BatchReport, convert_file, convert_files, run_batch
from ostrel.conversions import from_pil, from_srgb_array, print_codes, print_to_pil, to_pil, to_srgb_array
from ostrel.errors import MissingDependencyError, OstrelError, PhotoReadError, PrintWriteError, RecipeError
from ostrel.planning import Outcome, plan_batch
from ostrel.presets import PRESETS, Preset, get_preset
from ostrel.printed import is_ostrel_print
from ostrel.prints import Print, make_print
from ostrel.reading import Metadata, Photo, read_image, read_photo
from ostrel.recipe import Exposure, FilterStep, LocalContrast, MixerStep, Output, PrintCurve, Recipe, load_recipe
from ostrel.rendering import render
from ostrel.stamp import read_recipe
from ostrel.writing import print_bytes, write_print


def __getattr__(name: str) -> str:
    # The version is looked up on first use: importlib.metadata costs more to
    # import than the rest of the package, and the command line starts often.
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError, version

        try:
            return version("ostrel_core")
        except PackageNotFoundError:  # running from a source tree
            return "0+unknown"
    raise AttributeError(f"module 'ostrel' has no attribute {name!r}")


__all__ = [
    "PRESETS",
    "BatchReport",
    "Exposure",
    "FilterStep",
    "LocalContrast",
    "Metadata",
    "MissingDependencyError",
    "MixerStep",
    "OstrelError",
    "Outcome",
    "Output",
    "Photo",
    "PhotoReadError",
    "Preset",
    "Print",
    "PrintCurve",
    "PrintWriteError",
    "Recipe",
    "RecipeError",
    "__version__",
    "convert_file",
    "convert_files",
    "from_pil",
    "from_srgb_array",
    "get_preset",
    "is_ostrel_print",
    "load_recipe",
    "make_print",
    "plan_batch",
    "print_bytes",
    "print_codes",
    "print_to_pil",
    "read_image",
    "read_photo",
    "read_recipe",
    "render",
    "run_batch",
    "to_pil",
    "to_srgb_array",
    "write_print",
]

"""Recipes: every setting of the black-and-white pipeline in one value.

A `Recipe` holds the luminance step (a colour filter in front of an ITU-R
standard, or free channel-mixer weights), the Zone System offsets, the local
contrast and the output file settings. It is read from and written to TOML::

    [luminance]
    filter = "Yellow8K2"        # or: mixer = [0.6, 0.5, -0.1]
    standard = "Bt709"

    [zones]                     # zone (0..10) = offset in stops
    2 = -0.3
    8 = 0.3

    [local_contrast]
    radius = 16                 # pixels; the window is (2r+1) x (2r+1)
    eps = 0.01
    strength = 0.5              # 0 leaves local contrast out

    [output]
    format = "tiff"             # tiff, png or jpeg
    bits = 16                   # 8 or 16 (JPEG is always 8)
    compression = "none"        # TIFF: none, deflate or lzw
    quality = 92                # JPEG: 1..100

Settings come in layers: `Recipe.updated` lays a partial table of the same
shape over a recipe. Within a layer, `filter`/`standard` or `mixer` replaces the
whole luminance step, the `zones` table replaces the whole zone table, and the
keys of `local_contrast` and `output` replace one value each. Every value is
checked before any work starts; a bad one raises `RecipeError` naming the key.
"""

from __future__ import annotations

import math
import tomllib
import types
from collections.abc import Mapping
from dataclasses import dataclass, field, replace
from typing import Any, Final

from ostrel.errors import MissingDependencyError, RecipeError
from ostrel.limits import LimitError, check_number, check_toml_items, check_toml_shape, read_recipe_text

FILTERS: Final = ("NoFilter", "Yellow8K2", "Orange21", "Red25A", "Green11X1", "Blue47C5")
FILTER_ALIASES: Final = {
    "none": "NoFilter",
    "yellow": "Yellow8K2",
    "orange": "Orange21",
    "red": "Red25A",
    "green": "Green11X1",
    "blue": "Blue47C5",
}
STANDARDS: Final = ("Bt601", "Bt709", "Bt2020")
FORMATS: Final = ("tiff", "png", "jpeg")
FORMAT_ALIASES: Final = {"tif": "tiff", "jpg": "jpeg"}
EXTENSIONS: Final = {"tiff": ".tif", "png": ".png", "jpeg": ".jpg"}
COMPRESSIONS: Final = ("none", "deflate", "lzw")
ZONES: Final = range(11)
RECIPE_HEADER: Final = "# ostrel recipe"

# The guided filter's radius is an unsigned 32-bit value in the kernel; a window
# wider than any image this side of a gigapixel is a typing mistake, not a wish.
MAX_RADIUS: Final = 100_000


def _choice(key: str, value: object, choices: tuple[str, ...], aliases: Mapping[str, str] | None = None) -> str:
    """The canonical spelling of `value` among `choices`, case-insensitively."""
    if not isinstance(value, str):
        raise RecipeError(key, value, f"expected a name, one of {', '.join(choices)}")
    folded = value.strip().casefold()
    for choice in choices:
        if choice.casefold() == folded:
            return choice
    if aliases and folded in aliases:
        return aliases[folded]
    names = list(choices) + sorted(aliases or ())
    raise RecipeError(key, value, f"unknown name; choose one of {', '.join(names)}")


def _number(key: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise RecipeError(key, value, "expected a number")
    number = float(value)
    if not math.isfinite(number):
        raise RecipeError(key, value, "expected a finite number")
    try:
        return check_number(key, number)
    except LimitError as error:
        raise RecipeError(key, value, error.reason) from None


def _integer(key: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise RecipeError(key, value, "expected a whole number")
    return value


def _table(key: str, value: object) -> Mapping[str, object]:
    if not isinstance(value, Mapping):
        raise RecipeError(key, value, "expected a table")
    return value


def _reject_unknown(section: str, table: Mapping[str, object], known: tuple[str, ...]) -> None:
    for name in table:
        if name not in known:
            dotted = f"{section}.{name}" if section else name
            raise RecipeError(dotted, table[name], f"unknown setting; known here: {', '.join(known)}")


@dataclass(frozen=True)
class FilterStep:
    """Luminance through a simulated colour filter, weighted by an ITU-R standard."""

    filter: str = "NoFilter"
    standard: str = "Bt709"

    def __post_init__(self) -> None:
        object.__setattr__(self, "filter", _choice("luminance.filter", self.filter, FILTERS, FILTER_ALIASES))
        object.__setattr__(self, "standard", _choice("luminance.standard", self.standard, STANDARDS))

    def describe(self) -> str:
        name = "no filter" if self.filter == "NoFilter" else f"filter {self.filter}"
        return f"{name}, {self.standard}"


@dataclass(frozen=True)
class MixerStep:
    """Luminance as free weights of the red, green and blue channels."""

    red: float
    green: float
    blue: float

    def __post_init__(self) -> None:
        for name in ("red", "green", "blue"):
            object.__setattr__(self, name, _number(f"luminance.mixer.{name}", getattr(self, name)))

    @property
    def weights(self) -> tuple[float, float, float]:
        return (self.red, self.green, self.blue)

    def describe(self) -> str:
        return "mixer " + ", ".join(f"{w:g}" for w in self.weights)


@dataclass(frozen=True)
class LocalContrast:
    """The detail a guided filter of this radius and eps removes, added back times `strength`."""

    radius: int = 16
    eps: float = 0.01
    strength: float = 0.5

    def __post_init__(self) -> None:
        radius = _integer("local_contrast.radius", self.radius)
        if not 0 <= radius <= MAX_RADIUS:
            raise RecipeError("local_contrast.radius", radius, f"expected 0..{MAX_RADIUS} pixels")
        eps = _number("local_contrast.eps", self.eps)
        if eps <= 0:
            raise RecipeError("local_contrast.eps", self.eps, "expected a number above 0")
        object.__setattr__(self, "eps", eps)
        object.__setattr__(self, "strength", _number("local_contrast.strength", self.strength))

    @property
    def enabled(self) -> bool:
        return self.strength != 0

    def describe(self) -> str:
        if not self.enabled:
            return "no local contrast"
        return f"local contrast radius {self.radius}, eps {self.eps:g}, strength {self.strength:g}"


@dataclass(frozen=True)
class Output:
    """How the print is written: format, sample depth, TIFF compression, JPEG quality."""

    format: str = "tiff"
    bits: int = 16
    compression: str = "none"
    quality: int = 92

    def __post_init__(self) -> None:
        object.__setattr__(self, "format", _choice("output.format", self.format, FORMATS, FORMAT_ALIASES))
        bits = _integer("output.bits", self.bits)
        if bits not in (8, 16):
            raise RecipeError("output.bits", bits, "expected 8 or 16")
        if self.format == "jpeg" and bits != 8:
            raise RecipeError("output.bits", bits, "JPEG is always 8-bit; choose tiff or png for 16-bit prints")
        object.__setattr__(self, "compression", _choice("output.compression", self.compression, COMPRESSIONS))
        quality = _integer("output.quality", self.quality)
        if not 1 <= quality <= 100:
            raise RecipeError("output.quality", quality, "expected 1..100")

    @property
    def extension(self) -> str:
        return EXTENSIONS[self.format]

    def describe(self) -> str:
        text = f"{self.bits}-bit {self.format.upper()}"
        if self.format == "tiff" and self.compression != "none":
            text += f", {self.compression}"
        if self.format == "jpeg":
            text += f", quality {self.quality}"
        return text


def _zone_table(key: str, zones: Mapping[Any, object]) -> Mapping[int, float]:
    table: dict[int, float] = {}
    for zone, stops in zones.items():
        name = f"{key}.{zone}"
        try:
            index = int(zone) if isinstance(zone, str) else _integer(name, zone)
        except ValueError:
            raise RecipeError(name, stops, "a zone is a whole number 0..10") from None
        if index not in ZONES:
            raise RecipeError(name, stops, f"zone {index} is outside 0..10")
        table[index] = _number(name, stops)
    return types.MappingProxyType(dict(sorted(table.items())))


DEFAULT_ZONES: Final = types.MappingProxyType({2: -0.2, 3: -0.1, 7: 0.1, 8: 0.2})

ROMAN: Final = ("0", "I", "II", "III", "IV", "V", "VI", "VII", "VIII", "IX", "X")


@dataclass(frozen=True)
class Recipe:
    """Every setting of a print; the default runs all four steps."""

    luminance: FilterStep | MixerStep = field(default_factory=FilterStep)
    zones: Mapping[int, float] = DEFAULT_ZONES
    local_contrast: LocalContrast = field(default_factory=LocalContrast)
    output: Output = field(default_factory=Output)

    def __post_init__(self) -> None:
        if not isinstance(self.luminance, (FilterStep, MixerStep)):
            raise RecipeError("luminance", self.luminance, "expected a FilterStep or a MixerStep")
        if not isinstance(self.zones, Mapping):
            raise RecipeError("zones", self.zones, "expected a mapping of zone to stops")
        object.__setattr__(self, "zones", _zone_table("zones", self.zones))
        if not isinstance(self.local_contrast, LocalContrast):
            raise RecipeError("local_contrast", self.local_contrast, "expected a LocalContrast")
        if not isinstance(self.output, Output):
            raise RecipeError("output", self.output, "expected an Output")

    def __reduce__(self) -> tuple[type[Recipe], tuple[object, ...]]:
        # The zone table is a read-only mapping proxy, which does not pickle;
        # batches on a cluster send recipes to their workers.
        return (Recipe, (self.luminance, dict(self.zones), self.local_contrast, self.output))

    # -- layers ---------------------------------------------------------------

    def updated(self, layer: Mapping[str, object], source: str | None = None) -> Recipe:
        """This recipe with a partial, TOML-shaped table of settings laid over it."""
        try:
            return self._updated(layer)
        except RecipeError as error:
            raise (error.with_source(source) if source else error) from None

    def _updated(self, layer: Mapping[str, object]) -> Recipe:
        _reject_unknown("", layer, ("luminance", "zones", "local_contrast", "output"))
        recipe = self
        if "luminance" in layer:
            recipe = replace(recipe, luminance=self._luminance(_table("luminance", layer["luminance"])))
        if "zones" in layer:
            recipe = replace(recipe, zones=_zone_table("zones", _table("zones", layer["zones"])))
        if "local_contrast" in layer:
            table = _table("local_contrast", layer["local_contrast"])
            _reject_unknown("local_contrast", table, ("radius", "eps", "strength"))
            recipe = replace(recipe, local_contrast=replace(recipe.local_contrast, **table))  # type: ignore[arg-type]
        if "output" in layer:
            table = dict(_table("output", layer["output"]))
            _reject_unknown("output", table, ("format", "bits", "compression", "quality"))
            if "format" in table and "bits" not in table:
                # A layer that asks for JPEG asks for its one depth.
                fmt = _choice("output.format", table["format"], FORMATS, FORMAT_ALIASES)
                table["bits"] = 8 if fmt == "jpeg" else recipe.output.bits
            recipe = replace(recipe, output=replace(recipe.output, **table))  # type: ignore[arg-type]
        return recipe

    def _luminance(self, table: Mapping[str, object]) -> FilterStep | MixerStep:
        _reject_unknown("luminance", table, ("filter", "standard", "mixer"))
        if "mixer" in table:
            if "filter" in table or "standard" in table:
                raise RecipeError("luminance.mixer", table["mixer"], "a mixer replaces the filter and standard")
            weights = table["mixer"]
            if not isinstance(weights, (list, tuple)) or len(weights) != 3:
                raise RecipeError("luminance.mixer", weights, "expected three weights [red, green, blue]")
            return MixerStep(*(_number("luminance.mixer", w) for w in weights))
        base = self.luminance if isinstance(self.luminance, FilterStep) else FilterStep()
        return replace(base, **table)  # type: ignore[arg-type]

    # -- TOML -----------------------------------------------------------------

    def to_dict(self) -> dict[str, dict[str, object]]:
        luminance: dict[str, object]
        if isinstance(self.luminance, MixerStep):
            luminance = {"mixer": list(self.luminance.weights)}
        else:
            luminance = {"filter": self.luminance.filter, "standard": self.luminance.standard}
        return {
            "luminance": luminance,
            "zones": {str(zone): stops for zone, stops in self.zones.items()},
            "local_contrast": {
                "radius": self.local_contrast.radius,
                "eps": self.local_contrast.eps,
                "strength": self.local_contrast.strength,
            },
            "output": {
                "format": self.output.format,
                "bits": self.output.bits,
                "compression": self.output.compression,
                "quality": self.output.quality,
            },
        }

    def to_toml(self, comment: str | None = None) -> str:
        """The whole recipe as TOML, headed by a comment line that marks it as ours."""
        try:
            import tomli_w
        except ImportError as error:
            raise MissingDependencyError("tomli-w", "tool", "writing recipes") from error
        header = RECIPE_HEADER + (f" ({comment})" if comment else "")
        return header + "\n\n" + tomli_w.dumps(self.to_dict())

    @classmethod
    def from_toml(cls, text: str, source: str | None = None, base: Recipe | None = None) -> Recipe:
        """Reads TOML text; missing settings keep the values of `base` (the defaults)."""
        try:
            check_toml_shape(text)
            layer = tomllib.loads(text)
            check_toml_items(layer)
        except LimitError as error:
            raise RecipeError("recipe", error.value, error.reason, source) from None
        except RecursionError:
            raise RecipeError("recipe", (source or "text"), "nested too deeply to be a recipe", source) from None
        except tomllib.TOMLDecodeError as error:
            raise RecipeError("recipe", (source or "text"), f"not valid TOML: {error}", source) from None
        return (base or cls()).updated(layer, source)

    def describe(self) -> str:
        """One line for listings: the four steps in order."""
        zones = ", ".join(f"{ROMAN[z]} {s:+g}" for z, s in self.zones.items()) or "none"
        return f"{self.luminance.describe()}; zones {zones}; {self.local_contrast.describe()}"


def load_recipe(path: str, base: Recipe | None = None) -> Recipe:
    """Reads a recipe file; settings it leaves out keep the values of `base`."""
    try:
        text = read_recipe_text(path)
    except LimitError as error:
        raise RecipeError("recipe", path, error.reason) from None
    except OSError as error:
        raise RecipeError("recipe", path, f"cannot read it: {error.strerror or error}") from None
    except UnicodeDecodeError:
        raise RecipeError("recipe", path, "not a UTF-8 text file") from None
    return Recipe.from_toml(text, path, base)


def parse_zones(text: str, key: str = "--zones") -> dict[str, float]:
    """'3=-0.3,7=0.2' as a TOML-shaped zone table; '' or 'none' is the empty table."""
    table: dict[str, float] = {}
    if text.strip().casefold() in ("", "none"):
        return table
    for item in text.split(","):
        zone, sep, stops = item.partition("=")
        if not sep:
            raise RecipeError(key, item.strip(), "expected ZONE=STOPS, for example 3=-0.3")
        try:
            value = float(stops)
        except ValueError:
            raise RecipeError(f"{key} {zone.strip()}", stops.strip(), "expected a number of stops") from None
        table[zone.strip()] = value
    _zone_table(key, table)
    return table


def parse_mixer(text: str, key: str = "--mixer") -> list[float]:
    """'0.6,0.5,-0.1' as three weights."""
    parts = text.split(",")
    if len(parts) != 3:
        raise RecipeError(key, text, "expected three weights R,G,B, for example 0.6,0.5,-0.1")
    try:
        weights = [float(part) for part in parts]
    except ValueError:
        raise RecipeError(key, text, "expected three numbers R,G,B") from None
    for weight in weights:
        _number(key, weight)
    return weights

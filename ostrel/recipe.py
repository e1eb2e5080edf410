"""Recipes: every setting of the black-and-white pipeline in one value.

A `Recipe` holds the luminance step (a colour filter in front of an ITU-R
standard, or free channel-mixer weights), the exposure, the Zone System
offsets, the local contrast, the print (paper) curve and the output file
settings. Every setting is declared once in `ostrel.settings`; this module
gives them a typed shape and reads and writes them as TOML (`ostrel recipe`
shows the whole commented file).

Settings come in layers: `Recipe.updated` lays a partial table of the same
shape over a recipe. Within a layer, `filter`/`standard` or `mixer` replaces the
whole luminance step, the `zones` table replaces the whole zone table, and the
other keys replace one value each. Every value is checked before any work
starts; a bad one raises `RecipeError` naming the key.
"""

from __future__ import annotations

import json
import math
import tomllib
import types
from collections.abc import Mapping
from dataclasses import dataclass, field, fields, replace
from typing import Any, Final

from ostrel.errors import RecipeError
from ostrel.limits import LimitError, check_toml_items, check_toml_shape, read_recipe_text
from ostrel.settings import (
    AUTO,
    BY_KEY,
    COMPRESSIONS,
    DEFAULT_ZONES,
    FILTER_ALIASES,
    FILTERS,
    FORMATS,
    GRAIN_FORMATS,
    MAX_BANDS_RADIUS,
    OPTIONAL_SECTIONS,
    SECTIONS,
    STANDARDS,
    ZONES,
    Setting,
    in_section,
)

__all__ = [
    "COMPRESSIONS",
    "DEFAULT_ZONES",
    "EXTENSIONS",
    "FILTERS",
    "FILTER_ALIASES",
    "FORMATS",
    "RECIPE_HEADER",
    "ROMAN",
    "STANDARDS",
    "ZONES",
    "Bands",
    "Exposure",
    "Film",
    "FilterStep",
    "Grain",
    "LocalContrast",
    "MixerStep",
    "Output",
    "PrintCurve",
    "Recipe",
    "Toning",
    "Vignette",
    "load_recipe",
]

EXTENSIONS: Final = {"tiff": ".tif", "png": ".png", "jpeg": ".jpg"}
RECIPE_HEADER: Final = "# ostrel recipe"
ROMAN: Final = ("0", "I", "II", "III", "IV", "V", "VI", "VII", "VIII", "IX", "X")


def _checked(section: object, prefix: str) -> None:
    """Runs every field of a section dataclass through its declared setting, in place."""
    for item in fields(section):  # type: ignore[arg-type]
        declared = BY_KEY[f"{prefix}.{item.name}"]
        object.__setattr__(section, item.name, declared.check(getattr(section, item.name)))


@dataclass(frozen=True)
class FilterStep:
    """Luminance through a simulated colour filter, weighted by an ITU-R standard."""

    filter: str = "NoFilter"
    standard: str = "Bt709"

    def __post_init__(self) -> None:
        _checked(self, "luminance")

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
        weights = BY_KEY["luminance.mixer"].check([self.red, self.green, self.blue])
        for name, weight in zip(("red", "green", "blue"), weights, strict=True):  # type: ignore[call-overload]
            object.__setattr__(self, name, weight)

    @property
    def weights(self) -> tuple[float, float, float]:
        return (self.red, self.green, self.blue)

    def describe(self) -> str:
        return "mixer " + ", ".join(f"{w:g}" for w in self.weights)


@dataclass(frozen=True)
class Film:
    """A film stock whose published spectral response replaces the luminance weights (`ostrel.films`)."""

    stock: str = "none"

    def __post_init__(self) -> None:
        _checked(self, "film")

    @property
    def enabled(self) -> bool:
        return self.stock != "none"

    def describe(self) -> str:
        return f"film {self.stock}" if self.enabled else "no film"


@dataclass(frozen=True)
class Exposure:
    """Exposure compensation in stops, and how the photo is metered first."""

    stops: float = 0.0
    meter: str = "camera"

    def __post_init__(self) -> None:
        _checked(self, "exposure")

    def describe(self) -> str:
        meter = "" if self.meter == "camera" else f", meter {self.meter}"
        return f"exposure {self.stops:+g}{meter}" if self.stops or meter else "exposure as shot"


@dataclass(frozen=True)
class Bands:
    """Colours lightened or darkened in the grey print by their hue, eight bands of offsets in stops.

    `radius` smooths the offsets (pixels, or a share of the long edge, as
    `LocalContrast.radius`), so hue noise and JPEG blocks do not show.
    """

    red: float = 0.0
    orange: float = 0.0
    yellow: float = 0.0
    green: float = 0.0
    aqua: float = 0.0
    blue: float = 0.0
    purple: float = 0.0
    magenta: float = 0.0
    radius: int | str = "0.25%"

    def __post_init__(self) -> None:
        _checked(self, "bands")

    @property
    def offsets(self) -> tuple[float, float, float, float, float, float, float, float]:
        """The eight offsets, red to magenta."""
        return (self.red, self.orange, self.yellow, self.green, self.aqua, self.blue, self.purple, self.magenta)

    @property
    def enabled(self) -> bool:
        return any(self.offsets)

    def pixels(self, height: int, width: int, *, scale: float = 1.0) -> int:
        """The smoothing radius in pixels for an image of this size (as `LocalContrast.pixels`), at most 2048."""
        if isinstance(self.radius, str):
            share = float(self.radius.rstrip("%")) / 100.0
            pixels = round(share * max(height, width))
            return min(MAX_BANDS_RADIUS, max(1, pixels) if share else 0)
        return self.radius if scale == 1.0 or not self.radius else max(1, round(self.radius * scale))

    def describe(self) -> str:
        if not self.enabled:
            return "no colour bands"
        names = ("red", "orange", "yellow", "green", "aqua", "blue", "purple", "magenta")
        moved = ", ".join(f"{name} {stops:+g}" for name, stops in zip(names, self.offsets, strict=True) if stops)
        return f"colour bands {moved} (radius {self.radius})"


@dataclass(frozen=True)
class Vignette:
    """Edges burnt (negative stops) or dodged towards the corners, relative to the image's size."""

    stops: float = 0.0
    midpoint: float = 0.75
    feather: float = 0.5

    def __post_init__(self) -> None:
        _checked(self, "vignette")

    @property
    def enabled(self) -> bool:
        return self.stops != 0

    def describe(self) -> str:
        if not self.enabled:
            return "no edge burning"
        verb = "burnt" if self.stops < 0 else "dodged"
        return f"edges {verb} {abs(self.stops):g} stops, midpoint {self.midpoint:g}, feather {self.feather:g}"


@dataclass(frozen=True)
class Grain:
    """Film grain over the print, at the size a film of this granularity and format gives it."""

    strength: float = 0.0
    granularity: float = 12.0
    format: str = "35mm"
    seed: int = 0

    def __post_init__(self) -> None:
        _checked(self, "grain")

    @property
    def enabled(self) -> bool:
        return self.strength != 0

    def pitch_um(self, height: int, width: int) -> float:
        """Micrometres of film per pixel of a whole photo of this size (its long edge across the format's)."""
        return GRAIN_FORMATS[self.format] * 1000.0 / max(height, width, 1)

    def describe(self) -> str:
        if not self.enabled:
            return "no grain"
        return f"grain {self.strength:g} x granularity {self.granularity:g} on {self.format}"


@dataclass(frozen=True)
class LocalContrast:
    """The detail a guided filter of this radius and eps removes, added back times `strength`.

    `radius` is whole pixels, or a share of the image's long edge ("0.4%"),
    which prints a reduced copy like the reduced print of the original.
    """

    radius: int | str = "0.4%"
    eps: float = 0.01
    strength: float = 0.5

    def __post_init__(self) -> None:
        _checked(self, "local_contrast")

    @property
    def enabled(self) -> bool:
        return self.strength != 0 and self.radius not in (0, "0%")

    @property
    def relative(self) -> bool:
        return isinstance(self.radius, str)

    def pixels(self, height: int, width: int, *, scale: float = 1.0) -> int:
        """The radius in pixels for an image of this size.

        A share of the long edge follows the image; a radius in pixels is
        multiplied by `scale` (below 1 for a reduced copy of the photo).
        """
        if isinstance(self.radius, str):
            share = float(self.radius.rstrip("%")) / 100.0
            return max(1, round(share * max(height, width)))
        return self.radius if scale == 1.0 else max(1, round(self.radius * scale))

    def describe(self) -> str:
        if not self.enabled:
            return "no local contrast"
        return f"local contrast radius {self.radius}, eps {self.eps:g}, strength {self.strength:g}"


@dataclass(frozen=True)
class PrintCurve:
    """How scene luminance becomes print tone: the paper's white and black points, shoulder and toe."""

    curve: str = "paper"
    white: float | str = AUTO
    black: float | str = AUTO
    shoulder: float = 0.5
    toe: float = 0.5

    def __post_init__(self) -> None:
        _checked(self, "print")

    def describe(self) -> str:
        if self.curve == "clip":
            return "print clipped"
        points = [
            f"{name} {value if value == AUTO else format(value, '+g')}"
            for name, value in (("white", self.white), ("black", self.black))
            if value != AUTO
        ]
        return ", ".join([f"paper shoulder {self.shoulder:g}", *points])


@dataclass(frozen=True)
class Toning:
    """A chemical toner's look on the grey print: colour at the same luminance (`ostrel.toning`)."""

    toner: str = "none"
    strength: float = 1.0
    highlight_hue: float = 45.0
    shadow_hue: float = 220.0
    balance: float = 0.0

    def __post_init__(self) -> None:
        _checked(self, "toning")

    @property
    def enabled(self) -> bool:
        """Whether the print is RGB (any toner, even at strength 0) rather than one grey channel."""
        return self.toner != "none"

    def describe(self) -> str:
        if not self.enabled:
            return "untoned"
        name = f"split toned {self.highlight_hue:g}/{self.shadow_hue:g}" if self.toner == "split" else self.toner
        balance = f", balance {self.balance:+g}" if self.balance else ""
        return f"{name} toned, strength {self.strength:g}{balance}"


@dataclass(frozen=True)
class Output:
    """How the print is written: format, sample depth, TIFF compression, JPEG quality."""

    format: str = "tiff"
    bits: int = 16
    compression: str = "none"
    quality: int = 92

    def __post_init__(self) -> None:
        _checked(self, "output")
        if self.format == "jpeg" and self.bits != 8:
            raise RecipeError("output.bits", self.bits, "JPEG is always 8-bit; choose tiff or png for 16-bit prints")
        if self.compression != "none" and self.format != "tiff":
            raise RecipeError(
                "output.compression", self.compression, f"only TIFF prints are compressed, not {self.format}"
            )

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


_SECTION_TYPES: Final[Mapping[str, type]] = {
    "film": Film,
    "bands": Bands,
    "exposure": Exposure,
    "vignette": Vignette,
    "local_contrast": LocalContrast,
    "print": PrintCurve,
    "grain": Grain,
    "toning": Toning,
    "output": Output,
}
_ATTRIBUTES: Final = {"print": "print_curve"}


def _table(key: str, value: object) -> Mapping[str, object]:
    if not isinstance(value, Mapping):
        raise RecipeError(key, value, "expected a table")
    return value


def _reject_unknown(section: str, table: Mapping[str, object], known: tuple[str, ...]) -> None:
    for name in table:
        if name not in known:
            dotted = f"{section}.{name}" if section else name
            shown = table[name]
            if isinstance(shown, Mapping) and len(shown) > 8:
                shown = f"a table of {len(shown)} keys"
            raise RecipeError(dotted, shown, f"unknown setting; known here: {', '.join(known)}")


@dataclass(frozen=True)
class Recipe:
    """Every setting of a print; the default runs every step."""

    luminance: FilterStep | MixerStep = field(default_factory=FilterStep)
    exposure: Exposure = field(default_factory=Exposure)
    zones: Mapping[int, float] = types.MappingProxyType(dict(DEFAULT_ZONES))
    local_contrast: LocalContrast = field(default_factory=LocalContrast)
    print_curve: PrintCurve = field(default_factory=PrintCurve)
    output: Output = field(default_factory=Output)
    toning: Toning = field(default_factory=Toning)
    vignette: Vignette = field(default_factory=Vignette)
    film: Film = field(default_factory=Film)
    grain: Grain = field(default_factory=Grain)
    bands: Bands = field(default_factory=Bands)

    def __post_init__(self) -> None:
        if not isinstance(self.luminance, (FilterStep, MixerStep)):
            raise RecipeError("luminance", self.luminance, "expected a FilterStep or a MixerStep")
        if isinstance(self.film, Film) and self.film.enabled and isinstance(self.luminance, MixerStep):
            raise RecipeError(
                "film.stock",
                self.film.stock,
                "a film's response replaces the mixer's weights; remove luminance.mixer, or set film.stock to none",
            )
        object.__setattr__(self, "zones", types.MappingProxyType(BY_KEY["zones"].check(self.zones)))  # type: ignore[arg-type]
        for section, kind in _SECTION_TYPES.items():
            value = getattr(self, _ATTRIBUTES.get(section, section))
            if not isinstance(value, kind):
                raise RecipeError(section, value, f"expected {kind.__name__}")

    def __reduce__(self) -> tuple[type[Recipe], tuple[object, ...]]:
        # The zone table is a read-only mapping proxy, which does not pickle;
        # batches on a cluster send recipes to their workers.
        return (
            Recipe,
            (
                self.luminance,
                self.exposure,
                dict(self.zones),
                self.local_contrast,
                self.print_curve,
                self.output,
                self.toning,
                self.vignette,
                self.film,
                self.grain,
                self.bands,
            ),
        )

    # -- layers ---------------------------------------------------------------

    def updated(self, layer: Mapping[str, object], source: str | None = None) -> Recipe:
        """This recipe with a partial, TOML-shaped table of settings laid over it."""
        try:
            return self._updated(layer)
        except RecipeError as error:
            raise (error.with_source(source) if source else error) from None

    def _updated(self, layer: Mapping[str, object]) -> Recipe:
        _reject_unknown("", layer, SECTIONS)
        recipe = self
        if "luminance" in layer:
            recipe = replace(recipe, luminance=self._luminance(_table("luminance", layer["luminance"])))
        if "zones" in layer:
            recipe = replace(recipe, zones=BY_KEY["zones"].check(_table("zones", layer["zones"])))  # type: ignore[arg-type]
        for section in _SECTION_TYPES:
            if section not in layer:
                continue
            table = dict(_table(section, layer[section]))
            _reject_unknown(section, table, tuple(s.name for s in in_section(section)))
            attribute = _ATTRIBUTES.get(section, section)
            if section == "output" and "format" in table and "bits" not in table:
                # A layer that asks for JPEG asks for its one depth.
                fmt = BY_KEY["output.format"].check(table["format"])
                table["bits"] = 8 if fmt == "jpeg" else recipe.output.bits
            current: Any = getattr(recipe, attribute)
            changes: dict[str, Any] = {attribute: replace(current, **table)}
            recipe = replace(recipe, **changes)
        return recipe

    def _luminance(self, table: Mapping[str, object]) -> FilterStep | MixerStep:
        _reject_unknown("luminance", table, ("filter", "standard", "mixer"))
        if "mixer" in table:
            if "filter" in table or "standard" in table:
                raise RecipeError("luminance.mixer", table["mixer"], "a mixer replaces the filter and standard")
            weights = BY_KEY["luminance.mixer"].check(table["mixer"])
            return MixerStep(*weights)  # type: ignore[misc]
        base = self.luminance if isinstance(self.luminance, FilterStep) else FilterStep()
        return replace(base, **table)  # type: ignore[arg-type]

    # -- TOML -----------------------------------------------------------------

    def to_dict(self) -> dict[str, dict[str, object]]:
        """The recipe as the TOML tables (also the JSON of a user interface)."""
        luminance: dict[str, object]
        if isinstance(self.luminance, MixerStep):
            luminance = {"mixer": list(self.luminance.weights)}
        else:
            luminance = {"filter": self.luminance.filter, "standard": self.luminance.standard}
        tables: dict[str, dict[str, object]] = {"luminance": luminance}
        for section in SECTIONS:
            if section == "luminance":
                continue
            if section == "zones":
                tables["zones"] = {str(zone): stops for zone, stops in self.zones.items()}
                continue
            value = getattr(self, _ATTRIBUTES.get(section, section))
            tables[section] = {item.name: getattr(value, item.name) for item in fields(value)}
        return tables

    def to_toml(self, comment: str | None = None, *, full: bool = False) -> str:
        """The recipe as commented TOML, headed by a line that marks it as ours.

        A control that is off by default (film, colour bands, edge burning, grain, toning) is left out while every one
        of its settings is at its default, so the stamp of a recipe that does
        not use it is the same text as before the control existed; `full`
        writes every section (`ostrel recipe` shows them all).
        """
        header = RECIPE_HEADER + (f" ({comment})" if comment else "")
        lines = [header]
        for section, table in self.to_dict().items():
            if (
                not full
                and section in OPTIONAL_SECTIONS
                and all(value == BY_KEY[f"{section}.{name}"].default for name, value in table.items())
            ):
                continue
            lines.append("")
            if section == "zones":
                lines.append(_commented("[zones]", BY_KEY["zones"]))
                lines.extend(f"{zone} = {_toml_value(stops)}" for zone, stops in table.items())
                continue
            lines.append(f"[{section}]")
            for name, value in table.items():
                lines.append(_commented(f"{name} = {_toml_value(value)}", BY_KEY[f"{section}.{name}"]))
        return "\n".join(lines) + "\n"

    @classmethod
    def from_toml(cls, text: str, source: str | None = None, base: Recipe | None = None) -> Recipe:
        """Reads TOML text; missing settings keep the values of `base` (the defaults)."""
        try:
            check_toml_shape(text)
            layer = tomllib.loads(text)
            check_toml_items(layer)
        except LimitError as error:
            raise RecipeError("recipe", source or "text", error.reason, source) from None
        except tomllib.TOMLDecodeError as error:
            raise RecipeError("recipe", (source or "text"), f"not valid TOML: {error}", source) from None
        return (base or cls()).updated(layer, source)

    def describe(self) -> str:
        """One line for listings: the steps in order."""
        zones = ", ".join(f"{ROMAN[z]} {s:+g}" for z, s in self.zones.items()) or "none"
        return (
            f"{self.luminance.describe()}; "
            + (f"{self.film.describe()}; " if self.film.enabled else "")
            + (f"{self.bands.describe()}; " if self.bands.enabled else "")
            + f"{self.exposure.describe()}; zones {zones}; "
            + (f"{self.vignette.describe()}; " if self.vignette.enabled else "")
            + f"{self.local_contrast.describe()}; {self.print_curve.describe()}"
            + (f"; {self.grain.describe()}" if self.grain.enabled else "")
            + (f"; {self.toning.describe()}" if self.toning.enabled else "")
        )


def _toml_value(value: object) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError(f"{value} has no TOML form here")
        return repr(value)
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(_toml_value(v) for v in value) + "]"
    raise TypeError(f"no TOML form for {value!r}")


_COMMENT_COLUMN: Final = 28


def _commented(line: str, declared: Setting) -> str:
    unit = f" ({declared.unit})" if declared.unit else ""
    return f"{line:<{_COMMENT_COLUMN}}# {declared.help}{unit}"


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


def flag_layer(values: Mapping[str, str]) -> dict[str, Any]:
    """Command-line words by setting key ("local_contrast.radius": "24") as a TOML-shaped layer."""
    layer: dict[str, Any] = {}
    for key, text in values.items():
        declared = BY_KEY[key]
        value = declared.kind.from_text(declared.flag or key, text)
        if key == "zones":
            layer["zones"] = value
        else:
            layer.setdefault(declared.section, {})[declared.name] = value
    return layer

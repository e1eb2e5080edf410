"""Every recipe setting, declared once.

A `Setting` names its dotted key (the TOML table and key), its kind (type and
range), its default, its unit and a one-line help. From these declarations
come the recipe's validation and its error messages, the command-line flags,
the commented TOML that `ostrel recipe` writes, the README's settings table
and, for a user interface, a JSON description of each control. A setting
added here appears in all of them.

Three settings are not plain values: `luminance.mixer` (three weights that
replace the filter and standard), `zones` (a table of zone = stops) and
`local_contrast.radius` (pixels, or a share of the image's long edge).
"""

from __future__ import annotations

import json
import math
import re
from collections.abc import Iterator, Mapping
from dataclasses import dataclass, field
from typing import Final, Protocol

from ostrel.errors import RecipeError
from ostrel.films import films

# The largest magnitude a setting may take where its range is "any number":
# values are used by the kernels as 32-bit floats.
_FLOAT32_MAX: Final = 3.4028234663852886e38
_FLOAT32_TINY: Final = 1.1754943508222875e-38  # the smallest normal float


class Kind(Protocol):
    """How one setting's values are checked, parsed from a flag and described."""

    def check(self, key: str, value: object) -> object:
        """The canonical value, or RecipeError naming `key`."""
        ...

    def from_text(self, key: str, text: str) -> object:
        """A command-line word as the TOML value it stands for (checked later by `check`)."""
        ...

    def describe(self) -> str:
        """The values it takes, for the docs: 'number -10..10', 'one of a, b'."""
        ...

    def schema(self) -> dict[str, object]:
        """A JSON-ready description for a user interface's control."""
        ...


def _number_value(key: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise RecipeError(key, value, "expected a number")
    number = float(value)
    if not math.isfinite(number) or abs(number) > _FLOAT32_MAX:
        raise RecipeError(key, value, "expected a number that is finite in 32-bit floats")
    if number != 0 and abs(number) < _FLOAT32_TINY:
        raise RecipeError(key, value, "too close to zero for 32-bit floats; use 0 or a larger value")
    return number


def _fmt(number: float) -> str:
    return f"{number:g}"


@dataclass(frozen=True)
class Number:
    """A real number in [low, high]; `above` makes the low end open (low excluded)."""

    low: float
    high: float
    above: bool = False
    step: float = 0.01

    def check(self, key: str, value: object) -> float:
        number = _number_value(key, value)
        too_low = number <= self.low if self.above else number < self.low
        if too_low or number > self.high:
            raise RecipeError(key, value, f"expected {self.describe()}")
        return number

    def from_text(self, key: str, text: str) -> object:
        try:
            return float(text)
        except ValueError:
            raise RecipeError(key, text, "expected a number") from None

    def describe(self) -> str:
        if self.above:
            return f"a number above {_fmt(self.low)}, up to {_fmt(self.high)}"
        return f"a number {_fmt(self.low)}..{_fmt(self.high)}"

    def schema(self) -> dict[str, object]:
        return {"type": "number", "min": self.low, "max": self.high, "exclusive_min": self.above, "step": self.step}


@dataclass(frozen=True)
class Whole:
    """A whole number in [low, high], or one of `values` when given."""

    low: int
    high: int
    values: tuple[int, ...] = ()

    def check(self, key: str, value: object) -> int:
        if isinstance(value, bool) or not isinstance(value, int):
            raise RecipeError(key, value, "expected a whole number")
        if (self.values and value not in self.values) or not self.low <= value <= self.high:
            raise RecipeError(key, value, f"expected {self.describe()}")
        return value

    def from_text(self, key: str, text: str) -> object:
        try:
            return int(text)
        except ValueError:
            raise RecipeError(key, text, "expected a whole number") from None

    def describe(self) -> str:
        if self.values:
            return " or ".join(str(v) for v in self.values)
        return f"a whole number {self.low}..{self.high}"

    def schema(self) -> dict[str, object]:
        if self.values:
            return {"type": "choice", "choices": list(self.values)}
        return {"type": "integer", "min": self.low, "max": self.high, "step": 1}


@dataclass(frozen=True)
class Choice:
    """One of `choices` (case-insensitive), or one of the `aliases` for them."""

    choices: tuple[str, ...]
    aliases: Mapping[str, str] = field(default_factory=dict)

    def check(self, key: str, value: object) -> str:
        if not isinstance(value, str):
            raise RecipeError(key, value, f"expected a name, one of {', '.join(self.choices)}")
        folded = value.strip().casefold()
        for choice in self.choices:
            if choice.casefold() == folded:
                return choice
        if folded in self.aliases:
            return self.aliases[folded]
        names = list(self.choices) + sorted(self.aliases)
        raise RecipeError(key, value, f"unknown name; choose one of {', '.join(names)}")

    def from_text(self, key: str, text: str) -> object:
        return text

    def describe(self) -> str:
        return ", ".join(self.choices)

    def schema(self) -> dict[str, object]:
        return {"type": "choice", "choices": list(self.choices)}


AUTO: Final = "auto"


@dataclass(frozen=True)
class AutoOr:
    """ "auto" (decided per photo) or a number of the inner kind."""

    inner: Number

    def check(self, key: str, value: object) -> float | str:
        if isinstance(value, str) and value.strip().casefold() == AUTO:
            return AUTO
        if isinstance(value, str):
            raise RecipeError(key, value, f'expected "auto" or {self.inner.describe()}')
        return self.inner.check(key, value)

    def from_text(self, key: str, text: str) -> object:
        return AUTO if text.strip().casefold() == AUTO else self.inner.from_text(key, text)

    def describe(self) -> str:
        return f'"auto" or {self.inner.describe()}'

    def schema(self) -> dict[str, object]:
        return {**self.inner.schema(), "auto": True}


_PERCENT: Final = re.compile(r"^\s*([0-9]*\.?[0-9]+(?:[eE][-+]?[0-9]+)?)\s*%\s*$")
MAX_RADIUS: Final = 100_000  # pixels: a window wider than any image this side of a gigapixel is a typo
MAX_RADIUS_SHARE: Final = 25.0  # per cent of the long edge
# The colour bands' smoothing: the kernel's window sums are exact up to 2048 pixels.
MAX_BANDS_RADIUS: Final = 2048
MAX_BANDS_SHARE: Final = 2.0


@dataclass(frozen=True)
class Radius:
    """Whole pixels (16), or a share of the image's long edge as text ("0.4%"), up to the given bounds."""

    pixels_max: int = MAX_RADIUS
    share_max: float = MAX_RADIUS_SHARE

    def check(self, key: str, value: object) -> int | str:
        if isinstance(value, str):
            match = _PERCENT.match(value)
            if not match:
                raise RecipeError(key, value, 'expected whole pixels (16) or a share of the long edge ("0.4%")')
            share = float(match.group(1))
            if not 0.0 <= share <= self.share_max:
                raise RecipeError(key, value, f"expected 0..{self.share_max:g} % of the long edge")
            return f"{share:g}%"
        if isinstance(value, bool) or not isinstance(value, int):
            raise RecipeError(key, value, 'expected whole pixels (16) or a share of the long edge ("0.4%")')
        if not 0 <= value <= self.pixels_max:
            raise RecipeError(key, value, f"expected 0..{self.pixels_max} pixels")
        return value

    def from_text(self, key: str, text: str) -> object:
        if "%" in text:
            return text
        try:
            return int(text)
        except ValueError:
            raise RecipeError(key, text, 'expected whole pixels (16) or a share of the long edge ("0.4%")') from None

    def describe(self) -> str:
        return f'pixels 0..{self.pixels_max}, or "N%" of the long edge (0..{self.share_max:g} %)'

    def schema(self) -> dict[str, object]:
        top = min(2.0, self.share_max)
        return {"type": "radius", "min": 0.0, "max": top, "step": 0.05, "unit": "%", "pixels_max": self.pixels_max}


@dataclass(frozen=True)
class Weights:
    """Three channel weights [red, green, blue], each within ±`limit`."""

    limit: float = 10.0

    def check(self, key: str, value: object) -> tuple[float, float, float]:
        if not isinstance(value, (list, tuple)) or len(value) != 3:
            raise RecipeError(key, value, "expected three weights [red, green, blue]")
        weights = tuple(_number_value(key, w) for w in value)
        if any(abs(w) > self.limit for w in weights):
            raise RecipeError(key, value, f"expected weights within -{self.limit:g}..{self.limit:g}")
        if not any(weights):
            raise RecipeError(key, value, "expected at least one weight that is not 0")
        return (weights[0], weights[1], weights[2])

    def from_text(self, key: str, text: str) -> object:
        parts = text.split(",")
        if len(parts) != 3:
            raise RecipeError(key, text, "expected three weights R,G,B, for example 0.6,0.5,-0.1")
        try:
            return [float(part) for part in parts]
        except ValueError:
            raise RecipeError(key, text, "expected three numbers R,G,B") from None

    def describe(self) -> str:
        return f"[red, green, blue], each -{self.limit:g}..{self.limit:g}"

    def schema(self) -> dict[str, object]:
        return {"type": "weights", "min": -self.limit, "max": self.limit, "step": 0.01}


ZONES: Final = range(11)
MAX_ZONE_STOPS: Final = 10.0


@dataclass(frozen=True)
class ZoneTable:
    """Zone (0..10) = offset in stops (within ±10)."""

    def check(self, key: str, value: object) -> Mapping[int, float]:
        if not isinstance(value, Mapping):
            raise RecipeError(key, value, "expected a table of zone = stops")
        table: dict[int, float] = {}
        for zone, stops in value.items():
            name = f"{key}.{zone}"
            if isinstance(zone, bool):
                raise RecipeError(name, stops, "a zone is a whole number 0..10")
            try:
                index = int(zone) if isinstance(zone, (str, int)) else int("x")
            except ValueError:
                raise RecipeError(name, stops, "a zone is a whole number 0..10") from None
            if index not in ZONES:
                raise RecipeError(name, stops, f"zone {index} is outside 0..10")
            number = _number_value(name, stops)
            if abs(number) > MAX_ZONE_STOPS:
                raise RecipeError(
                    name, stops, f"expected an offset within -{MAX_ZONE_STOPS:g}..{MAX_ZONE_STOPS:g} stops"
                )
            table[index] = number
        return dict(sorted(table.items()))

    def from_text(self, key: str, text: str) -> object:
        table: dict[str, float] = {}
        if text.strip().casefold() in ("", "none"):
            return table
        if ";" in text or any(item.count("=") > 1 for item in text.split(",")):
            raise RecipeError(key, text, 'separate the zones with commas, for example "3=-0.3,7=0.2"')
        for item in text.split(","):
            zone, sep, stops = item.partition("=")
            if not sep:
                raise RecipeError(key, item.strip(), "expected ZONE=STOPS, for example 3=-0.3")
            try:
                table[zone.strip()] = float(stops)
            except ValueError:
                raise RecipeError(f"{key}.{zone.strip()}", stops.strip(), "expected a number of stops") from None
        return table

    def describe(self) -> str:
        return f"a table: zone 0..10 = offset in stops (-{MAX_ZONE_STOPS:g}..{MAX_ZONE_STOPS:g})"

    def schema(self) -> dict[str, object]:
        return {"type": "zones", "zones": list(ZONES), "min": -2.0, "max": 2.0, "step": 0.05}


@dataclass(frozen=True)
class Setting:
    """One recipe setting: where it lives, what it takes, what it is for."""

    key: str
    kind: Kind
    default: object
    help: str
    unit: str = ""
    flag: str | None = None
    metavar: str = "X"

    @property
    def section(self) -> str:
        return self.key.partition(".")[0]

    @property
    def name(self) -> str:
        return self.key.partition(".")[2] or self.key

    @property
    def default_text(self) -> str:
        if self.default is None:
            return "(none)"
        if isinstance(self.default, Mapping):
            return ", ".join(f"{z}={s:+g}" for z, s in self.default.items()) or "(none)"
        return str(self.default)

    @property
    def dest(self) -> str:
        """Its attribute on parsed command-line arguments."""
        return "setting_" + self.key.replace(".", "_")

    def check(self, value: object) -> object:
        return self.kind.check(self.key, value)

    def flag_help(self) -> str:
        unit = f", {self.unit}" if self.unit else ""
        return f"{self.help} ({self.kind.describe()}{unit}; default {self.default_text})"

    def schema(self) -> dict[str, object]:
        default: object = self.default
        if isinstance(default, Mapping):
            default = {str(z): s for z, s in default.items()}
        elif isinstance(default, tuple):
            default = list(default)
        return {
            "key": self.key,
            "section": self.section,
            "name": self.name,
            "help": self.help,
            "unit": self.unit,
            "default": default,
            "flag": self.flag,
            "kind": self.kind.schema(),
            "values": self.kind.describe(),
        }


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
METERS: Final = ("camera", "off", "average")
CURVES: Final = ("paper", "clip")
FORMATS: Final = ("tiff", "png", "jpeg")
FORMAT_ALIASES: Final = {"tif": "tiff", "jpg": "jpeg"}
COMPRESSIONS: Final = ("none", "deflate", "lzw")
FILMS: Final = ("none", *films())
FILM_ALIASES: Final = {
    "hp5": "ilford-hp5-plus",
    "hp5+": "ilford-hp5-plus",
    "delta-100": "ilford-delta-100",
    "delta-400": "ilford-delta-400",
    "delta-3200": "ilford-delta-400",
    "ilford-delta-3200": "ilford-delta-400",
    "fp4": "ilford-fp4-plus",
    "fp4+": "ilford-fp4-plus",
    "off": "none",
}
TONERS: Final = ("none", "sepia", "selenium", "gold", "platinum", "cyanotype", "split")
TONER_ALIASES: Final = {"palladium": "platinum", "pt/pd": "platinum", "off": "none"}

# Film formats and the long edge of their image area, in millimetres.
GRAIN_FORMATS: Final[Mapping[str, float]] = {
    "35mm": 36.0,
    "645": 56.0,
    "6x6": 56.0,
    "6x7": 70.0,
    "6x9": 84.0,
    "4x5": 120.0,
    "8x10": 250.0,
}

DEFAULT_ZONES: Final[Mapping[int, float]] = {2: -0.15, 3: -0.1, 7: 0.05, 8: 0.1}

SETTINGS: Final[tuple[Setting, ...]] = (
    Setting(
        "luminance.filter",
        Choice(FILTERS, FILTER_ALIASES),
        "NoFilter",
        "colour filter in front of the lens, metered through the lens",
        flag="--filter",
        metavar="NAME",
    ),
    Setting(
        "luminance.standard",
        Choice(STANDARDS),
        "Bt709",
        "ITU-R luminance weights behind the filter",
        flag="--standard",
        metavar="NAME",
    ),
    Setting(
        "luminance.mixer",
        Weights(),
        None,
        "channel weights instead of a filter and standard",
        flag="--mixer",
        metavar="R,G,B",
    ),
    Setting(
        "film.stock",
        Choice(FILMS, FILM_ALIASES),
        "none",
        "a film's published spectral response as the luminance weights, behind the filter (ostrel/films.toml)",
        flag="--film",
        metavar="NAME",
    ),
    Setting(
        "bands.red",
        Number(-3.0, 3.0, step=0.05),
        0.0,
        "the reds (0 degrees; lips, brick, autumn leaves): + lightens, - darkens in the print",
        unit="stops",
        flag="--band-red",
    ),
    Setting(
        "bands.orange",
        Number(-3.0, 3.0, step=0.05),
        0.0,
        "the oranges (30 degrees; skin, sand, rust): + lightens, - darkens in the print",
        unit="stops",
        flag="--band-orange",
    ),
    Setting(
        "bands.yellow",
        Number(-3.0, 3.0, step=0.05),
        0.0,
        "the yellows (60 degrees): + lightens, - darkens in the print",
        unit="stops",
        flag="--band-yellow",
    ),
    Setting(
        "bands.green",
        Number(-3.0, 3.0, step=0.05),
        0.0,
        "the greens (120 degrees; foliage, grass): + lightens, - darkens in the print",
        unit="stops",
        flag="--band-green",
    ),
    Setting(
        "bands.aqua",
        Number(-3.0, 3.0, step=0.05),
        0.0,
        "the aquas (180 degrees; sea, glacier water): + lightens, - darkens in the print",
        unit="stops",
        flag="--band-aqua",
    ),
    Setting(
        "bands.blue",
        Number(-3.0, 3.0, step=0.05),
        0.0,
        "the blues (240 degrees; skies): + lightens, - darkens in the print",
        unit="stops",
        flag="--band-blue",
    ),
    Setting(
        "bands.purple",
        Number(-3.0, 3.0, step=0.05),
        0.0,
        "the purples (270 degrees): + lightens, - darkens in the print",
        unit="stops",
        flag="--band-purple",
    ),
    Setting(
        "bands.magenta",
        Number(-3.0, 3.0, step=0.05),
        0.0,
        "the magentas and pinks (315 degrees): + lightens, - darkens in the print",
        unit="stops",
        flag="--band-magenta",
    ),
    Setting(
        "bands.radius",
        Radius(MAX_BANDS_RADIUS, MAX_BANDS_SHARE),
        "0.25%",
        "smoothing of the colour bands' offsets: pixels, or a share of the long edge (0: each pixel by its own hue)",
        flag="--band-radius",
        metavar="N|P%",
    ),
    Setting(
        "exposure.stops",
        Number(-10.0, 10.0, step=0.05),
        0.0,
        "exposure compensation on the scene-linear photo",
        unit="stops",
        flag="--exposure",
    ),
    Setting(
        "exposure.meter",
        Choice(METERS),
        "camera",
        "camera: as shot (camera RAW: its baseline exposure, else average); "
        "average: log-average on middle grey; off: as recorded",
        flag="--meter",
        metavar="NAME",
    ),
    Setting(
        "zones",
        ZoneTable(),
        DEFAULT_ZONES,
        "Zone System offsets: zone (0..10, Zone V = 18 % grey) = stops",
        flag="--zones",
        metavar="Z=STOPS,...",
    ),
    Setting(
        "vignette.stops",
        Number(-4.0, 4.0, step=0.05),
        0.0,
        "edge burning (negative) or dodging (positive) at the corners, in the scene before the paper (0 leaves it out)",
        unit="stops",
        flag="--vignette",
    ),
    Setting(
        "vignette.midpoint",
        Number(0.0, 2.0),
        0.75,
        "where the burn is half done, as a share of the way from the centre to a corner",
        flag="--vignette-midpoint",
    ),
    Setting(
        "vignette.feather",
        Number(0.0, 2.0, above=True),
        0.5,
        "width of the burn's transition, as the same share (small: a hard edge)",
        flag="--vignette-feather",
    ),
    Setting(
        "local_contrast.radius",
        Radius(),
        "0.4%",
        "guided-filter radius: pixels, or a share of the long edge so that every size prints alike",
        flag="--radius",
        metavar="N|P%",
    ),
    Setting(
        "local_contrast.eps",
        Number(0.0, 1.0, above=True, step=0.001),
        0.01,
        "edge threshold: larger smooths across stronger edges",
        flag="--eps",
    ),
    Setting(
        "local_contrast.strength",
        Number(-1.0, 4.0),
        0.5,
        "detail added back (0 leaves local contrast out)",
        flag="--strength",
    ),
    Setting(
        "print.curve",
        Choice(CURVES),
        "paper",
        "paper: a toe and shoulder into paper black and white; clip: scene values clipped at 0 and 1",
        flag="--curve",
        metavar="NAME",
    ),
    Setting(
        "print.white",
        AutoOr(Number(0.5, 16.0, step=0.05)),
        "auto",
        "scene luminance that prints as paper white, in stops above middle grey (auto: the photo's white)",
        unit="stops",
        flag="--white",
    ),
    Setting(
        "print.black",
        AutoOr(Number(-16.0, -0.5, step=0.05)),
        "auto",
        "scene luminance that prints as paper black, in stops from middle grey (auto: the photo's black)",
        unit="stops",
        flag="--black",
    ),
    Setting(
        "print.shoulder",
        Number(0.0, 1.0),
        0.5,
        "share of the tones between middle grey and white that roll off into paper white",
        flag="--shoulder",
    ),
    Setting(
        "print.toe",
        Number(0.0, 1.0),
        0.5,
        "share of the tones between a set black point and middle grey that roll off into paper black",
        flag="--toe",
    ),
    Setting(
        "grain.strength",
        Number(0.0, 4.0, step=0.05),
        0.0,
        "film grain over the print, times the film's granularity (0 leaves it out)",
        flag="--grain",
    ),
    Setting(
        "grain.granularity",
        Number(2.0, 40.0, step=0.5),
        12.0,
        "the film's diffuse RMS granularity as its datasheet gives it (1000 x the density's standard deviation "
        "through a 48 um aperture; coarser films higher)",
        flag="--granularity",
    ),
    Setting(
        "grain.format",
        Choice(tuple(GRAIN_FORMATS)),
        "35mm",
        "the film format the whole photo fills: its long edge sets how much film a pixel holds",
        flag="--grain-format",
        metavar="NAME",
    ),
    Setting(
        "grain.seed",
        Whole(0, 2**32 - 1),
        0,
        "which grain: the same seed gives the same print, bit for bit",
        flag="--grain-seed",
        metavar="N",
    ),
    Setting(
        "toning.toner",
        Choice(TONERS, TONER_ALIASES),
        "none",
        "chemical toner look for an RGB print of the same luminance (split: the two hues below; none: a grey print)",
        flag="--toner",
        metavar="NAME",
    ),
    Setting(
        "toning.strength",
        Number(0.0, 1.0),
        1.0,
        "how far the toner goes (0 prints R = G = B)",
        flag="--tone-strength",
    ),
    Setting(
        "toning.highlight_hue",
        Number(0.0, 360.0, step=1.0),
        45.0,
        "split toning: hue of the highlights (0 red, 60 yellow, 120 green, 240 blue)",
        unit="degrees",
        flag="--highlight-hue",
    ),
    Setting(
        "toning.shadow_hue",
        Number(0.0, 360.0, step=1.0),
        220.0,
        "split toning: hue of the shadows",
        unit="degrees",
        flag="--shadow-hue",
    ),
    Setting(
        "toning.balance",
        Number(-1.0, 1.0),
        0.0,
        "where the shadow tint gives way to the highlight tint: +1 two stops higher, -1 two stops lower",
        flag="--tone-balance",
    ),
    Setting(
        "output.format",
        Choice(FORMATS, FORMAT_ALIASES),
        "tiff",
        "print file format",
        flag="--format",
        metavar="FMT",
    ),
    Setting("output.bits", Whole(8, 16, (8, 16)), 16, "sample depth (JPEG is always 8)", flag="--bits", metavar="8|16"),
    Setting(
        "output.compression",
        Choice(COMPRESSIONS),
        "none",
        "TIFF compression (lossless)",
        flag="--compression",
        metavar="NAME",
    ),
    Setting("output.quality", Whole(1, 100), 92, "JPEG quality", flag="--quality", metavar="Q"),
)

BY_KEY: Final[Mapping[str, Setting]] = {setting.key: setting for setting in SETTINGS}
SECTIONS: Final[tuple[str, ...]] = tuple(dict.fromkeys(setting.section for setting in SETTINGS))
LOOK_SECTIONS: Final = tuple(section for section in SECTIONS if section != "output")
# The controls that are off by default: a recipe's TOML leaves such a section
# out while all of it is at its defaults, so prints of a recipe that does not
# use them carry the same stamp as before they existed.
OPTIONAL_SECTIONS: Final = ("film", "bands", "vignette", "grain", "toning")


def setting(key: str) -> Setting:
    return BY_KEY[key]


def in_section(section: str) -> Iterator[Setting]:
    return (s for s in SETTINGS if s.section == section)


def schema_json() -> str:
    """Every setting as JSON: for a user interface that draws its controls from them."""
    return json.dumps([s.schema() for s in SETTINGS], indent=1)


def markdown_table() -> str:
    """The README's table of settings."""
    rows = ["| setting | flag | values | default | what it does |", "|---|---|---|---|---|"]
    for s in SETTINGS:
        unit = f" ({s.unit})" if s.unit else ""
        values = s.kind.describe().replace("|", "\\|")
        rows.append(f"| `{s.key}` | `{s.flag}` | {values}{unit} | `{s.default_text}` | {s.help} |")
    return "\n".join(rows)

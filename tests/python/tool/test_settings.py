# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="union-attr, operator, attr-defined"
"""One declaration of every setting: the flags, the TOML, its comments and the README follow from it."""

from __future__ import annotations

import json
import pathlib
import subprocess
import sys
import tomllib

import pytest

from ostrel.cli import build_parser, effective_recipe, main
from ostrel.errors import RecipeError
from ostrel.presets import PRESETS
from ostrel.recipe import Recipe
from ostrel.settings import SETTINGS, AutoOr, Number, Whole, schema_json

ROOT = pathlib.Path(__file__).resolve().parents[3]

# A value for each setting's flag, and what the recipe holds for it.
EXAMPLES = {
    "luminance.filter": ("red", "Red25A"),
    "luminance.standard": ("bt2020", "Bt2020"),
    "luminance.mixer": ("0.5,0.3,0.2", (0.5, 0.3, 0.2)),
    "film.stock": ("fp4+", "ilford-fp4-plus"),
    "bands.red": ("0.5", 0.5),
    "bands.orange": ("0.25", 0.25),
    "bands.yellow": ("-0.5", -0.5),
    "bands.green": ("1", 1.0),
    "bands.aqua": ("-1", -1.0),
    "bands.blue": ("-1.25", -1.25),
    "bands.purple": ("0.75", 0.75),
    "bands.magenta": ("-3", -3.0),
    "bands.radius": ("0.5%", "0.5%"),
    "exposure.stops": ("-1.5", -1.5),
    "exposure.meter": ("average", "average"),
    "zones": ("3=-0.4,8=0.3", {3: -0.4, 8: 0.3}),
    "local_contrast.radius": ("1.5%", "1.5%"),
    "local_contrast.eps": ("0.02", 0.02),
    "local_contrast.strength": ("0.8", 0.8),
    "print.curve": ("clip", "clip"),
    "print.white": ("3.5", 3.5),
    "print.black": ("-6", -6.0),
    "print.shoulder": ("0.3", 0.3),
    "print.toe": ("0.2", 0.2),
    "output.format": ("png", "png"),
    "vignette.stops": ("-0.7", -0.7),
    "vignette.midpoint": ("0.6", 0.6),
    "vignette.feather": ("0.3", 0.3),
    "grain.strength": ("1.5", 1.5),
    "grain.granularity": ("17", 17.0),
    "grain.format": ("6X7", "6x7"),
    "grain.seed": ("4000000000", 4000000000),
    "toning.toner": ("palladium", "platinum"),
    "toning.strength": ("0.4", 0.4),
    "toning.highlight_hue": ("30", 30.0),
    "toning.shadow_hue": ("200", 200.0),
    "toning.balance": ("-0.5", -0.5),
    "output.bits": ("8", 8),
    "output.compression": ("deflate", "deflate"),
    "output.quality": ("80", 80),
}


def recipe_value(recipe: Recipe, key: str) -> object:
    if key == "zones":
        return dict(recipe.zones)
    if key == "luminance.mixer":
        return recipe.luminance.weights
    section, name = key.split(".")
    return recipe.to_dict()[section].get(name)


def test_every_setting_has_an_example_here():
    assert set(EXAMPLES) == {s.key for s in SETTINGS}


@pytest.mark.parametrize("setting", SETTINGS, ids=[s.key for s in SETTINGS])
def test_each_flag_reaches_its_setting_and_survives_the_toml(setting):
    text, expected = EXAMPLES[setting.key]
    argv = ["recipe", setting.flag, text]
    if setting.key == "output.compression":
        argv += ["--format", "tiff"]
    recipe = effective_recipe(build_parser().parse_args(argv))
    assert recipe_value(recipe, setting.key) == expected
    toml = recipe.to_toml()
    assert Recipe.from_toml(toml) == recipe
    assert setting.help in toml  # `ostrel recipe` explains every line


@pytest.mark.parametrize(
    "setting",
    [s for s in SETTINGS if isinstance(s.kind, (Number, Whole, AutoOr))],
    ids=lambda s: s.key,
)
@pytest.mark.parametrize("where", ["above", "below", "not finite"])
def test_values_outside_a_range_are_errors_naming_the_key(setting, where):
    kind = setting.kind.inner if isinstance(setting.kind, AutoOr) else setting.kind
    value = {"above": kind.high + 1, "below": kind.low - 1, "not finite": float("inf")}[where]
    section, _, name = setting.key.partition(".")
    with pytest.raises(RecipeError) as caught:
        Recipe().updated({section: {name: value}})
    assert caught.value.key == setting.key


@pytest.mark.parametrize("name", list(PRESETS))
def test_presets_round_trip_through_their_toml(name):
    recipe = PRESETS[name].recipe
    assert Recipe.from_toml(recipe.to_toml()) == recipe == Recipe.from_toml(recipe.to_toml(full=True))
    assert tomllib.loads(recipe.to_toml(full=True)) == json.loads(json.dumps(recipe.to_dict()))


def test_the_help_lists_every_flag_with_its_range(capsys):
    with pytest.raises(SystemExit):
        main(["convert", "--help"])
    text = " ".join(capsys.readouterr().out.split())
    for setting in SETTINGS:
        assert setting.flag in text
        assert " ".join(setting.kind.describe().split()) in text


def test_the_schema_describes_every_control():
    schema = json.loads(schema_json())
    assert [entry["key"] for entry in schema] == [s.key for s in SETTINGS]
    for entry in schema:
        assert entry["kind"]["type"] in ("number", "integer", "choice", "radius", "weights", "zones")
        assert entry["help"]


def test_the_readme_shows_the_current_declarations():
    completed = subprocess.run(
        [sys.executable, str(ROOT / "tools" / "readme.py"), "--check"], capture_output=True, text=True
    )
    assert completed.returncode == 0, completed.stderr

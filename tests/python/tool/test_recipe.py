# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="arg-type, call-arg, misc, dict-item, attr-defined, union-attr"
# mypy: disable-error-code="assignment, operator, call-overload, no-any-return"
# (These tests call the module with wrong arguments and probe attributes on
# purpose; their small helpers stay unannotated, their bodies are still checked.)
"""Recipes: TOML round trips, the order of layers, and validation that names the key."""

from __future__ import annotations

import math

import pytest

from ostrel import PRESETS, FilterStep, MixerStep, Recipe, RecipeError, get_preset, load_recipe
from ostrel.cli import build_parser, effective_recipe

pytest.importorskip("tomli_w")


@pytest.mark.parametrize("name", list(PRESETS))
def test_every_preset_round_trips_through_toml(name):
    recipe = get_preset(name).recipe
    assert Recipe.from_toml(recipe.to_toml()) == recipe


def test_presets_are_distinct_and_described():
    recipes = [preset.recipe for preset in PRESETS.values()]
    assert len(PRESETS) >= 5
    assert all(a != b for i, a in enumerate(recipes) for b in recipes[i + 1 :])
    assert all(preset.description and "\n" not in preset.description for preset in PRESETS.values())
    assert PRESETS["neutral"].recipe == Recipe()


def test_default_runs_all_four_steps():
    recipe = Recipe()
    assert recipe.zones and recipe.local_contrast.enabled
    assert recipe.output.format == "tiff" and recipe.output.bits == 16


def args(*argv: str):
    return build_parser().parse_args(["recipe", *argv])


def test_flags_override_file_which_overrides_preset(tmp_path):
    path = tmp_path / "r.toml"
    path.write_text('[local_contrast]\nradius = 5\nstrength = 0.25\n[output]\nformat = "png"\n')
    recipe = effective_recipe(args("--preset", "orange", "--recipe", str(path), "--strength", "0.9"))
    assert recipe.luminance == FilterStep("Orange21", "Bt709")  # from the preset
    assert recipe.local_contrast.radius == 5  # from the file
    assert recipe.local_contrast.strength == 0.9  # from the flag
    assert recipe.zones == get_preset("orange").recipe.zones
    assert (recipe.output.format, recipe.output.bits) == ("png", 16)


@pytest.mark.parametrize(
    ("argv", "luminance", "zones"),
    [
        (["--preset", "infrared", "--filter", "red"], FilterStep("Red25A", "Bt709"), None),
        (["--preset", "red", "--mixer", "0.2,0.3,0.5"], MixerStep(0.2, 0.3, 0.5), None),
        (["--preset", "orange", "--standard", "bt2020"], FilterStep("Orange21", "Bt2020"), None),
        (["--preset", "infrared", "--standard", "Bt601"], FilterStep("NoFilter", "Bt601"), None),
        (["--preset", "orange", "--zones", "4=0.5"], FilterStep("Orange21", "Bt709"), {4: 0.5}),
        (["--zones", ""], FilterStep(), {}),
    ],
)
def test_a_flag_replaces_the_whole_setting_it_names(argv, luminance, zones):
    recipe = effective_recipe(args(*argv))
    assert recipe.luminance == luminance
    if zones is not None:
        assert dict(recipe.zones) == zones


def test_choosing_jpeg_implies_eight_bits_unless_the_same_layer_asks_for_sixteen():
    assert effective_recipe(args("--format", "jpg")).output.bits == 8
    with pytest.raises(RecipeError, match="JPEG is always 8-bit"):
        effective_recipe(args("--format", "jpeg", "--bits", "16"))


@pytest.mark.parametrize(
    ("toml", "key", "value"),
    [
        ("colour = 1", "colour", 1),
        ("[luminance]\nfliter = 'red'", "luminance.fliter", "red"),
        ("[luminance]\nfilter = 'magenta'", "luminance.filter", "magenta"),
        ("[luminance]\nstandard = 709", "luminance.standard", 709),
        ("[luminance]\nmixer = [1, 'a', 0]", "luminance.mixer", "a"),
        ("[luminance]\nmixer = [1, true, 0]", "luminance.mixer", True),
        ("[luminance]\nmixer = [1, 0]", "luminance.mixer", [1, 0]),
        ("[luminance]\nmixer = [1, nan, 0]", "luminance.mixer", math.nan),
        ("[zones]\n11 = 0.5", "zones.11", 0.5),
        ("[zones]\n-1 = 0.5", "zones.-1", 0.5),
        ("[zones]\nV = 0.5", "zones.V", 0.5),
        ("[zones]\n3 = 'up'", "zones.3", "up"),
        ("[local_contrast]\nradius = -2", "local_contrast.radius", -2),
        ("[local_contrast]\nradius = 2.5", "local_contrast.radius", 2.5),
        ("[local_contrast]\neps = 0", "local_contrast.eps", 0),
        ("[local_contrast]\nstrength = inf", "local_contrast.strength", math.inf),
        ("[local_contrast]\nsigma = 1", "local_contrast.sigma", 1),
        ("[output]\nbits = 12", "output.bits", 12),
        ("[output]\nformat = 'gif'", "output.format", "gif"),
        ("[output]\ncompression = 'zip'", "output.compression", "zip"),
        ("[output]\nquality = 0", "output.quality", 0),
        ("zones = 3", "zones", 3),
    ],
)
def test_bad_settings_name_the_key_and_the_value(tmp_path, toml, key, value):
    path = tmp_path / "bad.toml"
    path.write_text(toml)
    with pytest.raises(RecipeError) as caught:
        load_recipe(str(path))
    error = caught.value
    assert error.key == key and error.source == str(path)
    if isinstance(value, float) and math.isnan(value):
        assert math.isnan(error.value)
    else:
        assert error.value == value
    assert str(error).startswith(f"{path}: {key} = ")


@pytest.mark.parametrize(
    ("argv", "key"),
    [
        (["--zones", "3=-0.3,12=1"], "zones.12"),
        (["--zones", "3:-0.3"], "--zones"),
        (["--zones", "3=-0.3;7=0.2"], "--zones"),
        (["--mixer", "1,2"], "--mixer"),
        (["--radius", "-1"], "local_contrast.radius"),
        (["--filter", "purple"], "luminance.filter"),
        (["--preset", "lith"], "preset"),
    ],
)
def test_bad_flags_are_recipe_errors_naming_the_flag(argv, key):
    with pytest.raises(RecipeError) as caught:
        effective_recipe(args(*argv))
    assert caught.value.key == key


def test_unreadable_or_invalid_recipe_files(tmp_path):
    with pytest.raises(RecipeError, match="cannot read it"):
        load_recipe(str(tmp_path / "missing.toml"))
    broken = tmp_path / "broken.toml"
    broken.write_text("[zones\n")
    with pytest.raises(RecipeError, match="not valid TOML"):
        load_recipe(str(broken))


def test_library_values_are_checked_too():
    with pytest.raises(RecipeError, match="zone 12"):
        Recipe(zones={12: 1.0})
    assert Recipe(zones={"3": -1}).zones == {3: -1.0}

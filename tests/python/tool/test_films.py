# mypy: allow-untyped-defs, allow-incomplete-defs, allow-untyped-calls
# mypy: disable-error-code="attr-defined"
"""Film stocks: the published spectral responses, carried through to the print."""

from __future__ import annotations

import numpy as np
import pytest

from conftest import srgb_decode
from ostrel.errors import RecipeError
from ostrel.films import films
from ostrel.recipe import Recipe
from ostrel.rendering import luminance, luminance_step, render

# The ICC sRGB profile's colorants (linear sRGB to XYZ relative to D50), written
# out again here so that a slip in the module's copy shows.
ICC_SRGB_D50 = np.array(
    [[0.4360747, 0.3850649, 0.1430804], [0.2225045, 0.7168786, 0.0606169], [0.0139322, 0.0971045, 0.7141733]]
)
PATCHES = {  # ColorChecker sRGB values
    "blue sky": (98, 122, 157),
    "foliage": (87, 108, 67),
    "light skin": (194, 150, 130),
    "red": (175, 54, 60),
    "blue": (56, 61, 150),
    "yellow": (231, 199, 31),
}
STOCKS = list(films())
FLAT = {"zones": {}, "local_contrast": {"strength": 0}, "print": {"curve": "clip"}}


def linear(patch):
    return srgb_decode(np.asarray(PATCHES[patch], np.uint8)).astype(np.float64)


def published_tone(stock, rgb):
    """The grey the published XYZ weights give a linear sRGB colour, a neutral white being 1."""
    xyz = np.asarray(films()[stock].xyz)
    return float(xyz @ (ICC_SRGB_D50 @ rgb)) / float(xyz @ (ICC_SRGB_D50 @ np.ones(3)))


def film_luminance(stock, rgb, filter_name="NoFilter"):
    recipe = Recipe().updated({"film": {"stock": stock}, "luminance": {"filter": filter_name}})
    pixel = np.asarray(rgb, np.float32).reshape(1, 1, 3)
    return float(luminance(pixel, luminance_step(recipe))[0, 0, 0])


@pytest.mark.parametrize("stock", STOCKS)
def test_every_stock_names_the_source_of_its_numbers(stock):
    film = films()[stock]
    assert film.datasheet.startswith("https://") and "darktable" in film.weights_source
    assert abs(sum(film.xyz) - 1) < 1e-6 and min(film.xyz) > 0


@pytest.mark.parametrize("stock", STOCKS)
@pytest.mark.parametrize("patch", list(PATCHES))
def test_a_patch_prints_the_tone_the_published_weights_give_it(stock, patch):
    assert film_luminance(stock, linear(patch)) == pytest.approx(published_tone(stock, linear(patch)), rel=2e-6)


@pytest.mark.parametrize("stock", STOCKS)
def test_panchromatic_film_sees_more_blue_and_less_green_than_the_eye(stock):
    def against_eye(patch):
        rgb = linear(patch)
        return np.log2(film_luminance(stock, rgb) / float(rgb @ [0.2126, 0.7152, 0.0722]))

    assert 0.3 < against_eye("blue sky") < 0.45  # a sky prints lighter on film than it looks
    assert -0.5 < against_eye("foliage") < -0.4
    assert against_eye("blue") > 1.2
    assert film_luminance(stock, np.ones(3)) == pytest.approx(1.0, abs=1e-7)  # a neutral keeps its tone


@pytest.mark.parametrize("stock", STOCKS)
def test_a_filter_in_front_of_the_film_works_on_its_response(stock):
    sky = linear("blue sky")
    bare, yellow, red = (film_luminance(stock, sky, f) for f in ("NoFilter", "Yellow8K2", "Red25A"))
    assert red < yellow < bare  # the filters darken the sky on film as on the eye's weights
    assert film_luminance(stock, np.full(3, 0.18), "Red25A") == pytest.approx(0.18, rel=1e-6)  # metered through it


def test_a_film_with_a_mixer_is_refused_with_what_to_do():
    with pytest.raises(RecipeError, match=r"film\.stock.*remove luminance\.mixer"):
        Recipe().updated({"luminance": {"mixer": [0.5, 0.3, 0.2]}, "film": {"stock": "hp5"}})
    with pytest.raises(RecipeError, match="unknown name"):
        Recipe().updated({"film": {"stock": "tri-x"}})  # no citable data: not shipped


def test_film_is_stamped_only_when_used_and_prints_differ():
    assert "[film]" not in Recipe().to_toml()
    recipe = Recipe().updated({"film": {"stock": "delta-3200"}, **FLAT})
    assert 'stock = "ilford-delta-400"' in recipe.to_toml()
    assert Recipe.from_toml(recipe.to_toml()) == recipe
    rgb = np.broadcast_to(linear("blue sky").astype(np.float32), (4, 4, 3)).copy()
    assert render(rgb, recipe)[0, 0, 0] > render(rgb, Recipe().updated(FLAT))[0, 0, 0]

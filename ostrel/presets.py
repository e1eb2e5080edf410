"""Named starting points for a print, each with a one-line description.

A preset sets the luminance step or film stock, the zones, the local
contrast, the colour bands, the edge burning, the grain and the toning; it never touches the
output settings. `neutral` is the default recipe
itself.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Final

from ostrel.errors import RecipeError
from ostrel.recipe import Recipe


@dataclass(frozen=True)
class Preset:
    name: str
    description: str
    settings: Mapping[str, Mapping[str, object]]

    @property
    def recipe(self) -> Recipe:
        return Recipe().updated(self.settings, f"preset {self.name}")


PRESETS: Final[Mapping[str, Preset]] = {
    preset.name: preset
    for preset in (
        Preset(
            "neutral",
            "The default: even BT.709 luminance, a gentle S-curve on a paper curve that keeps the photo's white "
            "and black, moderate local contrast.",
            {},
        ),
        Preset(
            "yellow",
            "Yellow filter (K2) for landscapes: slightly darker blue skies, natural foliage and skin.",
            {"luminance": {"filter": "Yellow8K2"}},
        ),
        Preset(
            "orange",
            "Orange filter (21): darker skies than yellow and lighter skin; between yellow and red.",
            {"luminance": {"filter": "Orange21"}, "zones": {"2": -0.2, "3": -0.1, "7": 0.1, "8": 0.15}},
        ),
        Preset(
            "red",
            "Red-channel mix for dramatic skies: a blue sky a stop or more darker, deep blues near black, "
            "light skin, white clouds kept white.",
            {
                "luminance": {"mixer": [1.15, 0.0, -0.15]},
                "zones": {"1": -0.2, "2": -0.3, "3": -0.15, "7": 0.1, "8": 0.2},
                "local_contrast": {"strength": 0.7},
            },
        ),
        Preset(
            "green",
            "Green filter (X1) for portraits and foliage: lighter leaves, deeper skin tones and lips.",
            {"luminance": {"filter": "Green11X1"}, "zones": {"2": -0.1, "7": 0.1, "8": 0.1}},
        ),
        Preset(
            "infrared",
            "Infrared-like channel mix: glowing foliage a stop lighter, near-black blue skies, red and blue "
            "colours dark, shadows lifted.",
            {
                "luminance": {"mixer": [-0.35, 2.35, -1.0]},
                "zones": {"2": 0.2, "3": 0.1, "7": 0.1},
                "local_contrast": {"strength": 0.4},
            },
        ),
        Preset(
            "high-contrast",
            "A punchy print: deeper blacks, brighter highlights and strong local contrast.",
            {
                "zones": {"1": -0.5, "2": -0.5, "3": -0.3, "6": 0.15, "7": 0.2},
                "local_contrast": {"radius": "0.6%", "strength": 1.0},
            },
        ),
        Preset(
            "soft",
            "A quiet, matte print: lifted shadows, held-back highlights, little local contrast.",
            {"zones": {"1": 0.4, "2": 0.3, "3": 0.1, "8": -0.2, "9": -0.3}, "local_contrast": {"strength": 0.2}},
        ),
        Preset(
            "selenium",
            "Selenium-toned print: deep shadows cooled to purple-brown, highlights left neutral, the grey print's "
            "tones kept.",
            {"zones": {"1": -0.2, "2": -0.2, "3": -0.1, "7": 0.05, "8": 0.1}, "toning": {"toner": "selenium"}},
        ),
        Preset(
            "sepia",
            "Warm sepia print: yellow-brown from the shadows to the highlights, paper white kept white, the grey "
            "print's tones kept.",
            {"zones": {"2": -0.1, "3": -0.05, "7": 0.1, "8": 0.15}, "toning": {"toner": "sepia", "strength": 0.85}},
        ),
        Preset(
            "sepia-burnt",
            "Warm sepia print with the edges burnt in: the corners a stop darker, the middle half of the print "
            "untouched.",
            {
                "zones": {"2": -0.1, "3": -0.05, "7": 0.1, "8": 0.15},
                "vignette": {"stops": -1.0, "midpoint": 0.75, "feather": 0.5},
                "toning": {"toner": "sepia", "strength": 0.85},
            },
        ),
        Preset(
            "landscape",
            "Landscape by colour bands: blue skies darker and foliage lighter, skin and greys left as they are.",
            {
                "bands": {"blue": -1.0, "aqua": -0.5, "green": 0.8},
            },
        ),
        Preset(
            "hp5",
            "ILFORD HP5 PLUS on 35 mm: the film's published colour response, blue skies lighter and foliage "
            "darker than the eye sees them, and film grain strongest in the mid-tones.",
            {
                "film": {"stock": "ilford-hp5-plus"},
                "zones": {"2": -0.2, "3": -0.15, "7": 0.05, "8": 0.1},
                "grain": {"strength": 1.0, "granularity": 16.0, "format": "35mm"},
            },
        ),
    )
}


def get_preset(name: str) -> Preset:
    """The preset called `name` (case-insensitive)."""
    folded = name.strip().casefold()
    for preset in PRESETS.values():
        if preset.name == folded:
            return preset
    raise RecipeError("preset", name, f"unknown preset; choose one of {', '.join(PRESETS)}")

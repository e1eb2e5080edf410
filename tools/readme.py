"""Regenerates the README's blocks that come from the code: the settings table, the default
recipe as `ostrel recipe` writes it, and the presets table.

    python tools/readme.py          # rewrite README.md in place
    python tools/readme.py --check  # exit 1 when README.md is out of date

Each block stands between `<!-- NAME:begin -->` and `<!-- NAME:end -->`.
"""

from __future__ import annotations

import pathlib
import re
import sys

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"


def blocks() -> dict[str, str]:
    from ostrel.presets import PRESETS
    from ostrel.recipe import Recipe
    from ostrel.settings import markdown_table

    presets = ["| preset | what it does |", "|---|---|"]
    presets += [f"| `{p.name}` | {p.description} |" for p in PRESETS.values()]
    return {
        "settings": markdown_table(),
        "recipe": "```toml\n" + Recipe().to_toml() + "```",
        "presets": "\n".join(presets),
    }


def render(text: str) -> str:
    for name, body in blocks().items():
        pattern = re.compile(rf"(<!-- {name}:begin -->\n)(?:.*?\n)?(<!-- {name}:end -->)", re.S)
        if not pattern.search(text):
            raise SystemExit(f"README.md has no {name} block")
        replacement = body.replace("\\", "\\\\")
        text = pattern.sub(rf"\g<1>{replacement}\n\g<2>", text)
    return text


def main() -> int:
    current = README.read_text(encoding="utf-8")
    fresh = render(current)
    if "--check" in sys.argv[1:]:
        if fresh != current:
            print("README.md is out of date: run python tools/readme.py", file=sys.stderr)
            return 1
        return 0
    README.write_text(fresh, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""The layers below the edge stay free of Python and of the edge."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parents[1] / "src"
BANNED = re.compile(r'#\s*include\s*[<"](Python\.h|numpy/|edge/)')


@pytest.mark.parametrize("layer", ["vocab", "kernels", "engine"])
def test_no_python_or_edge_includes(layer):
    if not SRC.is_dir():
        pytest.skip("no source tree")
    bad = [f"{p.name}: {line.strip()}" for p in sorted((SRC / layer).iterdir())
           for line in p.read_text().splitlines() if BANNED.search(line)]
    assert not bad

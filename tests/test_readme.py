"""The README's Python examples run as written, each on its own."""
import re
from pathlib import Path

import pytest

README = Path(__file__).parents[1] / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(), re.S) if README.exists() else []


@pytest.mark.skipif(not BLOCKS, reason="no README beside the tests")
@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example_runs(code, tmp_path, monkeypatch):
    if "nibabel" in code:
        pytest.importorskip("nibabel")
    monkeypatch.chdir(tmp_path)  # files the examples write land here
    exec(compile(code, str(README), "exec"), {})

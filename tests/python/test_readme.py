"""The Python examples of README.md run as written, against the installed module."""

import ast
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(), re.MULTILINE | re.DOTALL)


def test_readme_has_python_examples():
    assert BLOCKS


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example_runs(code):
    namespace = {}
    exec(compile(code, str(README), "exec"), namespace)
    # A comment that starts with a Python literal (`# True`, `# [0, 16]: ...`) states what the
    # expression on its line gives.
    for line in code.splitlines():
        expression, _, comment = line.partition("#")
        try:
            stated = ast.literal_eval(comment.split(":")[0].strip())
        except (ValueError, SyntaxError):
            continue
        assert eval(expression, namespace) == stated, line

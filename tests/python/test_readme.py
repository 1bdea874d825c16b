"""The documents run and hold together: every Python example in README.md and docs/ runs as
written against the installed modules, every link between them leads somewhere, and the
changelog's latest release is the installed version."""

import ast
import importlib.metadata
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
BLOCKS = [(doc, code) for doc in DOCUMENTS for code in
          re.findall(r"^```python\n(.*?)^```", doc.read_text(encoding="utf-8"), re.M | re.S)]
# The README is also the package's description on PyPI, so it links into the repository by URL.
REPOSITORY_URL = re.compile(r"https://(?:github\.com/libkeldrin/libkeldrin/(?:blob|tree)/main|"
                            r"raw\.githubusercontent\.com/libkeldrin/libkeldrin/main)/([^)#\s]+)")


def test_every_document_has_python_examples():
    assert {doc.name for doc, _ in BLOCKS} == {doc.name for doc in DOCUMENTS} - {
        "performance.md", "wheels.md"}


@pytest.mark.parametrize("document, code", BLOCKS,
                         ids=[f"{doc.name}-{i}" for i, (doc, _) in enumerate(BLOCKS)])
def test_example_runs(document, code):
    namespace = {}
    exec(compile(code, str(document), "exec"), namespace)
    # A comment that starts with a Python literal (`# True`, `# [0, 16]: ...`) states what the
    # expression on its line gives.
    for line in code.splitlines():
        expression, _, comment = line.partition("#")
        try:
            stated = ast.literal_eval(comment.split(":")[0].strip())
        except (ValueError, SyntaxError):
            continue
        assert eval(expression, namespace) == stated, line


def anchors(document):
    """The anchors that GitHub gives the headings of a Markdown file."""
    prose = re.sub(r"^```.*?^```", "", document.read_text(encoding="utf-8"), flags=re.M | re.S)
    headings = re.findall(r"^#+ (.*)$", prose, re.M)
    return {re.sub(r"[^\w\- ]", "", h.lower()).replace(" ", "-") for h in headings}


@pytest.mark.parametrize("document", [*DOCUMENTS, ROOT / "CONTRIBUTING.md", ROOT / "SECURITY.md"],
                         ids=lambda d: d.name)
def test_links_lead_to_files_and_headings(document):
    text = document.read_text(encoding="utf-8")
    targets = [(ROOT / path, "") for path in REPOSITORY_URL.findall(text)]
    for link in re.findall(r"\]\(([^)\s]+)\)", text):
        if not re.match(r"[a-z]+:", link):
            path, _, anchor = link.partition("#")
            targets.append(((document.parent / path) if path else document, anchor))
    for target, anchor in targets:
        assert target.exists(), target
        if anchor:
            assert anchor in anchors(target), f"{target.name}#{anchor}"


def test_changelog_latest_release_is_the_installed_version():
    releases = re.findall(r"^## (\d\S*)", (ROOT / "CHANGELOG.md").read_text(encoding="utf-8"), re.M)
    assert releases[0] == importlib.metadata.version("libkeldrin")

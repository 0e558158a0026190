"""Every ```python block of docs/*.md and README.md runs.

The blocks of one file run in order, in one fresh namespace, inside a temporary
working directory (so a relative data_dir lands there): one test per file. A
block may name optional modules with a comment line `# requires: mod1, mod2`;
the whole file is skipped when one of them cannot be imported. Blocks in other
languages (```sh, ```text, ...) are not run.

Tracebacks point at the Markdown file and its line numbers.
"""

import gc
import importlib.util
import re
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

# An opening fence (possibly indented, e.g. inside a list item) with its info
# string, the block, and a closing fence of at least as many backticks.
FENCE = re.compile(
    r"^(?P<indent>[ \t]*)(?P<fence>`{3,})[ \t]*(?P<info>[^\n`]*)\n"
    r"(?P<body>.*?)"
    r"^(?P=indent)(?P=fence)`*[ \t]*$",
    re.MULTILINE | re.DOTALL,
)
REQUIRES = re.compile(r"^[ \t]*#[ \t]*requires:(.*)$", re.MULTILINE)


def python_blocks(markdown):
    """The ```python blocks of a Markdown text as (first line number, code)."""
    blocks = []
    for match in FENCE.finditer(markdown):
        words = match.group("info").split()
        if not words or words[0] != "python":
            continue
        first_line = markdown.count("\n", 0, match.start("body")) + 1
        blocks.append((first_line, textwrap.dedent(match.group("body"))))
    return blocks


def required_modules(blocks):
    names = []
    for _, code in blocks:
        for match in REQUIRES.finditer(code):
            names += [n.strip() for n in match.group(1).split(",") if n.strip()]
    return names


def module_missing(name):
    try:
        return importlib.util.find_spec(name) is None
    except ModuleNotFoundError:  # a dotted name whose parent package is missing
        return True


# The wheel check runs a copy of tests/python without the rest of the
# checkout: then there is nothing to collect.
DOCS = ROOT / "docs"
DOC_FILES = [p for p in sorted(DOCS.glob("*.md")) + [ROOT / "README.md"]
             if p.is_file() and python_blocks(p.read_text(encoding="utf-8"))]


@pytest.mark.parametrize("path", DOC_FILES, ids=[p.name for p in DOC_FILES])
def test_examples_run(path, tmp_path, monkeypatch):
    blocks = python_blocks(path.read_text(encoding="utf-8"))
    missing = [name for name in required_modules(blocks) if module_missing(name)]
    if missing:
        pytest.skip(f"{path.name} needs {', '.join(missing)}")
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__docs__"}
    try:
        for first_line, code in blocks:
            # Padding with newlines makes line numbers those of the Markdown file.
            exec(compile("\n" * (first_line - 1) + code, str(path), "exec"), namespace)
    finally:
        # Drop the examples' objects so their data directories close before
        # the temporary directory goes.
        namespace.clear()
        gc.collect()


def test_the_collector_runs_python_blocks_only():
    markdown = textwrap.dedent("""\
        Text.

        ```python
        a = 1
        ```

        ```sh
        pip install .
        ```

        1. In a list:

           ```python
           # requires: some_module, other.module
           b = a + 1
           ```

        ````text
        ```python
        not code
        ```
        ````
        """)
    blocks = python_blocks(markdown)
    assert blocks == [
        (4, "a = 1\n"),
        (14, "# requires: some_module, other.module\nb = a + 1\n"),
    ]
    assert required_modules(blocks) == ["some_module", "other.module"]
    assert module_missing("tessarine_no_such_module.sub")
    assert not module_missing("tessarine")


def test_every_page_is_collected():
    if not DOCS.is_dir():
        pytest.skip("no docs/ beside this copy of the tests")
    names = {p.name for p in DOC_FILES}
    for page in ["README.md", "getting-started.md", "data-model-and-durability.md",
                 "filters.md", "hybrid-search.md", "tuning.md", "encryption.md"]:
        assert page in names

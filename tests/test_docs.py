"""Run the Python snippets of the documentation, so that they cannot rot.

Every fenced block opened with ```python in README.md and docs/*.md (except
docs/benchmarks.md, which is generated) is a test. The blocks of one file run
in order in one shared namespace, like a reader typing them into one
interpreter session: a block may use names defined by the blocks above it.
A block states what it shows with plain `assert` statements.

A block that must not run (a fragment, or something that needs a machine set
up differently) is preceded by this line, which Markdown renders as nothing:

    <!-- docs-test: skip -->
"""

import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXCLUDED = {"docs/benchmarks.md"}
SKIP_MARKER = "<!-- docs-test: skip -->"

FENCE = re.compile(r"^```python[ \t]*\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)


def doc_files():
    files = [ROOT / "README.md"] + sorted((ROOT / "docs").glob("*.md"))
    return [f for f in files if f.exists() and f.relative_to(ROOT).as_posix() not in EXCLUDED]


def extract_blocks(text):
    """(line number, source, skipped) for each ```python block of a Markdown text."""
    blocks = []
    for match in FENCE.finditer(text):
        before = text[: match.start()].rstrip("\n").splitlines()
        skipped = bool(before) and before[-1].strip() == SKIP_MARKER
        line = text.count("\n", 0, match.start()) + 2  # first line of code
        blocks.append((line, match.group(1), skipped))
    return blocks


def collect_cases():
    cases = []
    for path in doc_files():
        rel = path.relative_to(ROOT).as_posix()
        for number, (line, source, skipped) in enumerate(extract_blocks(path.read_text())):
            marks = [pytest.mark.skip(reason="marked docs-test: skip")] if skipped else []
            cases.append(pytest.param(rel, number, id=f"{rel}:{line}", marks=marks))
    return cases


class FileSession:
    """The shared namespace of one documentation file and how far it has run."""

    def __init__(self, rel):
        self.rel = rel
        self.blocks = extract_blocks((ROOT / rel).read_text())
        self.namespace = {"__name__": "__docs__"}
        self.done = 0
        self.broken_at = None

    def run_through(self, number):
        """Run every block up to and including `number`, each once."""
        while self.done <= number:
            line, source, skipped = self.blocks[self.done]
            index = self.done
            self.done += 1
            if skipped:
                continue
            try:
                code = compile(source, f"{self.rel}:{line}", "exec")
                exec(code, self.namespace)
            except BaseException:
                if self.broken_at is None:
                    self.broken_at = index
                if index == number:
                    raise
        if self.broken_at is not None and self.broken_at < number:
            line = self.blocks[self.broken_at][0]
            pytest.fail(f"an earlier block of {self.rel} (line {line}) failed")


_sessions = {}


@pytest.mark.parametrize("rel, number", collect_cases())
def test_snippet(rel, number):
    session = _sessions.get(rel)
    if session is None:
        session = _sessions[rel] = FileSession(rel)
    session.run_through(number)


def test_snippets_are_found():
    """The extraction itself: the guide and the API page must contribute blocks,
    and a skip marker must only skip the block right after it."""
    rels = {p.relative_to(ROOT).as_posix() for p in doc_files()}
    assert "README.md" in rels and "docs/api.md" in rels
    for rel in ("README.md", "docs/api.md"):
        assert len(extract_blocks((ROOT / rel).read_text())) >= 10, rel

    sample = (
        "text\n```python\nx = 1\n```\n"
        f"{SKIP_MARKER}\n```python\nraise SystemExit\n```\n"
        "```sh\nnot python\n```\n```python\nassert x == 1\n```\n"
    )
    blocks = extract_blocks(sample)
    assert [(b[1], b[2]) for b in blocks] == [
        ("x = 1\n", False),
        ("raise SystemExit\n", True),
        ("assert x == 1\n", False),
    ]
    assert [b[0] for b in blocks] == [3, 7, 13]

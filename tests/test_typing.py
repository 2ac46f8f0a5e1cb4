"""The package as a type checker sees it: correct uses pass `mypy --strict`,
each marked mistake gets exactly its error, and the package's own modules and
stubs are clean under `--strict` too."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="the typing test needs mypy")

HERE = Path(__file__).parent / "typing"
FILES = [HERE / "correct_uses.py", HERE / "wrong_uses.py"]
# One mypy run checks the two files and the installed package, all by module name.
MODULES = ["correct_uses", "wrong_uses", "vortan.async_", "vortan.async_.exceptions",
           "vortan.async_.synchronize", "vortan.async_.tandrel", "vortan.log"]
MARK = re.compile(r"#\s*E:\s*(.+?)\s*$")
ERROR = re.compile(r"^(.+?):(\d+): error: (.+?)\s*$")


def newer_spelling(message):
    """Older mypy writes Optional[X] and Tuple[...]; newer X | None and tuple[...]."""
    message = message.replace("Tuple[", "tuple[")
    while "Optional[" in message:
        start = message.index("Optional[")
        depth, end = 0, start + len("Optional")
        for end in range(end, len(message)):
            depth += {"[": 1, "]": -1}.get(message[end], 0)
            if depth == 0:
                break
        inner = message[start + len("Optional["):end]
        message = message[:start] + inner + " | None" + message[end + 1:]
    return message


def test_stubs_pass_correct_uses_and_catch_each_marked_mistake(tmp_path):
    env = dict(os.environ)
    env.setdefault("MYPY_CACHE_DIR", str(tmp_path / "mypy-cache"))
    env["MYPYPATH"] = str(HERE)
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--config-file=", "--no-error-summary",
         "--show-error-codes", "--no-pretty", "--no-color-output",
         *[arg for name in MODULES for arg in ("-m", name)]],
        cwd=str(tmp_path), env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        universal_newlines=True, timeout=600)
    assert run.returncode in (0, 1), run.stderr
    expected = {(path.name, number, match.group(1))
                for path in FILES
                for number, line in enumerate(path.read_text().splitlines(), 1)
                for match in [MARK.search(line)] if match}
    found = {(os.path.basename(m.group(1)), int(m.group(2)), newer_spelling(m.group(3)))
             for m in map(ERROR.match, run.stdout.splitlines()) if m}
    assert found == expected, run.stdout
    assert len(expected) == 15

"""Run every benchmark in this directory under each given interpreter; print one table each.

    python benchmarks/run_all.py [-v] [--timeout SECONDS] PYTHON [PYTHON ...]

A benchmark is any ``benchmarks/*.py`` except this file and files whose name
starts with "_" (shared helpers, such as _harness.py). Each one is run as
``PYTHON benchmarks/NAME.py`` from the repository root, one interpreter at a
time, and must:

- print, for each table row it contributes, one line of the form

      BENCH-RESULT {"benchmark": "<table title>", "row": {"<column>": value, ...}, "note": "..."}

  (JSON on one line after the prefix; values are numbers, shown as given, so
  round them in the script, or strings; columns keep their order; "note" is
  optional and is printed under the table). A script may contribute rows to
  several tables, one line per table;
- exit 0 when it measured. A ratio that misses its target is not a failure.

A script whose source holds the line ``# run_all: first interpreter only`` (a
slow one, measured where it matters) runs only under the first interpreter
given, which `make bench` makes CPython 3.8.

Anything else a script prints is shown only with -v. This script prints, per
table title, one row per interpreter (labelled with its Python version) and the
union of the columns in order of first appearance. A run that exits non-zero,
times out or prints no record gets a FAILED row; the exit status is then 1.
Interpreter paths that do not exist are skipped with a note. A free-threaded
build runs its benchmarks with the GIL off (PYTHON_GIL=0) and is labelled
with a "t" and "GIL off".
"""

import argparse
import json
import os
import subprocess
import sys
import textwrap
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PREFIX = "BENCH-RESULT "


def first_interpreter_only(script):
    with open(script) as source:
        return any(line.strip() == "# run_all: first interpreter only" for line in source)


def benchmark_scripts():
    names = sorted(os.listdir(HERE))
    return [os.path.join(HERE, n) for n in names
            if n.endswith(".py") and not n.startswith("_") and n != os.path.basename(__file__)]


def python_version(python):
    try:
        out = subprocess.run([python, "-c", "import platform, sysconfig; print(platform.python_version()"
                              " + ('t (GIL off)' if sysconfig.get_config_var('Py_GIL_DISABLED') else ''))"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             universal_newlines=True, timeout=60)
    except (OSError, subprocess.SubprocessError):
        return None
    return out.stdout.strip() if out.returncode == 0 else None


def run_one(python, version, script, timeout):
    """Returns (records, failure text or None, full output)."""
    env = dict(os.environ)
    if "GIL off" in version:
        env["PYTHON_GIL"] = "0"
    try:
        proc = subprocess.run([python, script], cwd=ROOT, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, universal_newlines=True,
                              timeout=timeout, env=env)
    except subprocess.TimeoutExpired as exc:
        output = exc.stdout or ""
        if isinstance(output, bytes):
            output = output.decode(errors="replace")
        return [], "timed out after %ds" % timeout, output
    records, bad = [], None
    for line in proc.stdout.splitlines():
        if line.startswith(PREFIX):
            try:
                record = json.loads(line[len(PREFIX):])
                records.append((str(record["benchmark"]), dict(record["row"]),
                                record.get("note")))
            except (ValueError, KeyError, TypeError) as exc:
                bad = "unreadable record (%s): %s" % (exc, line[:200])
    failure = None
    if proc.returncode != 0:
        lines = [l for l in proc.stdout.splitlines() if l.strip() and not l.startswith(PREFIX)]
        failure = "exit %d: %s" % (proc.returncode, lines[-1][:160] if lines else "no output")
    elif bad:
        failure = bad
    elif not records:
        failure = "printed no %srecord" % PREFIX
    return records, failure, proc.stdout


def cell(value):
    if value is None:
        return "-"
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, float) and len(repr(value)) > 10:
        return "%.6g" % value
    return str(value)


def print_table(title, rows, notes):
    """rows: list of (label, dict of column -> value, or failure text)."""
    columns = []
    for _, row in rows:
        if isinstance(row, dict):
            columns.extend(c for c in row if c not in columns)
    header = ["python"] + columns
    lines = []
    for label, row in rows:
        if isinstance(row, dict):
            lines.append([label] + [cell(row.get(c)) for c in columns])
        else:
            lines.append([label, "FAILED: " + row])
    widths = [max(len(line[i]) for line in [header] + lines if i < len(line))
              if i < len(header) else 0 for i in range(len(header))]
    print()
    print("== " + title)
    print("  ".join(h.rjust(w) if i else h.ljust(w) for i, (h, w) in enumerate(zip(header, widths))))
    print("  ".join("-" * w for w in widths))
    for line in lines:
        if line[1:2] and line[1].startswith("FAILED: "):
            print(line[0].ljust(widths[0]) + "  " + line[1])
        else:
            print("  ".join(c.rjust(w) if i else c.ljust(w)
                            for i, (c, w) in enumerate(zip(line, widths))))
    for note in notes:
        print(textwrap.fill(note, 100, initial_indent="   ", subsequent_indent="   "))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("pythons", nargs="+", metavar="PYTHON", help="interpreter paths")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="show each benchmark's own output")
    parser.add_argument("--timeout", type=float, default=600,
                        help="seconds allowed for one script under one interpreter")
    args = parser.parse_args(argv)

    interpreters = []
    for python in args.pythons:
        version = python_version(python) if os.path.exists(python) else None
        if version is None:
            print("note: skipping %s (no such interpreter, or it does not run)" % python, flush=True)
        else:
            interpreters.append((version, python))
    scripts = benchmark_scripts()
    if not interpreters or not scripts:
        print("nothing to run (%d interpreters, %d benchmarks)" % (len(interpreters), len(scripts)))
        return 1

    failed = False
    results = []  # per script: its name and, per interpreter, (version, records, failure)
    for script in scripts:
        name = os.path.basename(script)
        runs = []
        chosen = interpreters[:1] if first_interpreter_only(script) else interpreters
        for version, python in chosen:
            started = time.monotonic()
            records, failure, output = run_one(python, version, script, args.timeout)
            print("ran %s under %s in %.1fs%s" % (name, version, time.monotonic() - started,
                                                  " (FAILED)" if failure else ""), flush=True)
            if args.verbose or failure:
                print("\n".join("   | " + l for l in output.rstrip().splitlines()), flush=True)
            failed = failed or failure is not None
            runs.append((version, records, failure))
        results.append((name, runs))

    for name, runs in results:
        titles = []
        for _, records, _ in runs:
            titles.extend(t for t, _, _ in records if t not in titles)
        if not titles:
            print_table(name, [(version, failure) for version, _, failure in runs], [])
        for title in titles:
            rows, notes = [], []
            for version, records, failure in runs:
                mine = [(row, note) for t, row, note in records if t == title]
                for row, note in mine:
                    rows.append((version + (" (FAILED)" if failure else ""), row))
                    if note and note not in notes:
                        notes.append(note)
                if not mine:
                    rows.append((version, failure or "no row for this table"))
            print_table(title, rows, notes)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Sums up ThreadSanitizer report files; fails if a report involves the extension.

    tsan_summary.py LOG_PREFIX

TSan writes LOG_PREFIX.<pid>. The interpreter is not instrumented, so TSan
sees only the extension's own memory accesses and none of the interpreter's
synchronisation: a report whose frames all lie outside the extension says
nothing about it and is only counted. A report with a frame in the
extension's code (src/ of this repository, or a module's shared library)
fails the run and is printed.
"""
import glob
import re
import sys

OURS = re.compile(r"/src/(python_objects|synchronize|tandrel)/|vortan/async_/\w+\.cpython")


def reports(text):
    return re.findall(r"^WARNING: ThreadSanitizer:.*?^={10,}$", text, re.M | re.S)


def main(prefix):
    files = sorted(glob.glob(prefix + ".*"))
    found = [r for name in files for r in reports(open(name, errors="replace").read())]
    ours = [r for r in found if OURS.search(r)]
    kinds = {}
    for r in found:
        kind = r.splitlines()[0].split("ThreadSanitizer: ", 1)[1].split(" (pid")[0]
        kinds[kind] = kinds.get(kind, 0) + 1
    print("tsan: %d report(s) in %d file(s); %d involve the extension's code" % (len(found), len(files), len(ours)))
    for kind, count in sorted(kinds.items()):
        print("tsan:   %s: %d" % (kind, count))
    for r in ours:
        print(r)
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))

#!/usr/bin/env python3
"""Sums up ThreadSanitizer report files; fails if a report is in the extension.

    tsan_summary.py LOG_PREFIX

TSan writes LOG_PREFIX.<pid>. The interpreter is not instrumented, so TSan
sees only the extension's own memory accesses and none of the interpreter's
synchronisation: a report whose frames all lie outside the extension says
nothing about it and is only counted. So is one where the extension only
called the code that raced (the interpreter's own dicts or allocator, whose
synchronisation TSan cannot see). A report where an access itself is in the
extension's code (the innermost frame of an access in src/ of this
repository, or in a module's shared library) fails the run and is printed.
"""
import glob
import re
import sys

OURS = re.compile(r"/src/(python_objects|synchronize|tandrel)/|vortan/async_/\w+\.cpython")


def innermost_frames(report):
    """The #0 frame of each access (and of the heap block's freeing) in a report."""
    return re.findall(r"^\s+#0 (.*)$", report, re.M)


def reports(text):
    return re.findall(r"^WARNING: ThreadSanitizer:.*?^={10,}$", text, re.M | re.S)


def main(prefix):
    files = sorted(glob.glob(prefix + ".*"))
    found = [r for name in files for r in reports(open(name, errors="replace").read())]
    ours = [r for r in found if any(OURS.search(frame) for frame in innermost_frames(r))]
    calling = [r for r in found if OURS.search(r) and r not in ours]
    kinds = {}
    for r in found:
        kind = r.splitlines()[0].split("ThreadSanitizer: ", 1)[1].split(" (pid")[0]
        kinds[kind] = kinds.get(kind, 0) + 1
    print("tsan: %d report(s) in %d file(s); %d with an access in the extension's code, %d more where it"
          " only called the code that raced" % (len(found), len(files), len(ours), len(calling)))
    for kind, count in sorted(kinds.items()):
        print("tsan:   %s: %d" % (kind, count))
    # Where in the extension: the innermost frame of ours in each report.
    places = {}
    for r in ours:
        place = next(frame for frame in innermost_frames(r) if OURS.search(frame))
        places[place] = places.get(place, 0) + 1
    for place, count in sorted(places.items(), key=lambda item: -item[1]):
        print("tsan:   %dx %s" % (count, place))
    for r in ours:
        print(r)
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))

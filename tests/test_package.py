"""What the installed package shows its users: version and licence metadata,
module docs and public names, and how the extension modules were linked."""

import importlib
import shutil
import subprocess

import pytest

import vortan.async_

try:  # 3.8 has importlib.metadata; only the backport is named differently
    from importlib import metadata
except ImportError:  # pragma: no cover
    import importlib_metadata as metadata

DISTRIBUTION = "vortan-async"
PUBLIC = {
    "vortan.async_.tandrel": ["Pcall", "ChildLabor", "ChildWork"],
    "vortan.async_.synchronize": ["locked", "Lockable", "LockableMeta"],
}


def test_version_and_licence_come_with_the_distribution():
    assert vortan.async_.__version__ == metadata.version(DISTRIBUTION)
    dist = metadata.distribution(DISTRIBUTION)
    licence = [f for f in dist.files if f.name == "LICENSE"]
    assert licence and "MIT License" in licence[0].read_text()
    assert dist.metadata["License"] == "MIT"


@pytest.mark.parametrize("name", sorted(PUBLIC))
def test_module_documents_itself_and_exports_only_its_public_names(name):
    module = importlib.import_module(name)
    assert module.__doc__ and len(module.__doc__.splitlines()[0]) > 20
    assert module.__all__ == PUBLIC[name]
    namespace = {}
    exec("from %s import *" % name, namespace)
    namespace.pop("__builtins__")
    assert namespace == {n: getattr(module, n) for n in PUBLIC[name]}
    # The globals that import * no longer hands out are all still there.
    assert module.logger.name == name
    assert not isinstance(module.multiprocessing, type(module))


# ---- how the shared libraries were linked -----------------------------------

def _run(*command):
    return subprocess.run(command, stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout


def _facts_from_binutils(path):
    def symbols(which):
        return {line.split()[-1].split("@")[0] for line in _run("nm", "-D", which, path).splitlines() if line.strip()}
    dynamic = _run("readelf", "-dW", path)
    versions = {line.split("@")[-1] for line in _run("nm", "-D", "--undefined-only", path).splitlines() if "@" in line}
    return {
        "versions": versions,
        "defined": symbols("--defined-only"),
        "undefined": symbols("--undefined-only"),
        "bind_now": "BIND_NOW" in dynamic or "Flags: NOW" in dynamic,
        "relro": "GNU_RELRO" in _run("readelf", "-lW", path),
        "comment": _run("readelf", "-p", ".comment", path),
    }


def _facts_from_pyelftools(path):
    from elftools.elf.elffile import ELFFile

    df_bind_now, df_1_now = 0x8, 0x1  # <elf.h>
    with open(path, "rb") as f:
        elf = ELFFile(f)
        dynsym = [s for s in elf.get_section_by_name(".dynsym").iter_symbols() if s.name]
        tags = {t.entry.d_tag: t.entry.d_val for t in elf.get_section_by_name(".dynamic").iter_tags()}
        comment = elf.get_section_by_name(".comment")
        needed = elf.get_section_by_name(".gnu.version_r")
        versions = {aux.name for _, auxes in (needed.iter_versions() if needed is not None else ()) for aux in auxes}
        return {
            "versions": versions,
            "defined": {s.name for s in dynsym if s["st_shndx"] != "SHN_UNDEF"},
            "undefined": {s.name for s in dynsym if s["st_shndx"] == "SHN_UNDEF"},
            "bind_now": bool(tags.get("DT_FLAGS", 0) & df_bind_now
                             or tags.get("DT_FLAGS_1", 0) & df_1_now or "DT_BIND_NOW" in tags),
            "relro": any(seg["p_type"] == "PT_GNU_RELRO" for seg in elf.iter_segments()),
            "comment": comment.data().decode("latin-1") if comment is not None else "",
        }


def elf_facts(path):
    if shutil.which("readelf") and shutil.which("nm"):
        return _facts_from_binutils(path)
    try:
        import elftools  # noqa: F401
    except ImportError:
        pytest.skip("neither readelf and nm (binutils) nor pyelftools is installed to read the ELF files")
    return _facts_from_pyelftools(path)


@pytest.mark.parametrize("name", sorted(PUBLIC))
def test_release_build_is_hardened_and_exports_only_its_entry_point(name):
    path = importlib.import_module(name).__file__
    facts = elf_facts(path)
    if any(s.startswith("__asan_") for s in facts["undefined"]):
        pytest.skip("sanitizer build: hardening flags are for release builds only")
    assert facts["defined"] == {"PyInit_" + name.rsplit(".", 1)[1]}
    assert facts["relro"] and facts["bind_now"], "full RELRO"
    assert "__stack_chk_fail" in facts["undefined"]
    assert "vortan-async: _FORTIFY_SOURCE=2" in facts["comment"], "optimised, with _FORTIFY_SOURCE=2"
    # What the README promises of the wheels' tag: glibc 2.24 and the C++
    # library of GCC 5, nothing newer.
    newest = {"GLIBC": (2, 24), "GLIBCXX": (3, 4, 21), "CXXABI": (1, 3, 9)}
    for version in facts["versions"]:
        family, _, number = version.partition("_")
        if family in newest and number[:1].isdigit():
            assert tuple(map(int, number.split("."))) <= newest[family], version

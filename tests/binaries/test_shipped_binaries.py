"""The shipped binaries themselves: machine type, exports, imports and manifest."""
import re

import pefile
import pytest

from winproc import BIN_DIR

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll"}

SHIPPED = {
    # name: (kind, exact export names or None, allowed imports)
    "Vessick.dll": ("dll", {"InitOrlent", "SetOrlentUin", "ValidateOrlent"}, SYSTEM_DLLS),
    "Tremath.exe": ("exe", None, SYSTEM_DLLS | {"user32.dll", "shlwapi.dll"}),
    "orlent.exe": ("exe", None, SYSTEM_DLLS | {"dbghelp.dll", "version.dll", "shell32.dll"}),
}


def load(name):
    path = BIN_DIR / name
    assert path.exists(), f"{path} was not built"
    return pefile.PE(str(path))


def manifest_of(pe):
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    for kind in getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None).entries:
        if kind.id == pefile.RESOURCE_TYPE["RT_MANIFEST"]:
            leaf = kind.directory.entries[0].directory.entries[0]
            return pe.get_data(leaf.data.struct.OffsetToData, leaf.data.struct.Size).decode()
    return None


@pytest.mark.parametrize("name", sorted(SHIPPED))
def test_is_32bit_x86_of_the_right_kind(name):
    pe = load(name)
    kind = SHIPPED[name][0]
    assert pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]
    assert pe.OPTIONAL_HEADER.Magic == 0x10B  # PE32, not PE32+
    assert bool(pe.FILE_HEADER.Characteristics & 0x2000) == (kind == "dll")


@pytest.mark.parametrize("name", sorted(SHIPPED))
def test_exports_exactly_its_functions_undecorated(name):
    pe = load(name)
    wanted = SHIPPED[name][1]
    if wanted is None:
        return
    names = {e.name.decode() for e in pe.DIRECTORY_ENTRY_EXPORT.symbols}
    assert names == wanted
    assert all(e.forwarder is None for e in pe.DIRECTORY_ENTRY_EXPORT.symbols)


@pytest.mark.parametrize("name", sorted(SHIPPED))
def test_imports_only_system_dlls(name):
    pe = load(name)
    imported = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    assert imported <= SHIPPED[name][2], imported - SHIPPED[name][2]


@pytest.mark.parametrize("name", sorted(SHIPPED))
def test_manifest_requests_as_invoker(name):
    manifest = manifest_of(load(name))
    assert manifest is not None, "no manifest resource"
    assert re.search(r'requestedExecutionLevel\s+level="asInvoker"', manifest)


def test_bin_holds_only_what_ships():
    # Test programs and examples are built elsewhere, so bin/ can be packed as it is.
    assert {p.name for p in BIN_DIR.iterdir()} <= set(SHIPPED) | {"Quennet.dll"}

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
    # advapi32: the processor's name for the report's system facts, from the registry.
    # winhttp.dll and shell32.dll are delay-loaded, so a crashed host does not wait for them.
    "orlent.exe": ("exe", None, SYSTEM_DLLS | {"dbghelp.dll", "version.dll", "advapi32.dll"}),
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


def test_orlent_sections_are_mapped_not_read_at_start_up():
    # A crashed host waits for orlent's start-up: Wine maps sections aligned to pages in the
    # file and reads all others in, its 14 MB of debug information included (about 40 ms).
    pe = load("orlent.exe")
    assert pe.OPTIONAL_HEADER.FileAlignment == pe.OPTIONAL_HEADER.SectionAlignment == 4096
    assert all(section.PointerToRawData % 4096 == 0 for section in pe.sections)


def test_bin_holds_only_what_ships():
    # Test programs and examples are built elsewhere, so bin/ can be packed as it is.
    assert {p.name for p in BIN_DIR.iterdir()} <= set(SHIPPED) | {"Quennet.dll"}


def coff_symbols(pe):
    """Address -> names of the COFF symbol table GCC leaves in the module (section symbols)."""
    header = pe.FILE_HEADER
    table, count = header.PointerToSymbolTable, header.NumberOfSymbols
    data = bytes(pe.__data__)
    strings = table + 18 * count
    names = {}
    index = 0
    while index < count:
        entry = data[table + 18 * index: table + 18 * index + 18]
        value = int.from_bytes(entry[8:12], "little")
        section = int.from_bytes(entry[12:14], "little", signed=True)
        aux = entry[17]
        if entry[:4] == b"\0\0\0\0":
            offset = int.from_bytes(entry[4:8], "little")
            name = data[strings + offset: data.index(b"\0", strings + offset)].decode()
        else:
            name = entry[:8].rstrip(b"\0").decode(errors="replace")
        if section > 0:
            address = pe.OPTIONAL_HEADER.ImageBase + pe.sections[section - 1].VirtualAddress + value
            names.setdefault(address, []).append(name)
        index += 1 + aux
    return names


# mingw-w64's own start-up code (tlssup.c) always puts these two in a DLL's TLS directory; they
# run at thread start and end, never on an exception. Anything more (winpthreads adds its own)
# fails the check.
CRT_TLS_CALLBACKS = {"___dyn_tls_init@12", "___dyn_tls_dtor@12"}


def test_vessick_registers_nothing_behind_the_hosts_back():
    pe = load("Vessick.dll")
    symbols = coff_symbols(pe)
    assert symbols, "no COFF symbol table to check against"
    assert not any("pthread" in name for names in symbols.values() for name in names)

    imported = {(entry.dll.decode().lower(), (i.name or b"").decode())
                for entry in pe.DIRECTORY_ENTRY_IMPORT for i in entry.imports}
    assert not any("pthread" in dll for dll, _ in imported)
    assert not any("VectoredExceptionHandler" in name for _, name in imported)

    tls = getattr(pe, "DIRECTORY_ENTRY_TLS", None)
    callbacks = []
    if tls is not None and tls.struct.AddressOfCallBacks:
        rva = tls.struct.AddressOfCallBacks - pe.OPTIONAL_HEADER.ImageBase
        while (address := pe.get_dword_at_rva(rva + 4 * len(callbacks))) != 0:
            callbacks.append(address)
    named = [set(symbols.get(address, [])) for address in callbacks]
    assert all(names & CRT_TLS_CALLBACKS for names in named), named

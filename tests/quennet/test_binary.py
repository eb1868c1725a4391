"""Quennet.dll as it ships: a 32-bit x86 DLL exporting exactly its two factories under plain
names, importing only system DLLs, with an asInvoker manifest."""
import pefile

from winproc import BIN_DIR

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll", "winhttp.dll", "bcrypt.dll"}


def test_quennet_dll_binary_interface():
    pe = pefile.PE(str(BIN_DIR / "Quennet.dll"))
    assert pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]
    assert pe.OPTIONAL_HEADER.Magic == 0x10B                      # PE32
    assert pe.FILE_HEADER.Characteristics & 0x2000                # a DLL
    exports = {e.name.decode(): e for e in pe.DIRECTORY_ENTRY_EXPORT.symbols}
    assert set(exports) == {"CreateQuennet", "CreateSimpleHttpRequest"}
    assert all(e.forwarder is None for e in exports.values())
    imported = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    assert imported <= SYSTEM_DLLS, imported - SYSTEM_DLLS
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    manifests = [k for k in pe.DIRECTORY_ENTRY_RESOURCE.entries
                 if k.id == pefile.RESOURCE_TYPE["RT_MANIFEST"]]
    leaf = manifests[0].directory.entries[0].directory.entries[0]
    assert manifests[0].directory.entries[0].id == 2              # where a DLL's manifest goes
    text = pe.get_data(leaf.data.struct.OffsetToData, leaf.data.struct.Size).decode()
    assert 'level="asInvoker"' in text


def test_factories_are_stdcall():
    """Callee-cleans: each factory's code ends with `ret 24` / `ret 28` (C2 imm16)."""
    pe = pefile.PE(str(BIN_DIR / "Quennet.dll"))
    image = pe.get_memory_mapped_image()
    for symbol in pe.DIRECTORY_ENTRY_EXPORT.symbols:
        argument_bytes = {b"CreateQuennet": 24, b"CreateSimpleHttpRequest": 28}[symbol.name]
        code = image[symbol.address:symbol.address + 400]
        assert bytes([0xC2, argument_bytes, 0]) in code, symbol.name


def test_carries_no_winpthreads():
    """Built with the win32 thread model: no winpthreads inside, so loading the DLL registers
    no vectored exception handler that every exception of the host would pay for."""
    pe = pefile.PE(str(BIN_DIR / "Quennet.dll"))
    imported = {imp.name.decode() for entry in pe.DIRECTORY_ENTRY_IMPORT for imp in entry.imports
                if imp.name}
    assert "AddVectoredExceptionHandler" not in imported
    data = (BIN_DIR / "Quennet.dll").read_bytes()
    assert b"pthread_mutex" not in data and b"winpthread" not in data.lower()

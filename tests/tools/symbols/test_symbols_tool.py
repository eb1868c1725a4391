"""vessick_symbols on the shipped Vessick.dll, held against the toolchain's own readers.

The store must be laid out as symbol servers lay theirs, the shipped file must have lost its
debug information but kept its CodeView identity and a debuglink, and the Breakpad file's
functions, lines and unwind ranges must be what addr2line and objdump read from the build.
"""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[3]
BUILD_DIR = Path(os.environ.get("BUILD_DIR", ROOT / "build"))
MODULE = BUILD_DIR / "bin" / "Vessick.dll"
sys.path.insert(0, str(ROOT / "tools" / "symbols"))
import vessick_symbols  # noqa: E402


@pytest.fixture(scope="module")
def made():
    scratch = Path(tempfile.mkdtemp(prefix="vessick-symbols-"))
    try:
        subprocess.run([sys.executable, str(ROOT / "tools/symbols/vessick_symbols.py"),
                        "--store", str(scratch / "store"), "--out", str(scratch / "out"),
                        str(MODULE)], check=True, capture_output=True)
        yield scratch
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def sections(path):
    out = subprocess.run(["i686-w64-mingw32-objdump", "-h", str(path)], check=True,
                         capture_output=True, text=True).stdout
    return set(re.findall(r"^\s*\d+\s+(\S+)", out, re.M))


def test_the_store_and_the_shipped_file_keep_one_identity(made):
    built = vessick_symbols.Identity(MODULE)
    shipped = vessick_symbols.Identity(made / "out" / "Vessick.dll")
    assert built.pdb_name.endswith("Vessick.pdb") and built.guid is not None
    assert (shipped.guid, shipped.age) == (built.guid, built.age)
    debug = made / "store" / "Vessick.pdb" / built.debug_id() / "Vessick.pdb"
    image = made / "store" / "Vessick.dll" / shipped.code_id() / "Vessick.dll"
    assert debug.is_file() and image.is_file()
    assert ".debug_info" in sections(debug) and ".debug_line" in sections(debug)
    shipped_sections = sections(image)
    assert ".gnu_debuglink" in shipped_sections
    assert not any(s.startswith(".debug_") for s in shipped_sections)


def test_the_breakpad_file_says_what_the_build_says(made):
    built = vessick_symbols.Identity(MODULE)
    sym = (made / "store" / "Vessick.pdb" / built.debug_id() / "Vessick.sym").read_text()
    lines = sym.splitlines()
    assert lines[0] == f"MODULE windows x86 {built.debug_id()} Vessick.pdb"
    shipped = vessick_symbols.Identity(made / "out" / "Vessick.dll")
    assert lines[1] == f"INFO CODE_ID {shipped.code_id()} Vessick.dll"
    files = {int(m[1]): m[2] for m in re.finditer(r"^FILE (\d+) (.*)$", sym, re.M)}
    funcs = re.findall(r"^FUNC ([0-9a-f]+) ([0-9a-f]+) 0 (.*)\n((?:[0-9a-f]+ .*\n)*)", sym, re.M)
    assert len(funcs) > 50
    picked = random.Random(7).sample(funcs, 12)
    addresses, expected = [], []
    for address, _, name, records in picked:
        addresses.append(built.image_base + int(address, 16))
        expected.append(("func", name))
        for record in (r.split() for r in records.splitlines()):
            addresses.append(built.image_base + int(record[0], 16))
            expected.append(("line", int(record[2]), files[int(record[3])]))
    rows = {}
    decoded = subprocess.run(["i686-w64-mingw32-objdump", "--dwarf=decodedline", str(MODULE)],
                             check=True, capture_output=True, text=True).stdout
    for name, line, at in re.findall(r"^(\S+)\s+(\d+)\s+(0x[0-9a-f]+)", decoded, re.M):
        rows[int(at, 16)] = (name, int(line))  # the last row at an address holds
    for address, want in zip(addresses, expected):
        # With -i, addr2line lists the inlined calls innermost first, the function last.
        out = subprocess.run(["i686-w64-mingw32-addr2line", "-C", "-f", "-i", "-e", str(MODULE),
                              hex(address)], check=True, capture_output=True,
                             text=True).stdout.splitlines()
        if want[0] == "func":
            # addr2line drops the target's one leading underscore of every name, and so leaves
            # C++ names of DWARF linkage names mangled: c++filt reads them back.
            function = out[-2]
            if function.startswith("Z"):
                function = subprocess.run(["i686-w64-mingw32-c++filt", "--no-strip-underscore",
                                           "_" + function], check=True, capture_output=True,
                                          text=True).stdout.strip()
            assert function.lstrip("_") == want[1].lstrip("_"), (want, out)
        else:
            # binutils 2.40's addr2line takes some DWARF 5 lines' files from the wrong table
            # entry; objdump's decoder of the line program is the oracle for lines.
            assert rows.get(address) == (Path(want[2]).name, want[1]), (want, rows.get(address))

    frames = subprocess.run(["i686-w64-mingw32-objdump", "--dwarf=frames", str(MODULE)],
                            check=True, capture_output=True, text=True).stdout
    fde = {(int(lo, 16) - built.image_base, int(hi, 16) - int(lo, 16))
           for lo, hi in re.findall(r"FDE cie=\w+ pc=(\w+)\.\.(\w+)", frames)}
    init = {(int(a, 16), int(s, 16))
            for a, s in re.findall(r"^STACK CFI INIT ([0-9a-f]+) ([0-9a-f]+) ", sym, re.M)}
    assert init and init <= fde
    assert len(init) > 0.9 * len(fde)  # only realigned frames are left to orlent's own reader

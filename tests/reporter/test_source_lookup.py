"""orlent's own DWARF reader, held against addr2line over every instruction of a sample module.

The sample (dwarf_sample.cpp) is built optimised with DWARF 4 and with DWARF 5, so that calls
are inlined two deep and a function is split into hot and cold parts. For each instruction of
its functions, the chain the reporter's lookup gives (innermost inlined function first, then
each caller at its call line) must be the one `addr2line -f -i -C` prints, name for name and
line for line. A return address is looked up at the byte before it. The stripped build finds
its debug file beside it through .gnu_debuglink, or in a symbol store laid out as NAME/ID/NAME,
and a debug file of another build is refused.
"""
import re
import shutil
import struct
import subprocess
import tempfile
from pathlib import Path

import pytest

from winproc import TEST_BIN_DIR, run, winpath

DRIVER = TEST_BIN_DIR / "source_lookup_driver.exe"


def image_base(path):
    data = path.read_bytes()
    nt = struct.unpack_from("<I", data, 0x3C)[0]
    return struct.unpack_from("<I", data, nt + 24 + 28)[0]


def instruction_rvas(path, symbols_from=None):
    """Every instruction address in the sample's own functions, as RVAs. A stripped module's
    functions are found by the symbols of its debug file, `symbols_from`."""
    base = image_base(path)
    names = subprocess.run(["i686-w64-mingw32-nm", "-C", "-n", str(symbols_from or path)],
                           capture_output=True, text=True, check=True).stdout
    starts = [(int(a, 16), name) for a, kind, name in
              (line.split(" ", 2) for line in names.splitlines() if line[:1] != " ")
              if kind in "tT"]
    ranges = [(start, following[0]) for (start, name), following in zip(starts, starts[1:])
              if re.search(r"sample|Mix|Rare|Sample", name)]
    listing = subprocess.run(["i686-w64-mingw32-objdump", "-d", str(path)],
                             capture_output=True, text=True, check=True).stdout
    rvas = []
    for line in listing.splitlines():
        instruction = re.match(r"^\s*([0-9a-f]+):\t", line)
        if instruction:
            address = int(instruction.group(1), 16)
            if any(low <= address < high for low, high in ranges):
                rvas.append(address - base)
    return rvas


def addr2line_chains(path, rvas):
    """{rva: [(function, file, line), ...]} as addr2line -a -f -i -C prints them."""
    base = image_base(path)
    output = subprocess.run(["i686-w64-mingw32-addr2line", "-a", "-f", "-i", "-C", "-e", str(path)]
                            + [hex(base + rva) for rva in rvas],
                            capture_output=True, text=True, check=True).stdout
    chains, current = {}, None
    lines = output.splitlines()
    at = 0
    while at < len(lines):
        if re.fullmatch(r"0x[0-9a-f]+", lines[at]):
            current = chains.setdefault(int(lines[at], 16) - base, [])
            at += 1
            continue
        function, place = lines[at], lines[at + 1]
        at += 2
        file, _, number = place.rpartition(":")
        number = number.split(" ")[0]
        current.append((function, file, int(number) if number.isdigit() else 0))
    assert sorted(chains) == sorted(set(rvas))
    return chains


def lookup(module, rvas, *options):
    outcome = run(DRIVER, winpath(module), *options, *(f"{rva:X}" for rva in rvas), timeout=120)
    assert outcome.exit_code == 0, outcome
    chains = {rva: [] for rva in rvas}
    entries, notes, debug_file = {}, [], None
    for line in outcome.stdout.decode("utf-8").splitlines():
        fields = line.rstrip("\r").split("\t")
        if fields[0] == "debugfile":
            debug_file = fields[1]
        elif fields[0] == "note":
            notes.append(fields[1])
        elif fields[1] == "entry":
            entries[int(fields[0], 16)] = int(fields[2], 16)
        else:
            chains[int(fields[0], 16)].append((fields[1], fields[2], int(fields[3])))
    return chains, entries, debug_file, notes


_demangled = {}


def demangle(name):
    """addr2line for a PE file takes the target's leading underscore off a linkage name before
    it demangles ("_ZN4game4StepEv" becomes "ZN4game4StepEv" and stays mangled): put it back."""
    if not re.fullmatch(r"Z[NL0-9].*", name):
        return name
    if name not in _demangled:
        _demangled[name] = subprocess.run(["i686-w64-mingw32-c++filt", "__" + name],
                                          capture_output=True, text=True,
                                          check=True).stdout.strip()
    return _demangled[name]


def expected(chain):
    """addr2line's chain as the lookup states it: unknown names and places left empty. Where
    it knows neither function nor line, addr2line prints the name of a unit whose range is
    nearest ("fake:?" for padding after a cold part): that is no answer."""
    return [("" if f == "??" else demangle(f), "" if file == "??" else file, line)
            for f, file, line in chain if not (f == "??" and line == 0)]


@pytest.fixture(scope="module")
def scratch():
    folder = Path(tempfile.mkdtemp(prefix="orlent-sources-"))
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


@pytest.mark.parametrize("build", ["dwarf_sample_v4", "dwarf_sample_v5"])
def test_every_instruction_has_the_chain_addr2line_gives(build):
    module = TEST_BIN_DIR / f"lib{build}.dll"
    rvas = instruction_rvas(module)
    assert len(rvas) > 40, rvas
    oracle = addr2line_chains(module, rvas)
    ours, entries, debug_file, notes = lookup(module, rvas)
    assert notes == [], notes
    assert Path(debug_file.replace("\\", "/")).name == module.name
    mismatches = [(hex(rva), ours[rva], expected(oracle[rva])) for rva in rvas
                  if ours[rva] != expected(oracle[rva])]
    assert not mismatches, mismatches[:10]
    # The sample inlines two deep somewhere, and names a cold part's function.
    assert max(len(chain) for chain in ours.values()) >= 3
    assert any(chain and chain[-1][0] == "Rare" for rva, chain in ours.items()
               if rva > max(entries.values(), default=0))


@pytest.mark.parametrize("build", ["dwarf_sample_v4", "dwarf_sample_v5"])
def test_a_return_address_is_named_by_the_call_before_it(build):
    module = TEST_BIN_DIR / f"lib{build}.dll"
    rvas = instruction_rvas(module)[1::3]
    oracle = addr2line_chains(module, rvas)
    ours, _, _, _ = lookup(module, [rva + 1 for rva in rvas], "return")
    mismatches = [(hex(rva), ours[rva + 1], expected(oracle[rva])) for rva in rvas
                  if ours[rva + 1] != expected(oracle[rva])]
    assert not mismatches, mismatches[:10]


def store_id(path):
    data = path.read_bytes()
    nt = struct.unpack_from("<I", data, 0x3C)[0]
    stamp = struct.unpack_from("<I", data, nt + 8)[0]
    size = struct.unpack_from("<I", data, nt + 24 + 56)[0]
    return f"{stamp:08X}{size:x}"


def test_a_stripped_module_finds_its_debug_file_beside_it_and_in_a_store(scratch):
    stripped = TEST_BIN_DIR / "libdwarf_sample_split.dll"
    debug = TEST_BIN_DIR / "dwarf_sample_split.debug"
    reference = TEST_BIN_DIR / "libdwarf_sample_v5.dll"  # the same source and flags
    rvas = instruction_rvas(stripped, symbols_from=debug)
    assert len(rvas) > 40
    oracle = addr2line_chains(debug, rvas)

    ours, _, found, notes = lookup(stripped, rvas)
    assert found and found.replace("\\", "/").endswith("/dwarf_sample_split.debug"), (found, notes)
    assert all(ours[rva] == expected(oracle[rva]) for rva in rvas)

    # In a store: NAME/ID/NAME, NAME being the debuglink's name, ID the module's stamp and size.
    store = scratch / "store"
    entry = store / "dwarf_sample_split.debug" / store_id(stripped)
    entry.mkdir(parents=True)
    shutil.copy(debug, entry / "dwarf_sample_split.debug")
    lone = scratch / "lone"
    lone.mkdir()
    shutil.copy(stripped, lone / stripped.name)
    ours, _, found, notes = lookup(lone / stripped.name, rvas, f"store={winpath(store)}")
    assert found and "store" in found, (found, notes)
    assert all(ours[rva] == expected(oracle[rva]) for rva in rvas)

    # Another build's debug file under the same name is refused: its CRC is not the link's.
    other = scratch / "other"
    other.mkdir()
    shutil.copy(stripped, other / stripped.name)
    shutil.copy(reference, other / "dwarf_sample_split.debug")
    ours, _, found, notes = lookup(other / stripped.name, rvas[:5])
    assert found == "", (found, notes)
    assert any("CRC-32" in note for note in notes), notes
    assert all(chain == [] for chain in ours.values())

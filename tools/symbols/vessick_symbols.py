#!/usr/bin/env python3
"""vessick_symbols: ships stripped modules and keeps what names their crashes afterwards.

    vessick_symbols.py --store STORE --out SHIPPED [--strip-debug] MODULE...

For each MODULE (an .exe or .dll as the build links it, with its DWARF):
  SHIPPED/NAME            the module to ship: stripped (all symbols, or --strip-debug: only the
                          debug information), with a .gnu_debuglink naming its debug file
  STORE/DEBUG/ID/DEBUG    the debug file (objcopy --only-keep-debug), filed as Windows symbol
                          servers file debug files: DEBUG is the module's CodeView file name
                          (GNU ld --pdb=) or else NAME.debug, ID the CodeView GUID and age
  STORE/NAME/TSSIZE/NAME  the shipped image, filed by TimeDateStamp and SizeOfImage
  STORE/DEBUG/ID/STEM.sym a Breakpad text symbol file (MODULE, INFO CODE_ID, FILE, FUNC with
                          line records, PUBLIC, STACK CFI) for Breakpad-compatible collectors

orlent.exe names a report's frames from the store: `symbol_path = STORE` in orlent.ini's
[symbols] section, or `orlent /symbolize REPORT_FOLDER STORE` for a report from elsewhere.
Needs binutils for the target (OBJCOPY, default i686-w64-mingw32-objcopy), pefile and pyelftools.
"""
import argparse
import io
import os
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pefile
from elftools.dwarf.callframe import CIE, FDE
from elftools.dwarf.dwarfinfo import DWARFInfo, DebugSectionDescriptor, DwarfConfig
from elftools.dwarf.enums import ENUM_DW_AT

OBJCOPY = os.environ.get("OBJCOPY", "i686-w64-mingw32-objcopy")
# The attribute (0x47) by which a definition refers to the declaration it completes.
DECLARATION_OF = next(name for name, code in ENUM_DW_AT.items() if code == 0x47)
REGISTERS = ["$eax", "$ecx", "$edx", "$ebx", "$esp", "$ebp", "$esi", "$edi", "$eip"]


class Identity:
    """What a symbol server files a module and its debug file under."""

    def __init__(self, path):
        pe = pefile.PE(str(path), fast_load=True)
        pe.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DEBUG"]])
        self.time_date_stamp = pe.FILE_HEADER.TimeDateStamp
        self.size_of_image = pe.OPTIONAL_HEADER.SizeOfImage
        self.image_base = pe.OPTIONAL_HEADER.ImageBase
        self.guid = None
        self.age = 0
        self.pdb_name = ""
        raw = pe.__data__
        for entry in getattr(pe, "DIRECTORY_ENTRY_DEBUG", []):
            at = entry.struct.PointerToRawData
            if entry.struct.Type != 2 or raw[at:at + 4] != b"RSDS":  # CodeView
                continue
            self.guid = bytes(raw[at + 4:at + 20])
            self.age = struct.unpack("<I", raw[at + 20:at + 24])[0]
            end = raw.find(b"\0", at + 24)
            self.pdb_name = bytes(raw[at + 24:end]).decode("utf-8", "replace")
        pe.close()

    def guid_text(self):
        """The GUID as debuggers print it, without dashes: Data1-3 as numbers, Data4 as bytes."""
        d1, d2, d3 = struct.unpack("<IHH", self.guid[:8])
        return f"{d1:08X}{d2:04X}{d3:04X}" + self.guid[8:].hex().upper()

    def debug_id(self):
        return self.guid_text() + f"{self.age:X}" if self.guid else None

    def code_id(self):
        return f"{self.time_date_stamp:08X}{self.size_of_image:x}"


def dwarf_of(path):
    """pyelftools' reader over the DWARF sections of a PE file."""
    pe = pefile.PE(str(path), fast_load=True)
    raw = open(path, "rb").read()
    strings_at = pe.FILE_HEADER.PointerToSymbolTable + 18 * pe.FILE_HEADER.NumberOfSymbols
    sections = {}
    for s in pe.sections:
        name = s.Name.rstrip(b"\0").decode()
        if name.startswith("/") and pe.FILE_HEADER.PointerToSymbolTable:
            at = strings_at + int(name[1:])
            name = raw[at:raw.index(b"\0", at)].decode()
        size = s.Misc_VirtualSize or s.SizeOfRawData
        data = raw[s.PointerToRawData:s.PointerToRawData + min(size, s.SizeOfRawData)]
        sections[name] = (data, pe.OPTIONAL_HEADER.ImageBase + s.VirtualAddress)
    pe.close()

    def descriptor(name):
        if name not in sections:
            return None
        data, address = sections[name]
        return DebugSectionDescriptor(io.BytesIO(data), name, 0, len(data), address)

    names = [".debug_info", ".debug_aranges", ".debug_abbrev", ".debug_frame", ".eh_frame",
             ".debug_str", ".debug_loc", ".debug_ranges", ".debug_line", ".debug_pubtypes",
             ".debug_pubnames", ".debug_addr", ".debug_str_offsets", ".debug_line_str",
             ".debug_loclists", ".debug_rnglists", ".debug_sup", ".gnu_debugaltlink"]
    config = DwarfConfig(little_endian=True, machine_arch="x86", default_address_size=4)
    return DWARFInfo(config, *[descriptor(n) for n in names]), sections


def function_name(die):
    """The linkage (mangled) name where there is one, else the plain name, following the
    declaration or the abstract instance an out-of-line copy refers to."""
    for _ in range(4):
        for attribute in ("DW_AT_linkage_name", "DW_AT_MIPS_linkage_name", "DW_AT_name"):
            if attribute in die.attributes:
                return die.attributes[attribute].value.decode("utf-8", "replace")
        origin = next((a for a in ("DW_AT_abstract_origin", DECLARATION_OF)
                       if a in die.attributes), None)
        if origin is None:
            break
        die = die.get_DIE_from_attribute(origin)
    return "<unknown>"


def demangled(names):
    """C++ names as developers read them, in one call of the toolchain's c++filt."""
    filt = OBJCOPY.replace("objcopy", "c++filt")
    result = subprocess.run([filt, "--no-strip-underscore"], input="\n".join(names),
                            capture_output=True, text=True)
    out = result.stdout.split("\n")
    return out[:len(names)] if result.returncode == 0 and len(out) >= len(names) else names


def functions_and_lines(dwarf, image_base):
    """FUNC records with their line records, and the FILE table, as RVAs."""
    files, file_index, funcs = [], {}, []
    for unit in dwarf.iter_CUs():
        program = dwarf.line_program_for_CU(unit)
        rows = []
        if program is not None:
            entries = program["file_entry"]
            dirs = program["include_directory"]
            version = program.header["version"]

            def file_name(index):
                entry = entries[index if version >= 5 else index - 1]
                folder = dirs[entry.dir_index if version >= 5 else entry.dir_index - 1] \
                    if (version >= 5 or entry.dir_index > 0) else b""
                name = entry.name.decode("utf-8", "replace")
                return name if os.path.isabs(name) or not folder else \
                    os.path.join(folder.decode("utf-8", "replace"), name)

            previous = None
            for entry in program.get_entries():
                state = entry.state
                if state is None:
                    continue
                if previous is not None and not previous.end_sequence:
                    rows.append((previous.address, state.address, previous.line,
                                 file_name(previous.file)))
                previous = state
        for die in unit.iter_DIEs():
            if die.tag != "DW_TAG_subprogram" or "DW_AT_low_pc" not in die.attributes:
                continue
            low = die.attributes["DW_AT_low_pc"].value
            high = die.attributes.get("DW_AT_high_pc")
            if high is None:
                continue
            end = high.value if high.form == "DW_FORM_addr" else low + high.value
            name = function_name(die)
            lines = []
            for start, stop, line, path in rows:
                if start < end and stop > low and stop > start:
                    if path not in file_index:
                        file_index[path] = len(files)
                        files.append(path)
                    lines.append((max(start, low) - image_base, min(stop, end) - max(start, low),
                                  line, file_index[path]))
            funcs.append((low - image_base, end - low, name, sorted(lines)))
    names = demangled([f[2] for f in funcs])
    return files, sorted((a, size, n, lines) for (a, size, _, lines), n in zip(funcs, names))


def stack_cfi(dwarf, image_base):
    """STACK CFI INIT and STACK CFI records from the call frame information."""
    out = []
    entries = dwarf.EH_CFI_entries() if dwarf.has_EH_CFI() else (
        dwarf.CFI_entries() if dwarf.has_CFI() else [])
    for entry in entries:
        if not isinstance(entry, FDE):
            continue
        start, size = entry.header["initial_location"], entry.header["address_range"]
        table = entry.get_decoded()
        previous = None
        for row in table.table:
            cfa = row["cfa"]
            if cfa.expr is not None or cfa.reg is None or cfa.reg >= len(REGISTERS):
                break  # a realigned frame: orlent reads its rules itself
            rules = [f".cfa: {REGISTERS[cfa.reg]} {cfa.offset} +"]
            for reg, rule in sorted((r, v) for r, v in row.items() if isinstance(r, int)):
                if reg >= len(REGISTERS) or rule.type != "OFFSET":
                    continue
                name = ".ra" if reg == 8 else REGISTERS[reg]
                sign = "+" if rule.arg >= 0 else "-"
                rules.append(f"{name}: .cfa {abs(rule.arg)} {sign} ^")
            text = " ".join(rules)
            if previous is None:
                out.append(f"STACK CFI INIT {row['pc'] - image_base:x} {size:x} {text}")
            elif text != previous:
                out.append(f"STACK CFI {row['pc'] - image_base:x} {text}")
            previous = text
    return out


def publics(path, image_base):
    """PUBLIC records from the COFF symbol table (as nm reads it)."""
    nm = OBJCOPY.replace("objcopy", "nm")
    out = subprocess.run([nm, "-n", str(path)], capture_output=True, text=True).stdout
    records = []
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[1] in "tT" and not parts[2].startswith("."):
            records.append(f"PUBLIC {int(parts[0], 16) - image_base:x} 0 {parts[2].lstrip('_')}")
    return records


def breakpad_symbols(module, debug_name, identity, shipped_identity):
    dwarf, _ = dwarf_of(module)
    files, funcs = functions_and_lines(dwarf, identity.image_base)
    lines = [f"MODULE windows x86 {identity.debug_id()} {debug_name}",
             f"INFO CODE_ID {shipped_identity.code_id()} {Path(module).name}"]
    lines += [f"FILE {i} {path}" for i, path in enumerate(files)]
    for address, size, name, records in funcs:
        lines.append(f"FUNC {address:x} {size:x} 0 {name}")
        lines += [f"{a:x} {s:x} {line} {f}" for a, s, line, f in records if s > 0]
    lines += publics(module, identity.image_base)
    lines += stack_cfi(dwarf, identity.image_base)
    return "\n".join(lines) + "\n"


def process(module, store, out, strip_option):
    module = Path(module).resolve()
    out = out.resolve()
    identity = Identity(module)
    if identity.guid is None:
        raise SystemExit(f"{module}: no CodeView record; link with -Wl,--build-id "
                         f"-Wl,--pdb={module.stem}.pdb so that the store can key it")
    debug_name = Path(identity.pdb_name.replace("\\", "/")).name or module.name + ".debug"
    out.mkdir(parents=True, exist_ok=True)
    debug_file = out / (module.stem + ".debug")
    shipped = out / module.name
    subprocess.run([OBJCOPY, "--only-keep-debug", str(module), str(debug_file)], check=True)
    subprocess.run([OBJCOPY, strip_option, str(module), str(shipped)], check=True)
    subprocess.run([OBJCOPY, f"--add-gnu-debuglink={debug_file}", str(shipped)], check=True,
                   cwd=out)
    shipped_id = Identity(shipped)
    if (shipped_id.guid, shipped_id.age) != (identity.guid, identity.age):
        raise SystemExit(f"{shipped}: stripping changed the CodeView identity")
    notes = []
    if shipped_id.time_date_stamp != identity.time_date_stamp:
        notes.append("TimeDateStamp")
    if shipped_id.size_of_image != identity.size_of_image:
        notes.append("SizeOfImage")
    debug_folder = Path(store) / debug_name / identity.debug_id()
    debug_folder.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(debug_file, debug_folder / debug_name)
    (debug_folder / (Path(debug_name).stem + ".sym")).write_text(
        breakpad_symbols(module, debug_name, identity, shipped_id), encoding="utf-8")
    image_folder = Path(store) / module.name / shipped_id.code_id()
    image_folder.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(shipped, image_folder / module.name)
    debug_file.unlink()  # it lives in the store; the shipped file names it by its debuglink
    changed = f" (strip changed {' and '.join(notes)}; the CodeView identity held)" if notes else ""
    print(f"{module.name}: shipped {shipped}, debug file {debug_folder / debug_name}{changed}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--store", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--strip-debug", action="store_true",
                        help="keep the COFF symbols in the shipped file (names without a store)")
    parser.add_argument("modules", nargs="+")
    args = parser.parse_args(argv)
    for module in args.modules:
        process(module, args.store, Path(args.out),
                "--strip-debug" if args.strip_debug else "--strip-all")
    return 0


if __name__ == "__main__":
    sys.exit(main())

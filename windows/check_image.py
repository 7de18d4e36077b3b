#!/usr/bin/env python3
"""Checks a Windows x64 image built by windows/build.sh.

The driver profile (the default) verifies what the kernel's loader and the
code-integrity policy expect of zentaflt.sys:

  format        DOS and PE headers parse; PE32+ optional header
  machine       x64 (0x8664)
  subsystem     native (1)
  wdm           DLL characteristics carry WDM_DRIVER (0x2000)
  nx            DLL characteristics carry NX_COMPAT (0x100)
  dynamic-base  DLL characteristics carry DYNAMIC_BASE (0x40)
  relocations   a non-empty, well-formed base-relocation directory, and the
                relocs-stripped flag clear
  checksum      the stored PE checksum is non-zero and equals the computed one
  unwind        a non-empty exception directory (.pdata) whose entries are
                sorted, lie in executable sections, point at readable unwind
                data, and cover the entry point
  seh           every language handler named in the unwind data is
                ntoskrnl.exe's __C_specific_handler, and the handlers' scope
                tables hold at least as many __except scopes as
                --min-seh-scopes, or as the sources given with
                --except-sources write (clang drops a __try whose body makes
                no call, so a missing scope means a fault would go uncaught)
  wx            no section is both writable and executable
  tls           no TLS directory
  constructors  no constructor or terminator section (.ctors, .dtors,
                .init_array, .fini_array, .CRT*)
  imports       imports come only from ntoskrnl.exe, HAL.dll and FLTMGR.SYS
                (any case), by name, and there are no delay-load imports
  open-reparse  FLTMGR.SYS's import list names FltAddOpenReparseEntry and
                FltRemoveOpenReparseEntry; a failure counts only with
                --require-open-reparse, otherwise it is reported as PENDING

The console profile (the service program) checks format, machine,
subsystem console (3), nx, dynamic-base, relocations and wx.

Exit status: 0 when every counted check passes, 1 when one fails, 2 on a
usage error.  The PE layout is read by hand with struct, following the
published PE/COFF format.
"""

import argparse
import re
import struct
import sys

MACHINE_AMD64 = 0x8664
MAGIC_PE32 = 0x10B
MAGIC_PE32_PLUS = 0x20B
SUBSYSTEM_NATIVE = 1
SUBSYSTEM_WINDOWS_CUI = 3

FILE_RELOCS_STRIPPED = 0x0001

DLLCHAR_HIGH_ENTROPY_VA = 0x0020
DLLCHAR_DYNAMIC_BASE = 0x0040
DLLCHAR_NX_COMPAT = 0x0100
DLLCHAR_WDM_DRIVER = 0x2000

SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_READ = 0x40000000
SCN_MEM_WRITE = 0x80000000

DIR_IMPORT = 1
DIR_EXCEPTION = 3
DIR_BASERELOC = 5
DIR_TLS = 9
DIR_DELAY_IMPORT = 13

UNW_FLAG_EHANDLER = 0x1
UNW_FLAG_UHANDLER = 0x2
UNW_FLAG_CHAININFO = 0x4

# Offsets inside the PE32+ optional header.
OPT_CHECKSUM = 64
OPT_SUBSYSTEM = 68
OPT_DLLCHARACTERISTICS = 70
OPT_NUMBER_OF_RVA_AND_SIZES = 108
OPT_DATA_DIRECTORIES = 112

DRIVER_IMPORT_MODULES = ("ntoskrnl.exe", "hal.dll", "fltmgr.sys")
OPEN_REPARSE_ROUTINES = ("FltAddOpenReparseEntry", "FltRemoveOpenReparseEntry")
SEH_HANDLER = ("ntoskrnl.exe", "__C_specific_handler")
CONSTRUCTOR_SECTION_PREFIXES = (".ctors", ".dtors", ".init_array", ".fini_array", ".crt")

DRIVER_CHECKS = ("format", "machine", "subsystem", "wdm", "nx", "dynamic-base", "relocations", "checksum",
                 "unwind", "seh", "wx", "tls", "constructors", "imports", "open-reparse")
CONSOLE_CHECKS = ("format", "machine", "subsystem", "nx", "dynamic-base", "relocations", "wx")

PASS = "PASS"
FAIL = "FAIL"
PENDING = "PENDING"


class ImageError(Exception):
    """The bytes are not a PE image this script can read."""


class Section:
    def __init__(self, name, virtual_size, virtual_address, raw_size, raw_pointer, characteristics):
        self.name = name
        self.virtual_size = virtual_size
        self.virtual_address = virtual_address
        self.raw_size = raw_size
        self.raw_pointer = raw_pointer
        self.characteristics = characteristics

    def contains(self, rva):
        return self.virtual_address <= rva < self.virtual_address + max(self.virtual_size, self.raw_size)


class Image:
    """The headers, sections and directories of a PE image."""

    def __init__(self, data):
        self.data = bytes(data)
        if len(self.data) < 0x40 or self.data[:2] != b"MZ":
            raise ImageError("no MZ header")
        (self.pe_offset,) = struct.unpack_from("<I", self.data, 0x3C)
        if self.pe_offset + 24 > len(self.data) or self.data[self.pe_offset:self.pe_offset + 4] != b"PE\0\0":
            raise ImageError("no PE signature at 0x%x" % self.pe_offset)
        (self.machine, section_count, _timestamp, self.symbol_table, self.symbol_count, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", self.data, self.pe_offset + 4)
        self.optional_offset = self.pe_offset + 24
        if optional_size < OPT_DATA_DIRECTORIES or self.optional_offset + optional_size > len(self.data):
            raise ImageError("optional header of %d bytes is too short or truncated" % optional_size)
        (self.magic,) = struct.unpack_from("<H", self.data, self.optional_offset)
        if self.magic != MAGIC_PE32_PLUS:
            raise ImageError("optional header magic 0x%x is not PE32+ (0x20b)" % self.magic)
        (self.entry_point,) = struct.unpack_from("<I", self.data, self.optional_offset + 16)
        (self.image_base,) = struct.unpack_from("<Q", self.data, self.optional_offset + 24)
        (self.size_of_image,) = struct.unpack_from("<I", self.data, self.optional_offset + 56)
        self.checksum_offset = self.optional_offset + OPT_CHECKSUM
        (self.checksum,) = struct.unpack_from("<I", self.data, self.checksum_offset)
        (self.subsystem, self.dll_characteristics) = struct.unpack_from("<HH", self.data,
                                                                         self.optional_offset + OPT_SUBSYSTEM)
        (directory_count,) = struct.unpack_from("<I", self.data, self.optional_offset + OPT_NUMBER_OF_RVA_AND_SIZES)
        directory_count = min(directory_count, (optional_size - OPT_DATA_DIRECTORIES) // 8)
        self.directories = []
        for index in range(16):
            if index < directory_count:
                self.directories.append(struct.unpack_from(
                    "<II", self.data, self.optional_offset + OPT_DATA_DIRECTORIES + 8 * index))
            else:
                self.directories.append((0, 0))
        section_offset = self.optional_offset + optional_size
        self.section_table_offset = section_offset
        if section_offset + 40 * section_count > len(self.data):
            raise ImageError("section table is truncated")
        self.sections = []
        for index in range(section_count):
            (raw_name, virtual_size, virtual_address, raw_size, raw_pointer, _relocs, _lines, _nrelocs, _nlines,
             characteristics) = struct.unpack_from("<8sIIIIIIHHI", self.data, section_offset + 40 * index)
            self.sections.append(Section(self._section_name(raw_name), virtual_size, virtual_address, raw_size,
                                         raw_pointer, characteristics))

    def _section_name(self, raw_name):
        name = raw_name.rstrip(b"\0").decode("latin-1")
        # A long name is "/offset" into the COFF string table, which follows
        # the symbol table.
        if name.startswith("/") and name[1:].isdigit() and self.symbol_table:
            strings = self.symbol_table + 18 * self.symbol_count
            start = strings + int(name[1:])
            end = self.data.find(b"\0", start)
            if start < len(self.data) and end > start:
                return self.data[start:end].decode("latin-1")
        return name

    def section_of(self, rva):
        for section in self.sections:
            if section.contains(rva):
                return section
        return None

    def offset_of(self, rva):
        """File offset of an RVA that has bytes in the file."""
        section = self.section_of(rva)
        if section is None:
            first = min((s.virtual_address for s in self.sections), default=len(self.data))
            if rva < first:
                return rva  # inside the headers, which map at offset 0
            raise ImageError("RVA 0x%x lies in no section" % rva)
        delta = rva - section.virtual_address
        if delta >= section.raw_size:
            raise ImageError("RVA 0x%x lies in %s past its file data" % (rva, section.name))
        return section.raw_pointer + delta

    def read(self, rva, size):
        offset = self.offset_of(rva)
        if offset + size > len(self.data):
            raise ImageError("RVA 0x%x + %d runs past the end of the file" % (rva, size))
        return self.data[offset:offset + size]

    def u16(self, rva):
        return struct.unpack("<H", self.read(rva, 2))[0]

    def u32(self, rva):
        return struct.unpack("<I", self.read(rva, 4))[0]

    def u64(self, rva):
        return struct.unpack("<Q", self.read(rva, 8))[0]

    def cstring(self, rva, limit=512):
        offset = self.offset_of(rva)
        end = self.data.find(b"\0", offset, offset + limit)
        if end < 0:
            raise ImageError("unterminated string at RVA 0x%x" % rva)
        return self.data[offset:end].decode("latin-1")

    def directory(self, index):
        return self.directories[index]

    # --------------------------------------------------------------------
    # Imports.
    # --------------------------------------------------------------------
    def imports(self):
        """[(module, [(name or None, ordinal or None, iat_rva)])] in table order."""
        rva, size = self.directory(DIR_IMPORT)
        modules = []
        if rva == 0 or size == 0:
            return modules
        descriptor = rva
        while True:
            (lookup, _stamp, _chain, name_rva, first_thunk) = struct.unpack("<IIIII", self.read(descriptor, 20))
            if lookup == 0 and name_rva == 0 and first_thunk == 0:
                break
            module = self.cstring(name_rva)
            entries = []
            thunk = lookup or first_thunk
            iat = first_thunk
            while True:
                value = self.u64(thunk)
                if value == 0:
                    break
                if value & (1 << 63):
                    entries.append((None, value & 0xFFFF, iat))
                else:
                    entries.append((self.cstring((value & 0x7FFFFFFF) + 2), None, iat))
                thunk += 8
                iat += 8
            modules.append((module, entries))
            descriptor += 20
        return modules

    def import_slot_names(self):
        """{iat_rva: (module lower-case, routine)} of every import by name."""
        slots = {}
        for module, entries in self.imports():
            for name, _ordinal, iat in entries:
                if name is not None:
                    slots[iat] = (module.lower(), name)
        return slots

    def thunk_target(self, rva, slots):
        """The import behind a 'jmp qword ptr [rip+disp32]' thunk at rva, or None."""
        try:
            code = self.read(rva, 6)
        except ImageError:
            return None
        if code[0:2] != b"\xff\x25":
            return None
        (displacement,) = struct.unpack_from("<i", code, 2)
        return slots.get(rva + 6 + displacement)

    # --------------------------------------------------------------------
    # Exception data.
    # --------------------------------------------------------------------
    def runtime_functions(self):
        rva, size = self.directory(DIR_EXCEPTION)
        entries = []
        for index in range(size // 12):
            entries.append(struct.unpack("<III", self.read(rva + 12 * index, 12)))
        return entries

    def unwind_info(self, rva):
        """(flags, handler RVA or None, handler-data RVA or None) of an UNWIND_INFO."""
        header = self.read(rva, 4)
        version = header[0] & 0x7
        flags = header[0] >> 3
        code_count = header[2]
        if version not in (1, 2):
            raise ImageError("unwind info at RVA 0x%x has version %d" % (rva, version))
        tail = rva + 4 + 2 * (code_count + (code_count & 1))
        if flags & UNW_FLAG_CHAININFO:
            return flags, None, None
        if flags & (UNW_FLAG_EHANDLER | UNW_FLAG_UHANDLER):
            return flags, self.u32(tail), tail + 4
        return flags, None, None


def image_checksum(data):
    """Computed checksum of an image's bytes (the file length counts unpadded)."""
    image = Image(data)
    padded = data + (b"\0" if len(data) % 2 else b"")
    words = struct.unpack("<%dH" % (len(padded) // 2), padded)
    skip = image.checksum_offset // 2
    total = sum(words[:skip]) + sum(words[skip + 2:])
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


class Result:
    def __init__(self, name, status, detail):
        self.name = name
        self.status = status
        self.detail = detail

    def __repr__(self):
        return "%s %s: %s" % (self.status, self.name, self.detail)


def _check_relocations(image):
    rva, size = image.directory(DIR_BASERELOC)
    if image.characteristics & FILE_RELOCS_STRIPPED:
        return False, "the relocs-stripped flag is set"
    if rva == 0 or size == 0:
        return False, "the base-relocation directory is empty"
    fixups = 0
    offset = 0
    while offset < size:
        page, block_size = struct.unpack("<II", image.read(rva + offset, 8))
        if block_size < 8 or block_size % 2 or offset + block_size > size:
            return False, "malformed relocation block at +0x%x (size %d)" % (offset, block_size)
        for entry_index in range((block_size - 8) // 2):
            entry = image.u16(rva + offset + 8 + 2 * entry_index)
            kind = entry >> 12
            if kind == 10:  # IMAGE_REL_BASED_DIR64
                fixups += 1
            elif kind != 0:  # ABSOLUTE pads a block
                return False, "relocation of type %d at page 0x%x; x64 uses DIR64 only" % (kind, page)
        offset += block_size
    if fixups == 0:
        return False, "the relocation directory holds no fixup"
    return True, "%d fixups in %d bytes" % (fixups, size)


def _check_unwind(image):
    rva, size = image.directory(DIR_EXCEPTION)
    if rva == 0 or size == 0:
        return False, "the exception directory is empty: no unwind data"
    if size % 12:
        return False, "exception directory size %d is not a multiple of 12" % size
    functions = image.runtime_functions()
    previous_end = 0
    covers_entry = False
    for begin, end, unwind in functions:
        if not begin < end or begin < previous_end:
            return False, "function entries are unsorted or overlap at RVA 0x%x" % begin
        section = image.section_of(begin)
        if section is None or not section.characteristics & SCN_MEM_EXECUTE:
            return False, "function at RVA 0x%x is not in an executable section" % begin
        if unwind & 1:
            image.read(unwind & ~1, 12)  # an indirect entry names another function entry
        else:
            image.unwind_info(unwind)
        if begin <= image.entry_point < end:
            covers_entry = True
        previous_end = end
    if not covers_entry:
        return False, "no unwind data covers the entry point (RVA 0x%x)" % image.entry_point
    return True, "%d functions" % len(functions)


def _check_seh(image, min_scopes):
    slots = image.import_slot_names()
    handlers = 0
    scopes = 0
    for begin, _end, unwind in image.runtime_functions():
        if unwind & 1:
            continue  # an indirect chained entry
        _flags, handler, handler_data = image.unwind_info(unwind)
        if handler is None:
            continue
        target = image.thunk_target(handler, slots)
        if target != (SEH_HANDLER[0], SEH_HANDLER[1]):
            return False, "function at RVA 0x%x names handler RVA 0x%x, which is not %s!%s" % (
                begin, handler, SEH_HANDLER[0], SEH_HANDLER[1])
        count = image.u32(handler_data)
        for index in range(count):
            scope_begin, scope_end, _filter, target = struct.unpack(
                "<IIII", image.read(handler_data + 4 + 16 * index, 16))
            if not scope_begin < scope_end:
                return False, "empty __try scope in function at RVA 0x%x" % begin
            if target:  # a __try/__except; __try/__finally scopes have no jump target
                scopes += 1
        handlers += 1
    if scopes < min_scopes:
        return False, "%d __except scope(s) found, at least %d expected (was a __try optimised away?)" % (
            scopes, min_scopes)
    return True, "__C_specific_handler in %d function(s), %d __except scope(s), at least %d expected" % (
        handlers, scopes, min_scopes)


def _check_imports(image):
    modules = image.imports()
    foreign = [module for module, _entries in modules if module.lower() not in DRIVER_IMPORT_MODULES]
    if foreign:
        return False, "imports from %s; only ntoskrnl.exe, HAL.dll and FLTMGR.SYS are allowed" % ", ".join(foreign)
    by_ordinal = ["%s#%d" % (module, ordinal) for module, entries in modules
                  for name, ordinal, _iat in entries if name is None]
    if by_ordinal:
        return False, "imports by ordinal: %s" % ", ".join(by_ordinal)
    delay_rva, delay_size = image.directory(DIR_DELAY_IMPORT)
    if delay_rva or delay_size:
        return False, "a delay-load import directory is present"
    if not modules:
        return False, "the image imports nothing"
    return True, "; ".join("%s (%d)" % (module, len(entries)) for module, entries in modules)


def _check_open_reparse(image):
    names = set()
    for module, entries in image.imports():
        if module.lower() == "fltmgr.sys":
            names.update(name for name, _ordinal, _iat in entries if name)
    missing = [routine for routine in OPEN_REPARSE_ROUTINES if routine not in names]
    if missing:
        return False, "FLTMGR.SYS imports lack %s" % ", ".join(missing)
    return True, "FLTMGR.SYS imports %s" % ", ".join(OPEN_REPARSE_ROUTINES)


def run_checks(data, profile="driver", require_open_reparse=False, min_seh_scopes=0):
    """Runs every check of the profile over an image's bytes; returns [Result]."""
    names = DRIVER_CHECKS if profile == "driver" else CONSOLE_CHECKS
    results = []
    try:
        image = Image(data)
    except (ImageError, struct.error) as error:
        results.append(Result("format", FAIL, str(error)))
        return results
    results.append(Result("format", PASS, "PE32+, %d sections, %d bytes" % (len(image.sections), len(data))))

    def record(name, ok, detail, fail_status=FAIL):
        results.append(Result(name, PASS if ok else fail_status, detail))

    def guarded(name, check, fail_status=FAIL):
        try:
            ok, detail = check()
        except (ImageError, struct.error) as error:
            ok, detail = False, "unreadable: %s" % error
        record(name, ok, detail, fail_status)

    flags = image.dll_characteristics
    for name in names[1:]:
        if name == "machine":
            record(name, image.machine == MACHINE_AMD64, "machine 0x%x" % image.machine)
        elif name == "subsystem":
            wanted = SUBSYSTEM_NATIVE if profile == "driver" else SUBSYSTEM_WINDOWS_CUI
            record(name, image.subsystem == wanted, "subsystem %d (want %d)" % (image.subsystem, wanted))
        elif name == "wdm":
            record(name, bool(flags & DLLCHAR_WDM_DRIVER), "DLL characteristics 0x%04x" % flags)
        elif name == "nx":
            record(name, bool(flags & DLLCHAR_NX_COMPAT), "DLL characteristics 0x%04x" % flags)
        elif name == "dynamic-base":
            record(name, bool(flags & DLLCHAR_DYNAMIC_BASE), "DLL characteristics 0x%04x" % flags)
        elif name == "relocations":
            guarded(name, lambda: _check_relocations(image))
        elif name == "checksum":
            computed = image_checksum(image.data)
            record(name, image.checksum != 0 and image.checksum == computed,
                   "stored 0x%08x, computed 0x%08x" % (image.checksum, computed))
        elif name == "unwind":
            guarded(name, lambda: _check_unwind(image))
        elif name == "seh":
            guarded(name, lambda: _check_seh(image, min_seh_scopes))
        elif name == "wx":
            both = [s.name for s in image.sections
                    if s.characteristics & SCN_MEM_WRITE and s.characteristics & SCN_MEM_EXECUTE]
            record(name, not both, "writable and executable: %s" % ", ".join(both) if both else
                   "no section is both writable and executable")
        elif name == "tls":
            tls_rva, tls_size = image.directory(DIR_TLS)
            record(name, tls_rva == 0 and tls_size == 0, "TLS directory RVA 0x%x size %d" % (tls_rva, tls_size))
        elif name == "constructors":
            # An image's section name is at most 8 bytes unless a string
            # table holds it, so .init_array may appear as .init_ar.
            prefixes = tuple(prefix[:8] for prefix in CONSTRUCTOR_SECTION_PREFIXES)
            found = [s.name for s in image.sections if s.name.lower().startswith(prefixes)]
            record(name, not found, "constructor sections: %s" % ", ".join(found) if found else
                   "sections: %s" % " ".join(s.name for s in image.sections))
        elif name == "imports":
            guarded(name, lambda: _check_imports(image))
        elif name == "open-reparse":
            if require_open_reparse:
                guarded(name, lambda: _check_open_reparse(image))
            else:
                guarded(name, lambda: _check_open_reparse(image), PENDING)
                if results[-1].status == PENDING:
                    results[-1].detail += " (not required yet: pass --require-open-reparse once the driver calls them)"
    return results


def count_except_blocks(paths):
    """Number of __except handlers written in C/C++ sources, comments and
    string literals left out."""
    token = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'|\b__except\b', re.S)
    count = 0
    for path in paths:
        with open(path, encoding="utf-8", errors="replace") as stream:
            count += sum(1 for match in token.finditer(stream.read()) if match.group(0) == "__except")
    return count


def failures(results):
    return [result for result in results if result.status == FAIL]


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("image")
    parser.add_argument("--profile", choices=("driver", "console"), default="driver")
    parser.add_argument("--require-open-reparse", action="store_true",
                        help="fail when FLTMGR.SYS's open-reparse-list routines are not imported")
    parser.add_argument("--min-seh-scopes", type=int, default=0, metavar="N",
                        help="fail when the image's unwind data holds fewer than N __except scopes")
    parser.add_argument("--except-sources", nargs="+", default=[], metavar="SOURCE",
                        help="raise --min-seh-scopes to the number of __except handlers these sources write")
    arguments = parser.parse_args(argv)
    arguments.min_seh_scopes = max(arguments.min_seh_scopes, count_except_blocks(arguments.except_sources))
    with open(arguments.image, "rb") as stream:
        data = stream.read()
    results = run_checks(data, arguments.profile, arguments.require_open_reparse, arguments.min_seh_scopes)
    for result in results:
        print("  %-7s %-13s %s" % (result.status, result.name, result.detail))
    bad = failures(results)
    print("%s: %s" % (arguments.image, "%d check(s) failed" % len(bad) if bad else "all checks passed"))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

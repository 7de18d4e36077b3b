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
  stack-cookie  the image carries stack-overrun detection, found through the
                linker's map file (--map; the image itself is stripped):
                the entry point is GsDriverEntry, not DriverEntry, and it
                stores __security_cookie before it calls DriverEntry; the
                cookie lies in a writable, non-executable section and holds
                the default value in the file; the compiler's
                __stack_chk_guard and __stack_chk_fail are the cookie and
                __report_gsfailure; every function that loads the cookie
                calls __report_gsfailure, and at least one does; and
                __report_gsfailure starts with the fast fail
                FAST_FAIL_STACK_COOKIE_CHECK_FAILURE (mov ecx, 2; int 29h)
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
usage error.  The PE is read with pefile (Debian's python3-pefile): headers,
sections, data directories, imports, base relocations, function entries and
their unwind information, and the checksum.  What pefile does not decode
(the C scope tables behind __C_specific_handler, the code of the routines
the stack-cookie check looks at) is read from the bytes pefile maps for an
RVA.  pefile stops at the first bad entry of a directory with a warning, so
the checks compare what it read with the size the directory gives.
"""

import argparse
import os
import re
import struct
import sys

try:
    import pefile
except ImportError:  # pragma: no cover - the message is the point
    sys.exit("check_image.py: the pefile module is missing (scripts/setup.sh installs python3-pefile)")

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
STACK_COOKIE_SYMBOLS = ("__security_cookie", "GsDriverEntry", "__report_gsfailure", "DriverEntry")
DEFAULT_SECURITY_COOKIE = 0x00002B992DDFA232  # include/StackCookie.h
FAST_FAIL_STACK_COOKIE = b"\xb9\x02\x00\x00\x00\xcd\x29"  # mov ecx, 2; int 29h
CONSTRUCTOR_SECTION_PREFIXES = (".ctors", ".dtors", ".init_array", ".fini_array", ".crt")

DRIVER_CHECKS = ("format", "machine", "subsystem", "wdm", "nx", "dynamic-base", "relocations", "checksum",
                 "unwind", "seh", "stack-cookie", "wx", "tls", "constructors", "imports", "open-reparse")
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
    """The headers, sections and directories of a PE image, as pefile reads
    them.  pefile is lenient: it stops parsing a directory at the first bad
    entry with a warning instead of failing, so the checks compare what it
    parsed with what the directory's size says it holds."""

    def __init__(self, data):
        self.data = bytes(data)
        try:
            self.pe = pefile.PE(data=self.data, fast_load=True)
        except pefile.PEFormatError as error:
            raise ImageError(str(error).strip("'"))
        header = self.pe.FILE_HEADER
        optional = self.pe.OPTIONAL_HEADER
        self.pe_offset = self.pe.DOS_HEADER.e_lfanew
        self.optional_offset = optional.get_file_offset()
        self.magic = optional.Magic
        if self.magic != MAGIC_PE32_PLUS:
            raise ImageError("optional header magic 0x%x is not PE32+ (0x20b)" % self.magic)
        if header.SizeOfOptionalHeader < OPT_DATA_DIRECTORIES or \
                self.optional_offset + header.SizeOfOptionalHeader > len(self.data):
            raise ImageError("optional header of %d bytes is too short or truncated" % header.SizeOfOptionalHeader)
        self.machine = header.Machine
        self.characteristics = header.Characteristics
        self.entry_point = optional.AddressOfEntryPoint
        self.image_base = optional.ImageBase
        self.size_of_image = optional.SizeOfImage
        self.checksum_offset = self.optional_offset + OPT_CHECKSUM
        self.checksum = optional.CheckSum
        self.subsystem = optional.Subsystem
        self.dll_characteristics = optional.DllCharacteristics
        self.directories = [(entry.VirtualAddress, entry.Size) for entry in optional.DATA_DIRECTORY]
        self.directories += [(0, 0)] * (16 - len(self.directories))
        self.section_table_offset = self.optional_offset + header.SizeOfOptionalHeader
        if self.section_table_offset + 40 * header.NumberOfSections > len(self.data) or \
                len(self.pe.sections) != header.NumberOfSections:
            raise ImageError("section table is truncated")
        self.sections = [Section(self._section_name(section.Name), section.Misc_VirtualSize, section.VirtualAddress,
                                 section.SizeOfRawData, section.PointerToRawData, section.Characteristics)
                         for section in self.pe.sections]
        self._parsed = set()

    def _section_name(self, raw_name):
        name = raw_name.rstrip(b"\0").decode("latin-1")
        # A long name is "/offset" into the COFF string table, which follows
        # the symbol table (pefile leaves it unresolved).
        symbols = self.pe.FILE_HEADER.PointerToSymbolTable
        if name.startswith("/") and name[1:].isdigit() and symbols:
            strings = symbols + 18 * self.pe.FILE_HEADER.NumberOfSymbols
            start = strings + int(name[1:])
            end = self.data.find(b"\0", start)
            if start < len(self.data) and end > start:
                return self.data[start:end].decode("latin-1")
        return name

    def _parse(self, name):
        """Has pefile parse one data directory, once; returns its warnings."""
        if name not in self._parsed:
            before = len(self.pe.get_warnings())
            # pefile reads function entries for x64 images only; they are
            # read as x64's whatever the machine field says, so that a wrong
            # machine shows in the machine check alone.
            machine = self.pe.FILE_HEADER.Machine
            self.pe.FILE_HEADER.Machine = MACHINE_AMD64
            try:
                self.pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY[name]])
            finally:
                self.pe.FILE_HEADER.Machine = machine
            self._parsed.add(name)
            self._warnings = getattr(self, "_warnings", {})
            self._warnings[name] = self.pe.get_warnings()[before:]
        return self._warnings[name]

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
        if rva - section.virtual_address >= section.raw_size:
            raise ImageError("RVA 0x%x lies in %s past its file data" % (rva, section.name))
        return self.pe.get_offset_from_rva(rva)

    def read(self, rva, size):
        offset = self.offset_of(rva)
        if offset + size > len(self.data):
            raise ImageError("RVA 0x%x + %d runs past the end of the file" % (rva, size))
        return self.pe.get_data(rva, size)

    def u32(self, rva):
        return struct.unpack("<I", self.read(rva, 4))[0]

    def u64(self, rva):
        return struct.unpack("<Q", self.read(rva, 8))[0]

    def directory(self, index):
        return self.directories[index]

    # --------------------------------------------------------------------
    # Relocations.
    # --------------------------------------------------------------------
    def relocation_blocks(self):
        """[(page RVA, block size, [relocation type])] as pefile parsed them,
        and whether they fill the directory."""
        warnings = self._parse("IMAGE_DIRECTORY_ENTRY_BASERELOC")
        blocks = [(block.struct.VirtualAddress, block.struct.SizeOfBlock, [entry.type for entry in block.entries])
                  for block in getattr(self.pe, "DIRECTORY_ENTRY_BASERELOC", [])]
        return blocks, warnings

    # --------------------------------------------------------------------
    # Imports.
    # --------------------------------------------------------------------
    def imports(self):
        """[(module, [(name or None, ordinal or None, iat_rva)])] in table order."""
        warnings = self._parse("IMAGE_DIRECTORY_ENTRY_IMPORT")
        rva, size = self.directory(DIR_IMPORT)
        entries = getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", [])
        if rva and size and not entries:
            raise ImageError("pefile read no import descriptor: %s" % "; ".join(warnings))
        modules = []
        for descriptor in entries:
            routines = []
            for routine in descriptor.imports:
                iat = routine.address - self.image_base
                if routine.import_by_ordinal:
                    routines.append((None, routine.ordinal, iat))
                else:
                    routines.append((routine.name.decode("latin-1"), None, iat))
            modules.append((descriptor.dll.decode("latin-1"), routines))
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
    def _exception_entries(self):
        warnings = self._parse("IMAGE_DIRECTORY_ENTRY_EXCEPTION")
        return getattr(self.pe, "DIRECTORY_ENTRY_EXCEPTION", []), warnings

    def runtime_functions(self):
        """[(begin, end, unwind)] of the RUNTIME_FUNCTION entries pefile read;
        ImageError when it read fewer than the directory holds."""
        entries, warnings = self._exception_entries()
        _rva, size = self.directory(DIR_EXCEPTION)
        if len(entries) != size // 12:
            raise ImageError("pefile read %d of %d function entries: %s" % (
                len(entries), size // 12, "; ".join(warnings) or "no reason given"))
        return [(entry.struct.BeginAddress, entry.struct.EndAddress, entry.struct.UnwindData) for entry in entries]

    def unwind_info(self, rva):
        """(flags, handler RVA or None, handler-data RVA or None) of the
        UNWIND_INFO at rva, as pefile decoded it for a function entry."""
        entries, _warnings = self._exception_entries()
        for entry in entries:
            if entry.struct.UnwindData == rva and entry.unwindinfo is not None:
                info = entry.unwindinfo
                if info.Version not in (1, 2):
                    raise ImageError("unwind info at RVA 0x%x has version %d" % (rva, info.Version))
                if info.Flags & UNW_FLAG_CHAININFO:
                    return info.Flags, None, None
                if info.Flags & (UNW_FLAG_EHANDLER | UNW_FLAG_UHANDLER):
                    return info.Flags, info.ExceptionHandler, rva + info.sizeof()
                return info.Flags, None, None
        raise ImageError("no readable unwind info at RVA 0x%x" % rva)

    def function_at(self, rva):
        """(begin, end) of the function entry covering rva, or None."""
        for begin, end, _unwind in self.runtime_functions():
            if begin <= rva < end:
                return begin, end
        return None


def image_checksum(data):
    """Computed checksum of an image's bytes (the file length counts unpadded)."""
    return Image(data).pe.generate_checksum()


def read_map_symbols(path):
    """{name: address} of the symbols a GNU ld map file lists: absolute
    addresses; an alias 'a = b' counts under its own name, a C++ routine
    under its demangled signature."""
    symbols = {}
    line_pattern = re.compile(r"^\s+0x([0-9a-fA-F]+)\s+([A-Za-z_$].*?)\s*$")
    with open(path, encoding="utf-8", errors="replace") as stream:
        for line in stream:
            match = line_pattern.match(line)
            if match:
                name = match.group(2).split(" = ")[0]
                symbols.setdefault(name, int(match.group(1), 16))
    return symbols


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
    blocks, warnings = image.relocation_blocks()
    fixups = 0
    covered = 0
    for page, block_size, kinds in blocks:
        if block_size < 8 or block_size % 2:
            return False, "malformed relocation block at +0x%x (size %d)" % (covered, block_size)
        for kind in kinds:
            if kind == 10:  # IMAGE_REL_BASED_DIR64
                fixups += 1
            elif kind != 0:  # ABSOLUTE pads a block
                return False, "relocation of type %d at page 0x%x; x64 uses DIR64 only" % (kind, page)
        covered += block_size
    if covered != size:
        return False, "malformed relocation blocks: %d of %d bytes read (%s)" % (
            covered, size, "; ".join(warnings) or "no reason given")
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


def _rip_targets(code, base, opcode):
    """RVAs that 'REX.W <opcode> r64, [rip+disp32]' instructions in code
    (at RVA base) address: opcode 0x8b loads, 0x89 stores."""
    targets = []
    for index in range(len(code) - 6):
        if code[index] in (0x48, 0x4C) and code[index + 1] == opcode and code[index + 2] & 0xC7 == 0x05:
            (displacement,) = struct.unpack_from("<i", code, index + 3)
            targets.append((base + index, base + index + 7 + displacement))
    return targets


def _branch_targets(code, base):
    """[(RVA, target)] of the 'call rel32' and 'jmp rel32' in code."""
    targets = []
    for index in range(len(code) - 4):
        if code[index] in (0xE8, 0xE9):
            (displacement,) = struct.unpack_from("<i", code, index + 1)
            targets.append((base + index, base + index + 5 + displacement))
    return targets


def _check_stack_cookie(image, symbols):
    if not symbols:
        return False, "no map file: the cookie and its routines cannot be found in a stripped image"
    names = {}
    for name in STACK_COOKIE_SYMBOLS:
        if name not in symbols:
            return False, "the map file names no %s" % name
        names[name] = symbols[name] - image.image_base
    cookie = names["__security_cookie"]
    entry = names["GsDriverEntry"]
    failure = names["__report_gsfailure"]
    driver_entry = names["DriverEntry"]
    if symbols.get("__stack_chk_guard") != symbols["__security_cookie"] or \
            symbols.get("__stack_chk_fail") != symbols["__report_gsfailure"]:
        return False, "the compiler's __stack_chk_guard and __stack_chk_fail are not __security_cookie and " \
                      "__report_gsfailure"

    # The entry point seeds the cookie, then calls DriverEntry.
    if image.entry_point != entry:
        return False, "the entry point (RVA 0x%x) is not GsDriverEntry (0x%x)%s" % (
            image.entry_point, entry, ", it is DriverEntry" if image.entry_point == driver_entry else "")
    entry_end = _symbol_end(image, symbols, entry)
    code = image.read(entry, entry_end - entry)
    stores = [at for at, target in _rip_targets(code, entry, 0x89) if target == cookie]
    calls = [at for at, target in _branch_targets(code, entry) if target == driver_entry]
    if not stores:
        return False, "GsDriverEntry does not store __security_cookie"
    if not calls or max(calls) < min(stores):
        return False, "GsDriverEntry does not call DriverEntry after seeding the cookie"

    # The cookie: 8 bytes of initialised, writable, non-executable data,
    # holding the default value until the entry seeds it.
    section = image.section_of(cookie)
    if section is None or not section.characteristics & SCN_MEM_WRITE or \
            section.characteristics & SCN_MEM_EXECUTE:
        return False, "__security_cookie (RVA 0x%x) is not in a writable data section" % cookie
    if image.u64(cookie) != DEFAULT_SECURITY_COOKIE:
        return False, "__security_cookie holds 0x%x in the file, not the default 0x%x" % (
            image.u64(cookie), DEFAULT_SECURITY_COOKIE)

    # The fast fail: mov ecx, FAST_FAIL_STACK_COOKIE_CHECK_FAILURE; int 29h.
    if image.read(failure, len(FAST_FAIL_STACK_COOKIE)) != FAST_FAIL_STACK_COOKIE:
        return False, "__report_gsfailure does not start with the stack-cookie fast fail (int 29h, code 2)"

    # Functions that check the cookie: they load it (directly or through the
    # compiler's read-only pointer to it) and call __report_gsfailure.
    pointers = set()
    for section in image.sections:
        if section.characteristics & (SCN_MEM_WRITE | SCN_MEM_EXECUTE) or not section.raw_size:
            continue
        data = image.read(section.virtual_address, min(section.raw_size, section.virtual_size or section.raw_size))
        for offset in range(0, len(data) - 7, 8):
            if struct.unpack_from("<Q", data, offset)[0] == image.image_base + cookie:
                pointers.add(section.virtual_address + offset)
    # Function by function where unwind data bounds them, else each
    # executable section as a whole (the entry's own code loads no cookie).
    regions = [(begin, end) for begin, end, _unwind in image.runtime_functions() if not entry <= begin < entry_end]
    if not image.runtime_functions():
        regions = [(s.virtual_address, s.virtual_address + min(s.raw_size, s.virtual_size or s.raw_size))
                   for s in image.sections if s.characteristics & SCN_MEM_EXECUTE]
    checking = 0
    unchecked = []
    for begin, end in regions:
        code = image.read(begin, end - begin)
        loads = [target for _at, target in _rip_targets(code, begin, 0x8B) if target in pointers or target == cookie]
        if not loads:
            continue
        if failure in (target for _at, target in _branch_targets(code, begin)):
            checking += 1
        else:
            unchecked.append(begin)
    if unchecked:
        return False, "function(s) at RVA %s read the cookie but never call __report_gsfailure" % ", ".join(
            "0x%x" % begin for begin in unchecked)
    if checking == 0:
        return False, "no function checks the cookie (built without the stack protector?)"
    return True, "entry GsDriverEntry seeds __security_cookie (RVA 0x%x, %s) then calls DriverEntry; " \
                 "%d function(s) check it; __report_gsfailure fast-fails with code 2" % (cookie, section_name(
                     image, cookie), checking)


def _symbol_end(image, symbols, rva):
    """End RVA of the code a map symbol starts: the next symbol the map
    lists, or the end of the symbol's section."""
    section = image.section_of(rva)
    end = section.virtual_address + min(section.raw_size, section.virtual_size or section.raw_size)
    later = [address - image.image_base for address in symbols.values()
             if rva < address - image.image_base < end]
    return min(later, default=end)


def section_name(image, rva):
    section = image.section_of(rva)
    return section.name if section else "no section"


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


def run_checks(data, profile="driver", require_open_reparse=False, min_seh_scopes=0, symbols=None):
    """Runs every check of the profile over an image's bytes; returns [Result].
    symbols: {name: address} from the image's map file (read_map_symbols)."""
    names = DRIVER_CHECKS if profile == "driver" else CONSOLE_CHECKS
    results = []
    try:
        image = Image(data)
    except (ImageError, struct.error, pefile.PEFormatError) as error:
        results.append(Result("format", FAIL, str(error)))
        return results
    results.append(Result("format", PASS, "PE32+, %d sections, %d bytes" % (len(image.sections), len(data))))

    def record(name, ok, detail, fail_status=FAIL):
        results.append(Result(name, PASS if ok else fail_status, detail))

    def guarded(name, check, fail_status=FAIL):
        try:
            ok, detail = check()
        except (ImageError, struct.error, pefile.PEFormatError) as error:
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
            computed = image.pe.generate_checksum()
            record(name, image.checksum != 0 and image.checksum == computed,
                   "stored 0x%08x, computed 0x%08x" % (image.checksum, computed))
        elif name == "unwind":
            guarded(name, lambda: _check_unwind(image))
        elif name == "seh":
            guarded(name, lambda: _check_seh(image, min_seh_scopes))
        elif name == "stack-cookie":
            guarded(name, lambda: _check_stack_cookie(image, symbols))
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
    parser.add_argument("--map", metavar="MAP",
                        help="the linker's map file (default: the image's path with .map), which names the "
                             "stack-cookie routines in the stripped image")
    arguments = parser.parse_args(argv)
    map_path = arguments.map or os.path.splitext(arguments.image)[0] + ".map"
    symbols = read_map_symbols(map_path) if os.path.isfile(map_path) else None
    arguments.min_seh_scopes = max(arguments.min_seh_scopes, count_except_blocks(arguments.except_sources))
    with open(arguments.image, "rb") as stream:
        data = stream.read()
    results = run_checks(data, arguments.profile, arguments.require_open_reparse, arguments.min_seh_scopes, symbols)
    for result in results:
        print("  %-7s %-13s %s" % (result.status, result.name, result.detail))
    bad = failures(results)
    print("%s: %s" % (arguments.image, "%d check(s) failed" % len(bad) if bad else "all checks passed"))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

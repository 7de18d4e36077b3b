"""Self-test of windows/check_image.py and windows/check_inf.py.

Each check must reject an image (or INF) that is wrong in just the way the
check looks for, and accept the right one.  The wrong images are the good
ones from windows/build.sh with one field patched (and the PE checksum
recomputed, so that only the patched property is wrong), plus two images
actually built wrong: probe-direct.sys, whose __try body touches memory
directly, so that clang dropped the handler, and probe-unprotected.sys,
built without the stack protector.  The stack-cookie check reads the
symbols of each image from the map file the build wrote beside it.

Run by windows/build.sh --check with ZENTAFLT_WINDOWS_BUILD set to the
build folder (default build-windows).
"""

import contextlib
import io
import os
import struct
import sys
import unittest

WINDOWS_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, WINDOWS_DIR)

import check_image  # noqa: E402
import check_inf  # noqa: E402

BUILD_DIR = os.environ.get("ZENTAFLT_WINDOWS_BUILD",
                           os.path.join(os.path.dirname(WINDOWS_DIR), "build-windows"))


def load(relative):
    path = os.path.join(BUILD_DIR, relative)
    if not os.path.isfile(path):
        raise AssertionError("%s is missing: run windows/build.sh first" % path)
    with open(path, "rb") as stream:
        return stream.read()


def load_symbols(relative):
    path = os.path.join(BUILD_DIR, relative)
    if not os.path.isfile(path):
        raise AssertionError("%s is missing: run windows/build.sh first" % path)
    return check_image.read_map_symbols(path)


def put(data, offset, fmt, value):
    data = bytearray(data)
    struct.pack_into(fmt, data, offset, value)
    return bytes(data)


def with_checksum(data):
    """The image with its PE checksum made right again."""
    image = check_image.Image(data)
    return put(data, image.checksum_offset, "<I", check_image.image_checksum(data))


def directory_offset(image, index):
    return image.optional_offset + check_image.OPT_DATA_DIRECTORIES + 8 * index


def section_header_offset(image, name):
    for index, section in enumerate(image.sections):
        if section.name == name:
            return image.section_table_offset + 40 * index
    raise AssertionError("no %s section" % name)


def section(image, name):
    for candidate in image.sections:
        if candidate.name == name:
            return candidate
    raise AssertionError("no %s section" % name)


def replace_string(data, old, new):
    """Replaces a NUL-terminated string of the same length, once."""
    assert len(old) == len(new)
    needle = old.encode() + b"\0"
    assert data.count(needle) == 1, "%r occurs %d times" % (old, data.count(needle))
    return data.replace(needle, new.encode() + b"\0")


def failed(results):
    return {result.name for result in results if result.status == check_image.FAIL}


def status(results, name):
    return [result.status for result in results if result.name == name][0]


class DriverImageChecks(unittest.TestCase):
    """Every check against zentaflt.sys and one wrong variant of it."""

    @classmethod
    def setUpClass(cls):
        cls.good = load("zentaflt.sys")
        cls.image = check_image.Image(cls.good)
        cls.symbols = load_symbols("zentaflt.map")

    def assertOnlyFails(self, data, expected, **options):
        options.setdefault("symbols", self.symbols)
        results = check_image.run_checks(data, **options)
        self.assertEqual(failed(results), set(expected), "\n".join(map(repr, results)))

    def rva(self, name):
        return self.symbols[name] - self.image.image_base

    def patched(self, offset, fmt, value):
        return with_checksum(put(self.good, offset, fmt, value))

    def test_good_image_passes_every_check(self):
        results = check_image.run_checks(self.good, symbols=self.symbols)
        self.assertEqual(failed(results), set(), "\n".join(map(repr, results)))
        self.assertEqual([r.name for r in results], list(check_image.DRIVER_CHECKS))

    def test_open_reparse_imports_are_required_and_present(self):
        # PreCreate calls the open-reparse-list routines.
        self.assertEqual(status(check_image.run_checks(self.good, symbols=self.symbols), "open-reparse"), check_image.PASS)
        self.assertOnlyFails(self.good, set(), require_open_reparse=True)
        data = replace_string(self.good, "FltAddOpenReparseEntry", "FltAddOpenReparseEntrX")
        self.assertOnlyFails(with_checksum(data), {"open-reparse"}, require_open_reparse=True)

    def test_pe32_header_is_rejected(self):
        self.assertOnlyFails(put(self.good, self.image.optional_offset, "<H", check_image.MAGIC_PE32), {"format"})

    def test_truncated_file_is_rejected(self):
        self.assertOnlyFails(self.good[:0x100], {"format"})

    def test_not_a_pe_is_rejected(self):
        self.assertOnlyFails(b"\x7fELF" + self.good[4:], {"format"})

    def test_x86_machine_is_rejected(self):
        self.assertOnlyFails(self.patched(self.image.pe_offset + 4, "<H", 0x14C), {"machine"})

    def test_gui_subsystem_is_rejected(self):
        offset = self.image.optional_offset + check_image.OPT_SUBSYSTEM
        self.assertOnlyFails(self.patched(offset, "<H", 2), {"subsystem"})

    def clear_dll_characteristic(self, flag):
        offset = self.image.optional_offset + check_image.OPT_DLLCHARACTERISTICS
        self.assertTrue(self.image.dll_characteristics & flag)
        return self.patched(offset, "<H", self.image.dll_characteristics & ~flag)

    def test_missing_wdm_flag_is_rejected(self):
        self.assertOnlyFails(self.clear_dll_characteristic(check_image.DLLCHAR_WDM_DRIVER), {"wdm"})

    def test_missing_nx_flag_is_rejected(self):
        self.assertOnlyFails(self.clear_dll_characteristic(check_image.DLLCHAR_NX_COMPAT), {"nx"})

    def test_missing_dynamic_base_is_rejected(self):
        self.assertOnlyFails(self.clear_dll_characteristic(check_image.DLLCHAR_DYNAMIC_BASE), {"dynamic-base"})

    def test_empty_relocation_directory_is_rejected(self):
        offset = directory_offset(self.image, check_image.DIR_BASERELOC)
        self.assertOnlyFails(self.patched(offset, "<Q", 0), {"relocations"})

    def test_relocs_stripped_flag_is_rejected(self):
        offset = self.image.pe_offset + 4 + 18
        value = self.image.characteristics | check_image.FILE_RELOCS_STRIPPED
        self.assertOnlyFails(self.patched(offset, "<H", value), {"relocations"})

    def test_wrong_checksum_is_rejected(self):
        data = put(self.good, self.image.checksum_offset, "<I", self.image.checksum ^ 0x10)
        self.assertOnlyFails(data, {"checksum"})

    def test_zero_checksum_is_rejected(self):
        self.assertOnlyFails(put(self.good, self.image.checksum_offset, "<I", 0), {"checksum"})

    def test_changed_byte_breaks_checksum(self):
        text = section(self.image, ".text")
        offset = text.raw_pointer + text.raw_size - 1
        data = bytearray(self.good)
        data[offset] ^= 0xFF
        self.assertOnlyFails(bytes(data), {"checksum"})

    def test_checksum_matches_the_linker(self):
        # GNU ld wrote the stored checksum; the computation must agree.
        self.assertEqual(check_image.image_checksum(self.good), self.image.checksum)

    def test_missing_unwind_data_is_rejected(self):
        offset = directory_offset(self.image, check_image.DIR_EXCEPTION)
        self.assertOnlyFails(self.patched(offset, "<Q", 0), {"unwind"})

    def test_entry_point_without_unwind_data_is_rejected(self):
        # The function entry of the entry point starts one byte later.
        functions = self.image.runtime_functions()
        index = [i for i, (begin, end, _u) in enumerate(functions) if begin <= self.image.entry_point < end][0]
        begin, end, _unwind = functions[index]
        self.assertEqual(begin, self.image.entry_point)
        offset = self.image.offset_of(self.image.directory(check_image.DIR_EXCEPTION)[0] + 12 * index)
        self.assertOnlyFails(self.patched(offset, "<I", begin + 1), {"unwind"})

    # ------------------------------------------------------------------
    # Stack-overrun detection.
    # ------------------------------------------------------------------
    def failure_calls(self):
        """RVAs of the 'call __report_gsfailure' instructions in .text."""
        failure = self.rva("__report_gsfailure")
        text = section(self.image, ".text")
        code = self.image.read(text.virtual_address, text.raw_size)
        return [at for at, target in check_image._branch_targets(code, text.virtual_address)
                if target == failure and code[at - text.virtual_address] == 0xE8]

    def test_entry_straight_at_driver_entry_is_rejected(self):
        data = self.patched(self.image.optional_offset + 16, "<I", self.rva("DriverEntry"))
        self.assertOnlyFails(data, {"stack-cookie"})

    def test_every_checking_function_is_counted(self):
        # As many functions check the cookie as .text has calls of
        # __report_gsfailure (one per protected function).
        calls = self.failure_calls()
        result = [r for r in check_image.run_checks(self.good, symbols=self.symbols) if r.name == "stack-cookie"][0]
        self.assertIn("; %d function(s) check it;" % len(calls), result.detail)

    def test_image_without_map_is_rejected(self):
        self.assertOnlyFails(self.good, {"stack-cookie"}, symbols={})

    def test_cookie_in_read_only_data_is_rejected(self):
        holder = self.image.section_of(self.rva("__security_cookie"))
        offset = section_header_offset(self.image, holder.name) + 36
        self.assertOnlyFails(self.patched(offset, "<I", holder.characteristics & ~check_image.SCN_MEM_WRITE),
                             {"stack-cookie"})

    def test_cookie_seeded_at_build_time_is_rejected(self):
        offset = self.image.offset_of(self.rva("__security_cookie"))
        self.assertOnlyFails(self.patched(offset, "<Q", 0x123456789ABC), {"stack-cookie"})

    def test_entry_that_does_not_seed_the_cookie_is_rejected(self):
        # The store to the cookie becomes a store to the byte after it.
        entry = self.rva("GsDriverEntry")
        code = self.image.read(entry, check_image._symbol_end(self.image, self.symbols, entry) - entry)
        cookie = self.rva("__security_cookie")
        stores = [at for at, target in check_image._rip_targets(code, entry, 0x89) if target == cookie]
        self.assertEqual(len(stores), 1)
        offset = self.image.offset_of(stores[0] + 3)
        (displacement,) = struct.unpack_from("<i", self.good, offset)
        self.assertOnlyFails(self.patched(offset, "<i", displacement + 8), {"stack-cookie"})

    def test_failure_routine_without_fast_fail_is_rejected(self):
        offset = self.image.offset_of(self.rva("__report_gsfailure"))
        self.assertEqual(self.good[offset:offset + 7], check_image.FAST_FAIL_STACK_COOKIE)
        self.assertOnlyFails(self.patched(offset + 1, "<I", 3), {"stack-cookie"})  # corrupt-list code

    def test_function_that_skips_the_check_is_rejected(self):
        # One protected function's call of __report_gsfailure becomes NOPs.
        calls = self.failure_calls()
        self.assertGreater(len(calls), 1)
        data = bytearray(self.good)
        offset = self.image.offset_of(calls[0])
        data[offset:offset + 5] = b"\x90" * 5
        self.assertOnlyFails(with_checksum(bytes(data)), {"stack-cookie"})

    def test_protector_not_routed_to_the_cookie_is_rejected(self):
        symbols = dict(self.symbols)
        del symbols["__stack_chk_guard"]
        self.assertOnlyFails(self.good, {"stack-cookie"}, symbols=symbols)

    def test_writable_code_is_rejected(self):
        offset = section_header_offset(self.image, ".text") + 36
        value = section(self.image, ".text").characteristics | check_image.SCN_MEM_WRITE
        self.assertOnlyFails(self.patched(offset, "<I", value), {"wx"})

    def test_executable_data_is_rejected(self):
        # A writable section other than the stack cookie's, which must not
        # be executable either.
        cookie = self.rva("__security_cookie")
        writable = [s for s in self.image.sections
                    if s.characteristics & check_image.SCN_MEM_WRITE and not s.contains(cookie)]
        self.assertTrue(writable)
        offset = section_header_offset(self.image, writable[0].name) + 36
        value = writable[0].characteristics | check_image.SCN_MEM_EXECUTE
        self.assertOnlyFails(self.patched(offset, "<I", value), {"wx"})

    def test_tls_directory_is_rejected(self):
        rdata = section(self.image, ".rdata")
        offset = directory_offset(self.image, check_image.DIR_TLS)
        data = with_checksum(put(put(self.good, offset, "<I", rdata.virtual_address), offset + 4, "<I", 40))
        self.assertOnlyFails(data, {"tls"})

    def renamed_section(self, old, new):
        offset = section_header_offset(self.image, old)
        return self.patched(offset, "8s", new.encode())

    def test_constructor_sections_are_rejected(self):
        for name in (".ctors", ".CRT", ".CRT$XCU", ".init_ar", ".dtors"):
            with self.subTest(name=name):
                self.assertOnlyFails(self.renamed_section(".rdata", name), {"constructors"})

    def test_foreign_import_is_rejected(self):
        # Once the driver has __try blocks, their handler no longer resolves
        # to ntoskrnl.exe either.
        handlers = any(self.image.unwind_info(unwind)[1] is not None
                       for _begin, _end, unwind in self.image.runtime_functions() if not unwind & 1)
        expected = {"imports", "seh"} if handlers else {"imports"}
        self.assertOnlyFails(with_checksum(replace_string(self.good, "ntoskrnl.exe", "kernel32.dll")), expected)

    def test_foreign_import_module_is_rejected(self):
        self.assertOnlyFails(with_checksum(replace_string(self.good, "FLTMGR.SYS", "USER32.DLL")), {"imports"})

    def test_user_mode_filter_library_is_rejected(self):
        # The user-mode filter library in place of the filter manager.
        self.assertOnlyFails(with_checksum(replace_string(self.good, "FLTMGR.SYS", "FLTLIB.DLL")), {"imports"})

    def test_delay_load_imports_are_rejected(self):
        rdata = section(self.image, ".rdata")
        offset = directory_offset(self.image, check_image.DIR_DELAY_IMPORT)
        data = with_checksum(put(put(self.good, offset, "<I", rdata.virtual_address), offset + 4, "<I", 32))
        self.assertOnlyFails(data, {"imports"})

    def test_command_line_exit_status(self):
        path = os.path.join(BUILD_DIR, "zentaflt.sys")
        with contextlib.redirect_stdout(io.StringIO()) as output:
            self.assertEqual(check_image.main([path]), 0)
            self.assertEqual(check_image.main([path, "--require-open-reparse"]), 0)
        self.assertIn("PASS    open-reparse", output.getvalue())


class ProbeImageChecks(unittest.TestCase):
    """The checks that the driver cannot exercise yet, against the probe."""

    @classmethod
    def setUpClass(cls):
        cls.good = load("selftest/probe.sys")
        cls.direct = load("selftest/probe-direct.sys")
        cls.unprotected = load("selftest/probe-unprotected.sys")
        cls.image = check_image.Image(cls.good)
        cls.symbols = load_symbols("selftest/probe.map")

    def assertOnlyFails(self, data, expected, symbols=None):
        results = check_image.run_checks(data, require_open_reparse=True, min_seh_scopes=1,
                                         symbols=symbols or self.symbols)
        self.assertEqual(failed(results), set(expected), "\n".join(map(repr, results)))

    def handler_unwind(self):
        """RVA of the unwind info that names a language handler."""
        for _begin, _end, unwind in self.image.runtime_functions():
            _flags, handler, _data = self.image.unwind_info(unwind)
            if handler is not None:
                return unwind
        raise AssertionError("the probe has no exception handler: __try/__except did not compile to SEH")

    def test_probe_passes_every_check(self):
        self.assertOnlyFails(self.good, set())

    def test_try_scope_reaches_the_kernel_handler(self):
        result = [r for r in check_image.run_checks(self.good, min_seh_scopes=1) if r.name == "seh"][0]
        self.assertIn("1 __except scope(s)", result.detail)

    def test_dropped_try_is_rejected(self):
        # Built wrong: the __try body reads memory itself, and clang drops
        # the handler; only the scope count shows it.
        self.assertOnlyFails(self.direct, {"seh"}, load_symbols("selftest/probe-direct.map"))

    def test_image_built_without_the_stack_protector_is_rejected(self):
        # Built wrong: the cookie and its entry are there, but no function
        # checks it.
        self.assertOnlyFails(self.unprotected, {"stack-cookie"}, load_symbols("selftest/probe-unprotected.map"))

    def test_cleared_handler_flags_are_rejected(self):
        offset = self.image.offset_of(self.handler_unwind())
        data = bytearray(self.good)
        data[offset] &= 0x07  # keep the version, drop EHANDLER and UHANDLER
        self.assertOnlyFails(with_checksum(bytes(data)), {"seh"})

    def test_foreign_handler_is_rejected(self):
        unwind = self.handler_unwind()
        _flags, handler, _data = self.image.unwind_info(unwind)
        code_count = self.image.read(unwind, 4)[2]
        handler_field = unwind + 4 + 2 * (code_count + (code_count & 1))
        begin = self.image.runtime_functions()[0][0]
        data = put(self.good, self.image.offset_of(handler_field), "<I", begin)
        self.assertOnlyFails(with_checksum(data), {"seh"})

    def test_missing_open_reparse_import_is_rejected(self):
        data = replace_string(self.good, "FltAddOpenReparseEntry", "FltAddOpenReparseEntrX")
        self.assertOnlyFails(with_checksum(data), {"open-reparse"})
        data = replace_string(self.good, "FltRemoveOpenReparseEntry", "FltRemoveOpenReparseEntrX")
        self.assertOnlyFails(with_checksum(data), {"open-reparse"})


class ServiceImageChecks(unittest.TestCase):
    """The console profile, against the service's program when it is built."""

    def test_service_program(self):
        # The service program, or the throwaway program that links the
        # service library when service/ has no program entry.
        paths = [os.path.join(BUILD_DIR, relative)
                 for relative in ("zentaflt-service.exe", os.path.join("service", "link-check.exe"))]
        paths = [path for path in paths if os.path.isfile(path)]
        if not paths:
            self.skipTest("no service sources in this build")
        path = paths[0]
        with open(path, "rb") as stream:
            good = stream.read()
        results = check_image.run_checks(good, profile="console")
        self.assertEqual(failed(results), set(), "\n".join(map(repr, results)))
        image = check_image.Image(good)
        native = put(good, image.optional_offset + check_image.OPT_SUBSYSTEM, "<H", check_image.SUBSYSTEM_NATIVE)
        self.assertEqual(failed(check_image.run_checks(native, profile="console")), {"subsystem"})

    def test_driver_is_not_a_console_program(self):
        self.assertEqual(failed(check_image.run_checks(load("zentaflt.sys"), profile="console")), {"subsystem"})


class InfChecks(unittest.TestCase):
    """Every INF check against windows/zentaflt.inf and one wrong variant."""

    @classmethod
    def setUpClass(cls):
        with open(os.path.join(WINDOWS_DIR, "zentaflt.inf"), encoding="utf-8-sig") as stream:
            cls.good = stream.read()

    def variant(self, old, new):
        self.assertEqual(self.good.count(old), 1, old)
        return self.good.replace(old, new)

    def assertOnlyFails(self, text, expected):
        results = check_inf.run_checks(text)
        self.assertEqual({name for name, problems in results.items() if problems}, set(expected), results)

    def test_good_inf_passes(self):
        self.assertOnlyFails(self.good, set())

    def test_altitude_outside_the_range_is_rejected(self):
        for altitude in ("179999", "190000", "375170", "18x000"):
            with self.subTest(altitude=altitude):
                text = self.variant('Instance1.Altitude  = "185170"', 'Instance1.Altitude  = "%s"' % altitude)
                self.assertOnlyFails(text, {"instances"})

    def test_nonzero_instance_flags_are_rejected(self):
        self.assertOnlyFails(self.variant("Instance1.Flags     = 0x0", "Instance1.Flags     = 0x1"), {"instances"})

    def test_default_instance_without_definition_is_rejected(self):
        text = self.variant('DefaultInstance     = "Zentaflt Instance"', 'DefaultInstance     = "Other Instance"')
        self.assertOnlyFails(text, {"instances"})

    def test_instances_that_differ_between_locations_are_rejected(self):
        old = 'HKR,"Parameters\\Instances\\"%Instance1.Name%,"Altitude",0x00000000,%Instance1.Altitude%'
        new = 'HKR,"Parameters\\Instances\\"%Instance1.Name%,"Altitude",0x00000000,"185171"'
        self.assertOnlyFails(self.variant(old, new), {"instances"})

    def test_missing_parameters_instances_are_rejected(self):
        text = "\n".join(line for line in self.good.splitlines() if not line.startswith('HKR,"Parameters'))
        self.assertOnlyFails(text, {"instances"})

    def test_wrong_load_order_group_is_rejected(self):
        text = self.variant('LoadOrderGroup   = "FSFilter HSM"', 'LoadOrderGroup   = "FSFilter Activity Monitor"')
        self.assertOnlyFails(text, {"service"})

    def test_wrong_service_type_is_rejected(self):
        self.assertOnlyFails(self.variant("ServiceType      = 2", "ServiceType      = 1"), {"service"})

    def test_missing_filter_manager_dependency_is_rejected(self):
        self.assertOnlyFails(self.variant('Dependencies     = "FltMgr"', 'Dependencies     = "Mup"'), {"service"})

    def test_undecorated_install_section_is_rejected(self):
        self.assertOnlyFails(self.variant("[DefaultInstall.NTamd64]\n", "[DefaultInstall]\n"), {"install"})

    def test_wrong_class_guid_is_rejected(self):
        text = self.variant("{d546500a-2aeb-45f6-9482-f4b1799c3177}", "{b86dff51-a31e-4bac-b3cf-e8cfe75c9fc2}")
        self.assertOnlyFails(text, {"version"})

    def test_missing_source_file_is_rejected(self):
        self.assertOnlyFails(self.variant("zentaflt.sys = 1,,", "zentaflx.sys = 1,,"), {"files"})


if __name__ == "__main__":
    unittest.main()

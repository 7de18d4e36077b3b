#!/usr/bin/env python3
"""Checks windows/zentaflt.inf, the minifilter's installation file.

Verifies that the INF installs zentaflt.sys as a file-system filter service
named zentaflt (so that "fltmc load zentaflt" finds it):

  version    Signature $WINDOWS NT$, the HSM setup class and its GUID, a
             provider, a DriverVer
  install    x64-decorated DefaultInstall and DefaultInstall.Services
             sections (no undecorated DefaultInstall), copying zentaflt.sys
             to system32\\drivers (dirid 12) and adding the service
  service    ServiceBinary %12%\\zentaflt.sys, ServiceType 2 (file-system
             driver), StartType 3 (demand), ErrorControl 1, LoadOrderGroup
             "FSFilter HSM", a dependency on FltMgr
  instances  under both Instances and Parameters\\Instances: a
             DefaultInstance naming an instance whose Altitude is a decimal
             string in the project's altitude range and whose Flags are 0,
             the same values in both places
  files      zentaflt.sys listed in SourceDisksFiles, on a listed disk

Exit status 0 when every check passes, 1 otherwise.
"""

import re
import sys

SERVICE_NAME = "zentaflt"
IMAGE_NAME = "zentaflt.sys"
LOAD_ORDER_GROUP = "FSFilter HSM"
HSM_CLASS_GUID = "{d546500a-2aeb-45f6-9482-f4b1799c3177}"
# The altitude range the project places its filter in.
ALTITUDE_RANGE = (180000, 189999)  # the "FSFilter HSM" range
INSTANCE_KEYS = ("Instances", "Parameters\\Instances")


class Inf:
    """Sections of an INF: {lower-case name: [(key or None, [values])]}."""

    def __init__(self, text):
        self.sections = {}
        self.strings = {}
        current = None
        for raw in text.splitlines():
            line = _strip_comment(raw).strip()
            if not line:
                continue
            if line.startswith("[") and line.endswith("]"):
                current = self.sections.setdefault(line[1:-1].strip().lower(), [])
                continue
            if current is None:
                continue
            key, value = None, line
            if "=" in line and not line.lstrip().startswith("HK"):
                key, value = line.split("=", 1)
                key = key.strip()
            current.append((key, _split_values(value)))
        for key, values in self.sections.get("strings", []):
            if key is not None:
                self.strings[key.lower()] = values[0] if values else ""

    def expand(self, value):
        return re.sub(r"%([^%]+)%", lambda m: self.strings.get(m.group(1).lower(), m.group(0)), value)

    def has(self, section):
        return section.lower() in self.sections

    def entries(self, section):
        return [(key, [self.expand(v) for v in values]) for key, values in self.sections.get(section.lower(), [])]

    def value(self, section, key):
        for entry_key, values in self.entries(section):
            if entry_key is not None and entry_key.lower() == key.lower():
                return values
        return None


def _strip_comment(line):
    quoted = False
    for index, char in enumerate(line):
        if char == '"':
            quoted = not quoted
        elif char == ";" and not quoted:
            return line[:index]
    return line


def _split_values(text):
    """Comma-separated values; quotes group text and are removed, and a
    quoted piece followed by more text joins it ("Instances\\"%Name%)."""
    values = []
    current = ""
    quoted = False
    for char in text:
        if char == '"':
            quoted = not quoted
        elif char == "," and not quoted:
            values.append(current.strip())
            current = ""
        else:
            current += char
    values.append(current.strip())
    return values


def _check_version(inf):
    problems = []
    if (inf.value("Version", "Signature") or [""])[0].lower() != "$windows nt$":
        problems.append("Signature is not $WINDOWS NT$")
    if (inf.value("Version", "Class") or [""])[0] != "HSM":
        problems.append("Class is not HSM")
    if (inf.value("Version", "ClassGuid") or [""])[0].lower() != HSM_CLASS_GUID:
        problems.append("ClassGuid is not the HSM class %s" % HSM_CLASS_GUID)
    if not (inf.value("Version", "Provider") or [""])[0]:
        problems.append("no Provider")
    driver_ver = (inf.value("Version", "DriverVer") or [""])
    if not re.fullmatch(r"\d\d/\d\d/\d{4}", driver_ver[0]) or len(driver_ver) < 2:
        problems.append("DriverVer is not mm/dd/yyyy,version")
    return problems


def _service_section(inf):
    values = inf.value("DefaultInstall.NTamd64.Services", "AddService")
    if not values or len(values) < 3:
        return None, None
    return values[0], values[2]


def _check_install(inf):
    problems = []
    if inf.has("DefaultInstall"):
        problems.append("undecorated [DefaultInstall]; use [DefaultInstall.NTamd64]")
    if not inf.has("DefaultInstall.NTamd64"):
        return problems + ["no [DefaultInstall.NTamd64]"]
    copy = inf.value("DefaultInstall.NTamd64", "CopyFiles")
    if not copy:
        return problems + ["DefaultInstall.NTamd64 copies no files"]
    copied = [values[0].lower() for section in copy for _key, values in inf.entries(section)]
    if IMAGE_NAME not in copied:
        problems.append("CopyFiles does not copy %s" % IMAGE_NAME)
    for section in copy:
        target = inf.value("DestinationDirs", section) or inf.value("DestinationDirs", "DefaultDestDir")
        if not target or target[0] != "12":
            problems.append("%s is not copied to dirid 12 (system32\\drivers)" % section)
    name, section = _service_section(inf)
    if name is None:
        problems.append("DefaultInstall.NTamd64.Services adds no service")
    elif name != SERVICE_NAME:
        problems.append("service is named %r, not %r" % (name, SERVICE_NAME))
    elif not inf.has(section):
        problems.append("AddService names the missing section [%s]" % section)
    return problems


def _check_service(inf):
    _name, section = _service_section(inf)
    if section is None or not inf.has(section):
        return ["no service-install section"]
    expected = {"ServiceType": "2", "StartType": "3", "ErrorControl": "1", "LoadOrderGroup": LOAD_ORDER_GROUP}
    problems = []
    for key, wanted in expected.items():
        got = (inf.value(section, key) or [""])[0]
        if got != wanted:
            problems.append("%s is %r, not %r" % (key, got, wanted))
    binary = (inf.value(section, "ServiceBinary") or [""])[0]
    if binary.lower() != "%12%\\" + IMAGE_NAME:
        problems.append("ServiceBinary is %r, not %%12%%\\%s" % (binary, IMAGE_NAME))
    dependencies = [d.lower() for d in inf.value(section, "Dependencies") or []]
    if "fltmgr" not in dependencies:
        problems.append("no dependency on FltMgr")
    if not inf.value(section, "AddReg"):
        problems.append("no AddReg for the instances")
    return problems


def _instance_values(inf):
    """{(key path lower-case, value name lower-case): (type, data)} of every HKR line."""
    _name, section = _service_section(inf)
    values = {}
    for registry in (inf.value(section, "AddReg") or []) if section else []:
        for _key, fields in inf.entries(registry):
            if len(fields) >= 5 and fields[0].upper() == "HKR":
                values[(fields[1].lower(), fields[2].lower())] = (fields[3].lower(), fields[4])
    return values


def _check_instances(inf):
    values = _instance_values(inf)
    problems = []
    seen = []
    for root in INSTANCE_KEYS:
        default = values.get((root.lower(), "defaultinstance"))
        if default is None:
            problems.append("no %s\\DefaultInstance" % root)
            continue
        if default[0] not in ("0x00000000", "0x0", "0"):
            problems.append("%s\\DefaultInstance is not a string (REG_SZ)" % root)
        instance = ("%s\\%s" % (root, default[1])).lower()
        altitude = values.get((instance, "altitude"))
        flags = values.get((instance, "flags"))
        if altitude is None or flags is None:
            problems.append("%s\\DefaultInstance names %r, which has no Altitude and Flags" % (root, default[1]))
            continue
        if altitude[0] not in ("0x00000000", "0x0", "0"):
            problems.append("%s altitude is not a string (REG_SZ)" % root)
        if not re.fullmatch(r"\d+(\.\d+)?", altitude[1]):
            problems.append("%s altitude %r is not a decimal number" % (root, altitude[1]))
        elif not ALTITUDE_RANGE[0] <= float(altitude[1]) <= ALTITUDE_RANGE[1]:
            problems.append("%s altitude %s is outside %d-%d" % (root, altitude[1], *ALTITUDE_RANGE))
        if flags[0] != "0x00010001":
            problems.append("%s Flags is not a DWORD (0x00010001)" % root)
        elif int(flags[1], 0) != 0:
            problems.append("%s Flags is %s, not 0" % (root, flags[1]))
        seen.append((default[1], altitude[1], flags[1]))
    if len(seen) == len(INSTANCE_KEYS) and len(set(seen)) != 1:
        problems.append("Instances and Parameters\\Instances differ: %s" % seen)
    return problems


def _check_files(inf):
    problems = []
    disks = {key for key, _values in inf.entries("SourceDisksNames") if key}
    entry = inf.value("SourceDisksFiles", IMAGE_NAME)
    if entry is None:
        problems.append("%s is not in SourceDisksFiles" % IMAGE_NAME)
    elif entry[0] not in disks:
        problems.append("%s is on disk %r, which SourceDisksNames does not list" % (IMAGE_NAME, entry[0]))
    return problems


CHECKS = (("version", _check_version), ("install", _check_install), ("service", _check_service),
          ("instances", _check_instances), ("files", _check_files))


def run_checks(text):
    """{check name: [problems]} for an INF's text; an empty list passes."""
    inf = Inf(text)
    return {name: check(inf) for name, check in CHECKS}


def main(argv):
    if len(argv) != 1:
        print("usage: check_inf.py FILE.inf", file=sys.stderr)
        return 2
    with open(argv[0], encoding="utf-8-sig") as stream:
        results = run_checks(stream.read())
    failed = 0
    for name, problems in results.items():
        print("  %-4s %-10s %s" % ("FAIL" if problems else "PASS", name, "; ".join(problems) or "ok"))
        failed += bool(problems)
    print("%s: %s" % (argv[0], "%d check(s) failed" % failed if failed else "all checks passed"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

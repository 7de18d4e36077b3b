#!/usr/bin/env bash
# Cross-builds the Windows x64 side from Debian: zentaflt.sys from the same
# driver sources the Linux build compiles (core/ channel/ placeholder/
# hydration/ intercept/), the service library from service/, and the
# reference service program zentaflt-service.exe from tools/service/.
# Outputs go to build-windows/ (BUILD_WINDOWS_DIR overrides).
#
#   windows/build.sh                 build
#   windows/build.sh --check         build, then check the images and the INF
#                                    and run the checks' self-test
#   windows/build.sh --check --require-open-reparse
#                                    also fail when zentaflt.sys does not
#                                    import FltAddOpenReparseEntry and
#                                    FltRemoveOpenReparseEntry
#
# Toolchain: clang++ compiles the driver for x86_64-w64-windows-gnu over our
# wdk/ headers and mingw-w64's driver kit; GNU ld (x86_64-w64-mingw32-ld)
# links it.  GNU ld is used rather than lld-link because it understands the
# mingw-w64 import libraries natively, marks the image as a WDM driver, and
# writes the PE checksum the kernel's loader verifies, which lld-link leaves
# at zero.  The service, a user-mode program, builds with mingw-w64's g++.
set -euo pipefail
cd "$(dirname "$0")/.."

check=0
require_open_reparse=0
for argument in "$@"; do
  case "$argument" in
    --check) check=1 ;;
    --require-open-reparse) require_open_reparse=1 ;;
    *) echo "usage: windows/build.sh [--check] [--require-open-reparse]" >&2; exit 2 ;;
  esac
done

out=${BUILD_WINDOWS_DIR:-build-windows}
cxx=${WINDOWS_CXX:-clang++}
mingw=x86_64-w64-mingw32
mingw_include=${MINGW_INCLUDE:-/usr/share/mingw-w64/include}
mingw_lib=${MINGW_LIB:-/usr/$mingw/lib}

for tool in "$cxx" "$mingw-ld" "$mingw-dlltool" "$mingw-objdump" "$mingw-ar" "$mingw-gcc" "$mingw-g++" python3; do
  if ! command -v "$tool" >/dev/null; then
    echo "windows/build.sh: $tool not found (scripts/setup.sh installs the toolchain)" >&2
    exit 1
  fi
done
for file in "$mingw_include/ddk/ntifs.h" "$mingw_lib/libntoskrnl.a" "$mingw_lib/libhal.a"; do
  if [ ! -f "$file" ]; then
    echo "windows/build.sh: $file not found (scripts/setup.sh installs g++-mingw-w64-x86-64-win32)" >&2
    exit 1
  fi
done

# ---------------------------------------------------------------------------
# Flags.  Driver sources hold no code for one build only; what differs lives
# here and in the shared headers.
#  - no -ffreestanding: it drops the .pdata of functions without __try.
#  - -fstack-protector-strong: functions with a local array or a local whose
#    address escapes check the stack cookie on return.  clang names the
#    cookie and the failure routine __stack_chk_guard and __stack_chk_fail
#    on this target; the link maps them (--defsym) to the driver's own
#    __security_cookie and __report_gsfailure (core/StackCookie.cpp), the
#    names Windows drivers use, which clash with nothing in the Linux build,
#    where the C library owns __stack_chk_* and the protector is off.
#  - -mno-stack-arg-probe: large frames would call ___chkstk_ms, which the
#    kernel does not export.
#  - the two __INTRINSIC_DEFINED_ macros let mingw-w64's ddk/ntifs.h compile
#    as C++ (its own InterlockedBitTestAnd* definitions clash otherwise).
#  - the three IO_DRIVER_CREATE_CONTEXT names move mingw-w64's older 32-byte
#    record (without SiloContext) aside; wdk/fltKernel.h defines the record
#    as Windows 10 version 1607 and later lay it out.
# ---------------------------------------------------------------------------
driver_cxxflags=(
  --target=x86_64-w64-windows-gnu -std=c++17 -O2
  -fms-extensions -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-use-cxa-atexit -fno-builtin
  -fasynchronous-unwind-tables -fstack-protector-strong -mno-stack-arg-probe -mno-red-zone
  -Wall -Wextra -Werror -Wno-missing-field-initializers
  -Werror=global-constructors -Werror=exit-time-destructors
  -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset
  -D_IO_DRIVER_CREATE_CONTEXT=_IO_DRIVER_CREATE_CONTEXT_KIT -DIO_DRIVER_CREATE_CONTEXT=IO_DRIVER_CREATE_CONTEXT_KIT
  -DPIO_DRIVER_CREATE_CONTEXT=PIO_DRIVER_CREATE_CONTEXT_KIT
  -Iwdk -isystem "$mingw_include/ddk" -isystem "$mingw_include"
)

# No auto-import and no runtime pseudo-relocations: they need the mingw-w64
# C runtime, which a driver does not have, so a data import without
# __declspec(dllimport) must fail the link instead.
image_base=0x140000000
driver_ldflags=(
  -m i386pep -nostdlib --entry GsDriverEntry
  --subsystem native --wdmdriver --dynamicbase --nxcompat --high-entropy-va --enable-reloc-section
  --image-base "$image_base" --section-alignment 0x1000 --file-alignment 0x200
  --major-os-version 6 --minor-os-version 1 --major-subsystem-version 6 --minor-subsystem-version 1
  --disable-auto-import --disable-runtime-pseudo-reloc --fatal-warnings --strip-all
  --defsym=__stack_chk_guard=__security_cookie --defsym=__stack_chk_fail=__report_gsfailure
)
driver_libs=(-L "$out" -lfltmgr -L "$mingw_lib" -lntoskrnl -lhal)

jobs=$(nproc 2>/dev/null || echo 2)

# ---------------------------------------------------------------------------
# The driver's sources: the top-level .cpp files of the driver folders, the
# list CMakeLists.txt compiles for Linux.
# ---------------------------------------------------------------------------
driver_dirs=(core channel placeholder hydration intercept)
sources=()
for dir in "${driver_dirs[@]}"; do
  [ -d "$dir" ] || continue
  nested=$(find "$dir" -mindepth 2 -name '*.cpp' | head -n 1)
  if [ -n "$nested" ]; then
    echo "windows/build.sh: $nested is in a subfolder; CMakeLists.txt and this script compile $dir/*.cpp only" >&2
    exit 1
  fi
  while IFS= read -r source; do sources+=("$source"); done < <(find "$dir" -maxdepth 1 -name '*.cpp' | LC_ALL=C sort)
done
if [ "${#sources[@]}" -eq 0 ]; then
  echo "windows/build.sh: no driver sources found" >&2
  exit 1
fi

# Every filter-manager routine that wdk/fltKernel.h declares must be in the
# import library, or a driver calling it fails to link.
missing_exports=()
while IFS= read -r routine; do
  grep -qE "^[[:space:]]+$routine([[:space:]]|$)" windows/fltmgr.def || missing_exports+=("$routine")
done < <(grep -oE '\bFlt[A-Za-z0-9_]+[[:space:]]*\(' wdk/fltKernel.h | tr -d '( \t' | LC_ALL=C sort -u)
if [ "${#missing_exports[@]}" -gt 0 ]; then
  echo "windows/build.sh: windows/fltmgr.def lacks ${missing_exports[*]}, declared in wdk/fltKernel.h" >&2
  exit 1
fi

rm -rf "$out/obj" "$out/selftest" "$out/service"
rm -f "$out/zentaflt.sys" "$out/zentaflt.map" "$out/libfltmgr.a" "$out/zentaflt-service.exe" "$out/libzentaflt-service.a"
mkdir -p "$out/obj" "$out/selftest"

# Compiles "source object [extra flags...]" in the background, at most
# $jobs at a time; wait_all reports whether every compile succeeded.
running=0
failed=0
compile() {
  if [ "$running" -ge "$jobs" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
  local source=$1 object=$2
  shift 2
  "$cxx" "${driver_cxxflags[@]}" "$@" -c "$source" -o "$object" &
  running=$((running + 1))
}
wait_all() {
  while [ "$running" -gt 0 ]; do
    wait -n || failed=1
    running=$((running - 1))
  done
  if [ "$failed" -ne 0 ]; then
    echo "windows/build.sh: compilation failed" >&2
    exit 1
  fi
}

objects=()
for source in "${sources[@]}"; do
  object="$out/obj/$(echo "${source%.cpp}" | tr / _).o"
  objects+=("$object")
  compile "$source" "$object"
done
compile windows/selftest/probe_driver.cpp "$out/selftest/probe.o"
compile windows/selftest/probe_driver.cpp "$out/selftest/probe-direct.o" -DPROBE_DIRECT_ACCESS
compile windows/selftest/probe_driver.cpp "$out/selftest/probe-unprotected.o" -fno-stack-protector
wait_all

# Nothing may need running before DriverEntry: no constructor, terminator or
# TLS sections in any object.  (GNU ld would fold .ctors into .text, where
# the image checks could no longer see it.)
bad_sections=$("$mingw-objdump" -h "${objects[@]}" |
  awk '/^[^ ].*:[[:space:]]+file format/ { file = $1 }
       $2 ~ /^\.(ctors|dtors|init_array|fini_array|CRT\$X|tls)/ { print file " " $2 }')
if [ -n "$bad_sections" ]; then
  echo "windows/build.sh: driver objects carry constructor or TLS sections:" >&2
  echo "$bad_sections" >&2
  exit 1
fi

"$mingw-dlltool" -m i386:x86-64 -d windows/fltmgr.def -l "$out/libfltmgr.a"

"$mingw-ld" "${driver_ldflags[@]}" -Map "$out/zentaflt.map" -o "$out/zentaflt.sys" "${objects[@]}" "${driver_libs[@]}"
# The probes take the driver's own cookie routines and entry; the one built
# without the stack protector has no function that checks the cookie.
for probe in probe probe-direct probe-unprotected; do
  "$mingw-ld" "${driver_ldflags[@]}" -Map "$out/selftest/$probe.map" -o "$out/selftest/$probe.sys" \
    "$out/selftest/$probe.o" "$out/obj/core_StackCookie.o" "${driver_libs[@]}"
done
echo "windows/build.sh: $out/zentaflt.sys ($(stat -c %s "$out/zentaflt.sys") bytes) from ${#sources[@]} sources"

# The debug switches lead the global record (+0x0 and +0x4, pinned in
# include/FilterGlobals.h); windows/DEBUGGING.md explains the commands.
globals=$(awk '$2 == "FilterGlobals" && $1 ~ /^0x/ { print $1; exit }' "$out/zentaflt.map")
if [ -z "$globals" ]; then
  echo "windows/build.sh: $out/zentaflt.map does not list FilterGlobals" >&2
  exit 1
fi
globals_rva=$(printf '0x%x' $((globals - image_base)))
echo "windows/build.sh: debug switches: ed zentaflt+$globals_rva <DebugFlags>;" \
  "ed zentaflt+$(printf '0x%x' $((globals_rva + 4))) <DebugBreakStatus>"

# ---------------------------------------------------------------------------
# The service, over mingw-w64's user-mode headers (windows.h, fltuser.h):
# its sources become build-windows/libzentaflt-service.a and, when one of
# them holds a program entry (main, wmain, WinMain, wWinMain), the console
# program build-windows/zentaflt-service.exe, linked statically except for
# system DLLs.  Without an entry, every object is linked into a throwaway
# program all the same, so each Windows routine the code calls must
# resolve against mingw-w64's import libraries.
# ---------------------------------------------------------------------------
service_exe=
service_sources=()
service_libs=(-lfltlib -lntdll)
if [ -d service ]; then
  while IFS= read -r source; do service_sources+=("$source"); done < \
    <(find service \( -name '*.cpp' -o -name '*.c' \) -type f | LC_ALL=C sort)
fi
if [ "${#service_sources[@]}" -gt 0 ]; then
  mkdir -p "$out/service"
  service_cflags=(-O2 -Wall -Wextra -Werror -Iservice -Iinclude)
  service_objects=()
  for source in "${service_sources[@]}"; do
    object="$out/service/$(echo "${source%.*}" | tr / _).o"
    case "$source" in
      *.c) "$mingw-gcc" -std=c11 "${service_cflags[@]}" -c "$source" -o "$object" ;;
      *) "$mingw-g++" -std=c++17 "${service_cflags[@]}" -c "$source" -o "$object" ;;
    esac
    service_objects+=("$object")
  done
  rm -f "$out/libzentaflt-service.a"
  "$mingw-ar" rcs "$out/libzentaflt-service.a" "${service_objects[@]}"

  service_ldflags=(-static -s -Wl,--dynamicbase,--nxcompat,--high-entropy-va)
  # Every object of the library linked into a throwaway program: each
  # Windows routine the library calls must resolve.
  printf 'int main(void) { return 0; }\n' >"$out/service/link-check.c"
  "$mingw-gcc" -c "$out/service/link-check.c" -o "$out/service/link-check.o"
  "$mingw-g++" "${service_ldflags[@]}" -o "$out/service/link-check.exe" "$out/service/link-check.o" \
    -Wl,--whole-archive "$out/libzentaflt-service.a" -Wl,--no-whole-archive "${service_libs[@]}"
  echo "windows/build.sh: $out/libzentaflt-service.a from ${#service_sources[@]} sources (the library links)"

  # The reference service program (tools/service/), on the library: every
  # source there but the emulated host's (Emulated*.cpp, Linux only).
  program_sources=()
  if [ -d tools/service ]; then
    while IFS= read -r source; do program_sources+=("$source"); done < \
      <(find tools/service -name '*.cpp' ! -name 'Emulated*' -type f | LC_ALL=C sort)
  fi
  entry='^([[:space:]]*(int|INT)[[:space:]]+([A-Za-z_]+[[:space:]]+)?)?(w?main|w?WinMain)[[:space:]]*\('
  if [ "${#program_sources[@]}" -gt 0 ] && grep -qE "$entry" "${program_sources[@]}"; then
    program_objects=()
    for source in "${program_sources[@]}"; do
      object="$out/service/$(echo "${source%.*}" | tr / _).o"
      "$mingw-g++" -std=c++17 "${service_cflags[@]}" -Itools/service -c "$source" -o "$object"
      program_objects+=("$object")
    done
    if grep -qE '\b(wmain|wWinMain)[[:space:]]*\(' "${program_sources[@]}"; then service_ldflags+=(-municode); fi
    service_exe="$out/zentaflt-service.exe"
    "$mingw-g++" "${service_ldflags[@]}" -o "$service_exe" "${program_objects[@]}" "$out/libzentaflt-service.a" \
      "${service_libs[@]}"
    echo "windows/build.sh: $service_exe ($(stat -c %s "$service_exe") bytes) from ${#program_sources[@]} sources" \
      "and the library"
  fi
else
  echo "windows/build.sh: no service/ sources; service not built"
fi

[ "$check" -eq 1 ] || exit 0

# ---------------------------------------------------------------------------
# Checks: the images, the INF, and the checks' own self-test.
# ---------------------------------------------------------------------------
# The image checks read the PE with pefile, which Debian's python3-pefile
# installs for /usr/bin/python3 (a python3 earlier on PATH may lack it).
python=${PYTHON:-python3}
if ! "$python" -c 'import pefile' 2>/dev/null && [ -x /usr/bin/python3 ]; then python=/usr/bin/python3; fi
if ! "$python" -c 'import pefile' 2>/dev/null; then
  echo "windows/build.sh: python3 lacks the pefile module (scripts/setup.sh installs python3-pefile)" >&2
  exit 1
fi
image_flags=(--map "$out/zentaflt.map" --except-sources "${sources[@]}")
if [ "$require_open_reparse" -eq 1 ]; then image_flags+=(--require-open-reparse); fi
"$python" windows/check_image.py "$out/zentaflt.sys" "${image_flags[@]}"
if [ -n "$service_exe" ]; then
  "$python" windows/check_image.py --profile console "$service_exe"
fi
"$python" windows/check_inf.py windows/zentaflt.inf
ZENTAFLT_WINDOWS_BUILD="$out" "$python" -m unittest discover -s windows/selftest -p 'test_*.py'

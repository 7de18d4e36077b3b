# zentafltConfig.cmake - find_package(zentaflt) for outside projects: the
# targets zentaflt::emu (the emulated Windows platform), zentaflt::driver
# (the filter, built against it) and zentaflt::service (the service SDK).
# Compile with clang++; the targets add -fshort-wchar (16-bit WCHAR).
include(CMakeFindDependencyMacro)
find_dependency(Threads)
include("${CMAKE_CURRENT_LIST_DIR}/zentafltTargets.cmake")

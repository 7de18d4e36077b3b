/*
 * winternl.h - the native system services a user-mode program may call
 * directly (NtDeviceIoControlFile, ...), with IO_STATUS_BLOCK.  The
 * emulated platform implements them once, for programs and drivers alike
 * (emu/io/NtApi.cpp), so this header takes their declarations from the
 * kernel headers.
 */
#pragma once

#include <ntifs.h>

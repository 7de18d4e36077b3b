/*
 * Debug.cpp - kernel debugger output and breakpoints, assertions, fast
 * fails, and structured exception handling.
 *
 * DbgPrint and DbgPrintEx format with the kernel's conventions (ULONG-sized
 * %lx, %wZ for a UNICODE_STRING, %ws for a wide string, %I64 sizes) and
 * hand the text to the captured debugger, which a test reads back.
 */
#include "../runtime/Runtime.h"

#include <cstdarg>
#include <cstdio>

using namespace emu;

namespace {

void AppendUtf16(std::string &Out, const WCHAR *Text, size_t Units)
{
    for (size_t Index = 0; Index < Units; Index += 1) {
        uint32_t Code = (uint16_t)Text[Index];
        if (Code >= 0xD800 && Code < 0xDC00 && Index + 1 < Units) {
            uint32_t Low = (uint16_t)Text[Index + 1];
            if (Low >= 0xDC00 && Low < 0xE000) {
                Code = 0x10000 + ((Code - 0xD800) << 10) + (Low - 0xDC00);
                Index += 1;
            }
        }
        if (Code < 0x80) {
            Out += (char)Code;
        } else if (Code < 0x800) {
            Out += (char)(0xC0 | (Code >> 6));
            Out += (char)(0x80 | (Code & 0x3F));
        } else if (Code < 0x10000) {
            Out += (char)(0xE0 | (Code >> 12));
            Out += (char)(0x80 | ((Code >> 6) & 0x3F));
            Out += (char)(0x80 | (Code & 0x3F));
        } else {
            Out += (char)(0xF0 | (Code >> 18));
            Out += (char)(0x80 | ((Code >> 12) & 0x3F));
            Out += (char)(0x80 | ((Code >> 6) & 0x3F));
            Out += (char)(0x80 | (Code & 0x3F));
        }
    }
}

std::string FormatKernel(const char *Format, va_list Args)
{
    std::string Out;
    const char *Cursor = Format;
    while (*Cursor != '\0') {
        if (*Cursor != '%') {
            Out += *Cursor++;
            continue;
        }
        const char *SpecStart = Cursor++;
        if (*Cursor == '%') {
            Out += '%';
            Cursor += 1;
            continue;
        }
        std::string Flags;
        while (*Cursor != '\0' && strchr("-+ #0123456789.*", *Cursor) != NULL) {
            Flags += *Cursor++;
        }
        /* Size prefixes, in the kernel's meaning. */
        int Size = 4;  // 4 = int/ULONG, 8 = 64-bit, 2 = short, 1 = char
        bool Wide = false;
        if (strncmp(Cursor, "I64", 3) == 0) {
            Size = 8;
            Cursor += 3;
        } else if (strncmp(Cursor, "I32", 3) == 0) {
            Cursor += 3;
        } else if (*Cursor == 'I' || *Cursor == 'z') {
            Size = 8;
            Cursor += 1;
        } else if (strncmp(Cursor, "ll", 2) == 0) {
            Size = 8;
            Cursor += 2;
        } else if (*Cursor == 'l' || *Cursor == 'w') {
            Wide = true;  // %ls and %ws are wide strings; %lx stays 32 bits
            Cursor += 1;
        } else if (strncmp(Cursor, "hh", 2) == 0) {
            Size = 1;
            Cursor += 2;
        } else if (*Cursor == 'h') {
            Size = 2;
            Cursor += 1;
        }
        char Conversion = *Cursor;
        if (Conversion == '\0') {
            Out.append(SpecStart);
            break;
        }
        Cursor += 1;
        char Buffer[128];
        std::string Spec = "%" + Flags;
        switch (Conversion) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            if (Size == 8) {
                snprintf(Buffer, sizeof(Buffer), (Spec + "ll" + Conversion).c_str(), va_arg(Args, long long));
            } else {
                snprintf(Buffer, sizeof(Buffer), (Spec + Conversion).c_str(), va_arg(Args, int));
            }
            Out += Buffer;
            break;
        case 'c':
            Out += (char)va_arg(Args, int);
            break;
        case 'C':
            Out += (char)va_arg(Args, int);
            break;
        case 'p':
            snprintf(Buffer, sizeof(Buffer), "%016llX", (unsigned long long)(uintptr_t)va_arg(Args, void *));
            Out += Buffer;
            break;
        case 's':
            if (Wide) {
                const WCHAR *Text = va_arg(Args, const WCHAR *);
                if (Text == NULL) {
                    Out += "(null)";
                } else {
                    size_t Units = 0;
                    while (Text[Units] != 0) {
                        Units += 1;
                    }
                    AppendUtf16(Out, Text, Units);
                }
            } else {
                const char *Text = va_arg(Args, const char *);
                Out += Text == NULL ? "(null)" : Text;
            }
            break;
        case 'S': {
            const WCHAR *Text = va_arg(Args, const WCHAR *);
            size_t Units = 0;
            while (Text != NULL && Text[Units] != 0) {
                Units += 1;
            }
            if (Text == NULL) {
                Out += "(null)";
            } else {
                AppendUtf16(Out, Text, Units);
            }
            break;
        }
        case 'Z':
            if (Wide) {
                PCUNICODE_STRING Text = va_arg(Args, PCUNICODE_STRING);
                if (Text == NULL || Text->Buffer == NULL) {
                    Out += "(null)";
                } else {
                    AppendUtf16(Out, Text->Buffer, Text->Length / sizeof(WCHAR));
                }
            } else {
                PCANSI_STRING Text = va_arg(Args, PCANSI_STRING);
                if (Text == NULL || Text->Buffer == NULL) {
                    Out += "(null)";
                } else {
                    Out.append(Text->Buffer, Text->Length);
                }
            }
            break;
        default:
            Out.append(SpecStart, Cursor);
            break;
        }
    }
    return Out;
}

thread_local bool InAssertion = false;

}  // namespace

extern "C" {

ULONG __cdecl DbgPrint(PCSTR Format, ...)
{
    va_list Args;
    va_start(Args, Format);
    std::string Text = FormatKernel(Format, Args);
    va_end(Args);
    TheDebugger().Print(0, 0, std::move(Text));
    return STATUS_SUCCESS;
}

ULONG __cdecl DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
{
    va_list Args;
    va_start(Args, Format);
    std::string Text = FormatKernel(Format, Args);
    va_end(Args);
    TheDebugger().Print(ComponentId, Level, std::move(Text));
    return STATUS_SUCCESS;
}

VOID NTAPI DbgBreakPoint(VOID)
{
    TheDebugger().Break();
}

VOID EmuAssertionFailure(PCSTR Expression, PCSTR File, ULONG Line)
{
    if (InAssertion) {
        return;
    }
    InAssertion = true;
    TheVerifier().Report(std::string("assertion failed: ") + Expression + " at " + File + ":" + std::to_string(Line));
    InAssertion = false;
}

void EmuFastFail(ULONG Code)
{
    RaiseBugCheck(KERNEL_SECURITY_CHECK_FAILURE, Code, "fast fail code " + std::to_string(Code));
}

/* ---------------------------------------------------------------------------
 * Structured exception handling.  A raise throws EmuSehException; the
 * __except macro evaluates its filter through EmuSehFilterResult.
 * ------------------------------------------------------------------------- */
NTSTATUS EmuSehExceptionCode(void)
{
    return CurrentThread().SehCode;
}

BOOLEAN EmuSehFilterResult(LONG Disposition)
{
    if (Disposition == EXCEPTION_CONTINUE_EXECUTION) {
        RaiseBugCheck(KMODE_EXCEPTION_NOT_HANDLED, (ULONG_PTR)CurrentThread().SehCode,
                      "EXCEPTION_CONTINUE_EXECUTION is not emulated");
    }
    if (Disposition == EXCEPTION_EXECUTE_HANDLER) {
        CurrentThread().SehHandlerPending = true;
        return TRUE;
    }
    return FALSE;
}

BOOLEAN EmuSehTakeHandler(void)
{
    ThreadState &Thread = CurrentThread();
    bool Pending = Thread.SehHandlerPending;
    Thread.SehHandlerPending = false;
    return (BOOLEAN)Pending;
}

VOID NTAPI ExRaiseStatus(NTSTATUS Status)
{
    CurrentThread().SehCode = Status;
    throw EmuSehException{Status};
}

}  // extern "C"

// Hosted counted-string routines. Appends are whole: a text that does not fit
// leaves the destination unchanged.
#include "platform/hosted/state.h"

#include <cstring>

using namespace hosted;

namespace {

constexpr ULONG StringTag = PoolTag('S', 't', 'r', 'g');

size_t WideLength(PCWSTR text)
{
    size_t n = 0;
    while (text[n])
        ++n;
    return n;
}

// Appends `bytes` bytes of UTF-16 text if all of them fit.
NTSTATUS AppendWhole(PUNICODE_STRING destination, const WCHAR* source, size_t bytes)
{
    if (bytes == 0)
        return STATUS_SUCCESS;
    if (size_t(destination->Length) + bytes > destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<UCHAR*>(destination->Buffer) + destination->Length, source,
                 bytes);
    destination->Length = USHORT(destination->Length + bytes);
    if (size_t(destination->Length) + sizeof(WCHAR) <= destination->MaximumLength)
        destination->Buffer[destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

// The hosted code page is Latin-1: one byte per character, both ways.
WCHAR WideFromAnsi(CHAR c)
{
    return WCHAR(UCHAR(c));
}
CHAR AnsiFromWide(WCHAR c)
{
    return c < 0x100 ? CHAR(c) : '?';
}

} // namespace

extern "C" {

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length)
{
    auto* a = static_cast<const UCHAR*>(Source1);
    auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T same = 0;
    while (same < Length && a[same] == b[same])
        ++same;
    return same;
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (!SourceString) {
        *DestinationString = UNICODE_STRING{0, 0, nullptr};
        return;
    }
    size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
    DestinationString->Length = USHORT(bytes);
    DestinationString->MaximumLength = USHORT(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString)
{
    if (!SourceString) {
        *DestinationString = ANSI_STRING{0, 0, nullptr};
        return;
    }
    size_t bytes = std::strlen(SourceString);
    DestinationString->Length = USHORT(bytes);
    DestinationString->MaximumLength = USHORT(bytes + 1);
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (!Source)
        return STATUS_SUCCESS;
    return AppendWhole(Destination, Source, WideLength(Source) * sizeof(WCHAR));
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    return AppendWhole(Destination, Source->Buffer, Source->Length);
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength
                       ? SourceString->Length
                       : DestinationString->MaximumLength;
    bytes &= ~USHORT(1);
    std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (size_t(bytes) + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    if (Base == 0)
        Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    WCHAR digits[33];
    size_t count = 0;
    do {
        ULONG digit = Value % Base;
        digits[count++] = WCHAR(digit < 10 ? u'0' + digit : u'A' + digit - 10);
        Value /= Base;
    } while (Value != 0);
    size_t bytes = count * sizeof(WCHAR);
    if (bytes > String->MaximumLength)
        return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < count; ++i)
        String->Buffer[i] = digits[count - 1 - i];
    String->Length = USHORT(bytes);
    if (bytes + sizeof(WCHAR) <= String->MaximumLength)
        String->Buffer[count] = 0;
    return STATUS_SUCCESS;
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive)
{
    auto fold = [&](WCHAR c) -> WCHAR {
        return (CaseInSensitive && c >= u'a' && c <= u'z') ? WCHAR(c - u'a' + u'A') : c;
    };
    size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
    for (size_t i = 0; i < n1 && i < n2; ++i) {
        WCHAR a = fold(String1->Buffer[i]), b = fold(String2->Buffer[i]);
        if (a != b)
            return LONG(a) - LONG(b);
    }
    return LONG(n1) - LONG(n2);
}

// A single-byte OEM code page, as on the Western systems the driver ships
// for: the DDK's RtlAnsiStringToUnicodeSize then counts one character a byte
// without asking RtlxAnsiStringToUnicodeSize.
BOOLEAN NlsMbOemCodePageTag = FALSE;

ULONG NTAPI RtlxAnsiStringToUnicodeSize(const ANSI_STRING* AnsiString)
{
    return (ULONG(AnsiString->Length) + 1) * sizeof(WCHAR);
}

NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                            const ANSI_STRING* SourceString,
                                            BOOLEAN AllocateDestinationString)
{
    ULONG needed = RtlxAnsiStringToUnicodeSize(SourceString);
    if (needed > 0xFFFF)
        return STATUS_INVALID_PARAMETER;
    if (AllocateDestinationString) {
        DestinationString->Buffer =
            static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, needed, StringTag));
        if (!DestinationString->Buffer)
            return STATUS_NO_MEMORY;
        DestinationString->MaximumLength = USHORT(needed);
    } else if (needed - sizeof(WCHAR) > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < SourceString->Length; ++i)
        DestinationString->Buffer[i] = WideFromAnsi(SourceString->Buffer[i]);
    DestinationString->Length = USHORT(SourceString->Length * sizeof(WCHAR));
    if (size_t(DestinationString->Length) + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[SourceString->Length] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                            PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString)
{
    size_t count = SourceString->Length / sizeof(WCHAR);
    if (AllocateDestinationString) {
        DestinationString->Buffer =
            static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, count + 1, StringTag));
        if (!DestinationString->Buffer)
            return STATUS_NO_MEMORY;
        DestinationString->MaximumLength = USHORT(count + 1);
    } else if (count > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < count; ++i)
        DestinationString->Buffer[i] = AnsiFromWide(SourceString->Buffer[i]);
    DestinationString->Length = USHORT(count);
    if (count < DestinationString->MaximumLength)
        DestinationString->Buffer[count] = 0;
    return STATUS_SUCCESS;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer)
        ExFreePoolWithTag(UnicodeString->Buffer, StringTag);
    *UnicodeString = UNICODE_STRING{0, 0, nullptr};
}

VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString)
{
    if (AnsiString->Buffer)
        ExFreePoolWithTag(AnsiString->Buffer, StringTag);
    *AnsiString = ANSI_STRING{0, 0, nullptr};
}

} // extern "C"

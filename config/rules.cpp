// Rule values: the hex decoder and the loader that turns the strings of one
// value into RULE_ENTRY records on the list of their type.
#include "driver/elam.h"

namespace {

// The value of one hexadecimal digit, or -1.
int HexDigitValue(WCHAR c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}


// Counted string over Count characters at Characters (not owned).
UNICODE_STRING Span(const WCHAR* Characters, ULONG Count) {
    UNICODE_STRING text;
    text.Length = (USHORT)(Count * sizeof(WCHAR));
    text.MaximumLength = text.Length;
    text.Buffer = (PWCH)Characters;
    return text;
}

// The index of the first ';' at or after Start, or Count.
ULONG FindSeparator(const WCHAR* Characters, ULONG Start, ULONG Count) {
    while (Start < Count && Characters[Start] != ';') {
        Start++;
    }
    return Start;
}

// Parses one rule string and appends its record. Returns STATUS_NO_MEMORY
// only when the record cannot be allocated; a malformed string is skipped
// with STATUS_SUCCESS.
NTSTATUS LoadRuleString(const UNICODE_STRING* Text, ULONG Type) {
    const WCHAR* chars = Text->Buffer;
    const ULONG count = Text->Length / sizeof(WCHAR);
    const ULONG first = FindSeparator(chars, 0, count);
    if (count == 0 || first == count) {
        return STATUS_SUCCESS;
    }
    UNICODE_STRING data;
    UNICODE_STRING range;
    const BOOLEAN ranged = RuleTypeHasVersionRange(Type);
    if (ranged) {
        if (first + 1 == count) {
            return STATUS_SUCCESS;
        }
        const ULONG second = FindSeparator(chars, first + 1, count);
        if (second == count) {
            return STATUS_SUCCESS;
        }
        data = Span(chars + first + 1, second - first - 1);
        range = Span(chars + second + 1, count - second - 1);
    } else {
        data = Span(chars + first + 1, count - first - 1);
    }

    const ULONG dataLength = DecodeHexString(&data, nullptr, 0);
    if (dataLength == 0) {
        return STATUS_SUCCESS;
    }
    if (ranged && DecodeHexString(&range, nullptr, 0) != 16) {
        return STATUS_SUCCESS;
    }

    const ULONG nameLength = first * sizeof(WCHAR);
    const SIZE_T size = RULE_ENTRY_HEADER_SIZE + dataLength + 1 + nameLength + sizeof(WCHAR);
    PRULE_ENTRY rule = (PRULE_ENTRY)ExAllocatePoolWithTag(PagedPool, size, ELAM_POOL_TAG);
    if (rule == nullptr) {
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(rule, size);
    rule->DataLength = dataLength;
    if (DecodeHexString(&data, rule->Data, dataLength) != rule->DataLength ||
        (ranged && DecodeHexString(&range, (PUCHAR)&rule->MinVersion, 16) != 16)) {
        ExFreePoolWithTag(rule, ELAM_POOL_TAG);
        return STATUS_SUCCESS;
    }
    rule->Type = Type;
    // The name starts at the first even offset at or behind the end of the data.
    const SIZE_T nameOffset = (RULE_ENTRY_HEADER_SIZE + dataLength + 1) & ~(SIZE_T)1;
    rule->Name.Buffer = (PWCH)((PUCHAR)rule + nameOffset);
    rule->Name.Length = (USHORT)nameLength;
    rule->Name.MaximumLength = (USHORT)(nameLength + sizeof(WCHAR));
    RtlCopyMemory(rule->Name.Buffer, chars, nameLength);
    InsertTailList(&g_RuleLists[Type], &rule->Links);
    return STATUS_SUCCESS;
}

}  // namespace

ULONG DecodeHexString(PCUNICODE_STRING Text, PUCHAR Output, ULONG OutputLength) {
    if (Text == nullptr) {
        return 0;
    }
    if ((Output == nullptr) != (OutputLength == 0)) {
        return 0;
    }
    const USHORT digits = (USHORT)(Text->Length / sizeof(WCHAR));
    if (digits == 0 || (digits & 1) != 0) {
        return 0;
    }
    const ULONG bytes = digits / 2u;
    if (Output == nullptr) {
        for (USHORT i = 0; i < digits; i++) {
            if (HexDigitValue(Text->Buffer[i]) < 0) {
                return 0;
            }
        }
        return bytes;
    }
    if (OutputLength < bytes) {
        return 0;
    }
    for (ULONG k = 0; k < bytes; k++) {
        const int high = HexDigitValue(Text->Buffer[2 * k]);
        if (high < 0) {
            return 0;
        }
        const int low = HexDigitValue(Text->Buffer[2 * k + 1]);
        if (low < 0) {
            return 0;
        }
        Output[k] = (UCHAR)(high * 16 + low);
    }
    return bytes;
}

NTSTATUS LoadRuleValue(PCWSTR KeyPath, PCWSTR ValueName, ULONG Type) {
    LIST_ENTRY strings;
    InitializeListHead(&strings);
    NTSTATUS status = ReadMultiStringValue(KeyPath, &strings, ValueName);
    if (NT_SUCCESS(status)) {
        for (PLIST_ENTRY link = strings.Flink; link != &strings; link = link->Flink) {
            const NAME_ENTRY* entry = CONTAINING_RECORD(link, NAME_ENTRY, Links);
            if (LoadRuleString(&entry->Name, Type) == STATUS_NO_MEMORY) {
                status = STATUS_NO_MEMORY;
                break;
            }
        }
    }
    FreeEntryList(&strings);
    return status;
}

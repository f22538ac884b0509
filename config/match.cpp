// Rule matching: does any rule of a type match one fact about an image?
#include "driver/elam.h"

namespace {

enum COMPARISON { COMPARE_UNICODE, COMPARE_ANSI, COMPARE_BYTES };

COMPARISON ComparisonOf(LONG Type) {
    switch (Type) {
    case RULE_FILE_NAME:
    case RULE_FILE_NAME_VERSION:
    case RULE_ORIGINAL_NAME:
    case RULE_ORIGINAL_NAME_VERSION:
        return COMPARE_UNICODE;
    case RULE_PDB_NAME:
    case RULE_PDB_NAME_VERSION:
        return COMPARE_ANSI;
    default:
        return COMPARE_BYTES;
    }
}


}  // namespace

BOOLEAN MatchRule(LONG RuleType, PCVOID Input, ULONG InputLength, ULONGLONG FileVersion) {
    if (RuleType < 0 || RuleType >= RULE_TYPE_COUNT) {
        return FALSE;
    }
    PLIST_ENTRY head = &g_RuleLists[RuleType];
    if (head->Flink == nullptr || IsListEmpty(head)) {
        return FALSE;
    }
    if (Input == nullptr || InputLength == 0) {
        return FALSE;
    }
    if ((RuleType == RULE_DIGEST_32 && InputLength != 32) ||
        (RuleType == RULE_PDB_GUID && InputLength != 16)) {
        return FALSE;
    }
    const COMPARISON comparison = ComparisonOf(RuleType);
    if (comparison != COMPARE_BYTES && InputLength > 0xFFFF) {
        return FALSE;
    }
    const BOOLEAN ranged = RuleTypeHasVersionRange(RuleType);
    if (ranged && FileVersion == VERSION_UNKNOWN) {
        return FALSE;  // no range holds an unknown version
    }

    // The input wrapped once, on the stack, around the caller's buffer.
    UNICODE_STRING inputUnicode;
    ANSI_STRING inputAnsi;
    inputUnicode.Length = inputUnicode.MaximumLength = (USHORT)InputLength;
    inputUnicode.Buffer = (PWCH)Input;
    inputAnsi.Length = inputAnsi.MaximumLength = (USHORT)InputLength;
    inputAnsi.Buffer = (PCHAR)Input;

    for (PLIST_ENTRY link = head->Flink; link != head; link = link->Flink) {
        const RULE_ENTRY* rule = CONTAINING_RECORD(link, RULE_ENTRY, Links);
        if (rule->DataLength != InputLength || rule->Type != (ULONG)RuleType) {
            continue;
        }
        BOOLEAN equal;
        if (comparison == COMPARE_UNICODE) {
            UNICODE_STRING data;
            data.Length = data.MaximumLength = (USHORT)rule->DataLength;
            data.Buffer = (PWCH)rule->Data;
            equal = RtlCompareUnicodeString(&data, &inputUnicode, TRUE) == 0;
        } else if (comparison == COMPARE_ANSI) {
            ANSI_STRING data;
            data.Length = data.MaximumLength = (USHORT)rule->DataLength;
            data.Buffer = (PCHAR)rule->Data;
            equal = RtlCompareString(&data, &inputAnsi, TRUE) == 0;
        } else {
            equal = RtlCompareMemory(Input, rule->Data, InputLength) == InputLength;
        }
        if (!equal) {
            continue;
        }
        if (ranged && (FileVersion < rule->MinVersion || FileVersion > rule->MaxVersion)) {
            continue;  // a later rule with the same data may still hold the version
        }
        return TRUE;
    }
    return FALSE;
}

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

// One walk of a list, for one fact. A rule is a candidate when its Type and
// DataLength are those of the fact; a candidate matches when its data equals
// the fact and, for the version-range types, its range holds the version.
//
// Most candidates differ from the fact in their first byte or character, so
// each walk compares that itself, once per candidate, and calls the
// platform's comparison only for the candidates that agree there. A first
// character that differs only where the platform's case folding decides
// (outside ASCII) is left to the call too.
struct FACT {
    ULONG Type;
    PCVOID Input;
    ULONG Length;
    ULONGLONG Version;
    BOOLEAN Ranged;
};

// Whether a candidate whose data compared equal matches.
inline BOOLEAN RangeHolds(const FACT& Fact, const RULE_ENTRY* Rule) {
    return !Fact.Ranged || (Fact.Version >= Rule->MinVersion && Fact.Version <= Rule->MaxVersion);
}

inline BOOLEAN IsCandidate(const FACT& Fact, const RULE_ENTRY* Rule) {
    return Rule->DataLength == Fact.Length && Rule->Type == Fact.Type;
}

// Upper-cases an ASCII letter; every other value stays as it is.
inline ULONG FoldAscii(ULONG C) {
    return (C >= 'a' && C <= 'z') ? C - ('a' - 'A') : C;
}

// Raw bytes, exactly.
BOOLEAN WalkBytes(PLIST_ENTRY Head, const FACT& Fact) {
    const UCHAR first = *(const UCHAR*)Fact.Input;
    for (PLIST_ENTRY link = Head->Flink; link != Head; link = link->Flink) {
        const RULE_ENTRY* rule = CONTAINING_RECORD(link, RULE_ENTRY, Links);
        if (!IsCandidate(Fact, rule) || rule->Data[0] != first) {
            continue;
        }
        if (RtlCompareMemory(Fact.Input, rule->Data, Fact.Length) == Fact.Length && RangeHolds(Fact, rule)) {
            return TRUE;
        }
        // Otherwise a later rule with the same data may still hold the version.
    }
    return FALSE;
}

// 8-bit text, ignoring case. The platform folds the ASCII letters to their
// capitals and keeps the rest of ASCII, so two ASCII first characters that
// differ after that folding never compare equal.
BOOLEAN WalkAnsi(PLIST_ENTRY Head, const FACT& Fact) {
    ANSI_STRING input;
    input.Length = input.MaximumLength = (USHORT)Fact.Length;
    input.Buffer = (PCHAR)Fact.Input;
    const ULONG first = *(const UCHAR*)Fact.Input;
    const BOOLEAN firstIsAscii = first < 0x80;
    const ULONG firstFolded = FoldAscii(first);
    for (PLIST_ENTRY link = Head->Flink; link != Head; link = link->Flink) {
        const RULE_ENTRY* rule = CONTAINING_RECORD(link, RULE_ENTRY, Links);
        if (!IsCandidate(Fact, rule)) {
            continue;
        }
        const ULONG ruleFirst = rule->Data[0];
        if (firstIsAscii && ruleFirst < 0x80 && FoldAscii(ruleFirst) != firstFolded) {
            continue;
        }
        ANSI_STRING data;
        data.Length = data.MaximumLength = (USHORT)rule->DataLength;
        data.Buffer = (PCHAR)rule->Data;
        if (RtlCompareString(&data, &input, TRUE) == 0 && RangeHolds(Fact, rule)) {
            return TRUE;
        }
    }
    return FALSE;
}

// UTF-16 text, ignoring case; the same for the first code unit (read
// bytewise, low byte first). A fact of one byte holds no whole code unit:
// there every candidate goes to the platform's comparison.
BOOLEAN WalkUnicode(PLIST_ENTRY Head, const FACT& Fact) {
    UNICODE_STRING input;
    input.Length = input.MaximumLength = (USHORT)Fact.Length;
    input.Buffer = (PWCH)Fact.Input;
    const UCHAR* bytes = (const UCHAR*)Fact.Input;
    const ULONG first = Fact.Length >= sizeof(WCHAR) ? (ULONG)bytes[0] | ((ULONG)bytes[1] << 8) : 0x80;
    const BOOLEAN firstIsAscii = first < 0x80;
    const ULONG firstFolded = FoldAscii(first);
    for (PLIST_ENTRY link = Head->Flink; link != Head; link = link->Flink) {
        const RULE_ENTRY* rule = CONTAINING_RECORD(link, RULE_ENTRY, Links);
        if (!IsCandidate(Fact, rule)) {
            continue;
        }
        if (firstIsAscii) {
            const ULONG ruleFirst = (ULONG)rule->Data[0] | ((ULONG)rule->Data[1] << 8);
            if (ruleFirst < 0x80 && FoldAscii(ruleFirst) != firstFolded) {
                continue;
            }
        }
        UNICODE_STRING data;
        data.Length = data.MaximumLength = (USHORT)rule->DataLength;
        data.Buffer = (PWCH)rule->Data;
        if (RtlCompareUnicodeString(&data, &input, TRUE) == 0 && RangeHolds(Fact, rule)) {
            return TRUE;
        }
    }
    return FALSE;
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

    FACT fact;
    fact.Type = (ULONG)RuleType;
    fact.Input = Input;
    fact.Length = InputLength;
    fact.Version = FileVersion;
    fact.Ranged = ranged;
    switch (comparison) {
    case COMPARE_UNICODE:
        return WalkUnicode(head, fact);
    case COMPARE_ANSI:
        return WalkAnsi(head, fact);
    default:
        return WalkBytes(head, fact);
    }
}

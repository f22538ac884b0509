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

// Text, ignoring case: 8-bit or UTF-16, as the traits below give. The
// platform folds the ASCII letters to their capitals and keeps the rest of
// ASCII, so two ASCII first characters that differ after that folding never
// compare equal. First reads the first character of text that holds at
// least one whole character.
struct ANSI_TEXT {
    typedef ANSI_STRING STRING;
    static ULONG First(const UCHAR* Data) { return Data[0]; }
    static LONG Compare(STRING* A, STRING* B) { return RtlCompareString(A, B, TRUE); }
};

// The first code unit is read bytewise, low byte first.
struct UNICODE_TEXT {
    typedef UNICODE_STRING STRING;
    static ULONG First(const UCHAR* Data) { return (ULONG)Data[0] | ((ULONG)Data[1] << 8); }
    static LONG Compare(STRING* A, STRING* B) { return RtlCompareUnicodeString(A, B, TRUE); }
};

template <typename TEXT>
inline void CountedString(typename TEXT::STRING* String, PCVOID Data, ULONG Length) {
    String->Length = String->MaximumLength = (USHORT)Length;
    String->Buffer = (decltype(String->Buffer))Data;
}

template <typename TEXT>
BOOLEAN WalkText(PLIST_ENTRY Head, const FACT& Fact) {
    typename TEXT::STRING input;
    CountedString<TEXT>(&input, Fact.Input, Fact.Length);
    // A fact too short to hold one whole character (one byte of UTF-16) has
    // no first character to compare: every candidate goes to the platform.
    const ULONG first =
        Fact.Length >= sizeof(*input.Buffer) ? TEXT::First((const UCHAR*)Fact.Input) : 0x80;
    const BOOLEAN firstIsAscii = first < 0x80;
    const ULONG firstFolded = FoldAscii(first);
    for (PLIST_ENTRY link = Head->Flink; link != Head; link = link->Flink) {
        const RULE_ENTRY* rule = CONTAINING_RECORD(link, RULE_ENTRY, Links);
        if (!IsCandidate(Fact, rule)) {
            continue;
        }
        if (firstIsAscii) {
            const ULONG ruleFirst = TEXT::First(rule->Data);
            if (ruleFirst < 0x80 && FoldAscii(ruleFirst) != firstFolded) {
                continue;
            }
        }
        typename TEXT::STRING data;
        CountedString<TEXT>(&data, rule->Data, rule->DataLength);
        if (TEXT::Compare(&data, &input) == 0 && RangeHolds(Fact, rule)) {
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
        return WalkText<UNICODE_TEXT>(head, fact);
    case COMPARE_ANSI:
        return WalkText<ANSI_TEXT>(head, fact);
    default:
        return WalkBytes(head, fact);
    }
}

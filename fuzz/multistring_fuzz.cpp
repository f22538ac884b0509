// MultiStringQueryRoutine over any value data and type, as the registry query
// hands them over: the records are the value's non-empty strings in order,
// each well formed; one failed allocation loses exactly its own string; the
// list empties without a leak.
//
// Input: a byte choosing the value type, a byte for an injected pool failure,
// a byte of flags (null data, null context, the records' value), then the
// value's data.
#include "fuzz_support.h"

#include <string>
#include <vector>

namespace {

ULONG ValueType(std::uint8_t choice) {
    static const ULONG others[] = {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD,
                                   REG_DWORD_BIG_ENDIAN, REG_LINK, REG_QWORD};
    return (choice & 7) < 5 ? REG_MULTI_SZ : others[(choice >> 3) & 7];
}

// The strings that should become records, as the value holds them.
std::vector<std::u16string> ExpectedStrings(const std::uint8_t* data, std::size_t length) {
    std::vector<std::u16string> strings;
    std::u16string current;
    for (std::size_t i = 0; i + 1 < length; i += 2) {
        const char16_t c = static_cast<char16_t>(data[i] | data[i + 1] << 8);
        if (c == 0) {
            if (!current.empty()) strings.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) strings.push_back(current);
    return strings;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    hk::ResetKernel();
    fuzz::Input input(data, size);
    const ULONG type = ValueType(input.Byte());
    const std::uint64_t failing = fuzz::ArmPoolFailure(input.Byte());
    const std::uint8_t flags = input.Byte();
    const fuzz::ExactCopy value(input.Rest());

    LIST_ENTRY list;
    InitializeListHead(&list);
    MULTI_STRING_CONTEXT context{&list, static_cast<ULONG>(flags >> 2)};
    PVOID valueData = (flags & 1) ? nullptr : value.data();
    PVOID contextArgument = (flags & 2) ? nullptr : &context;

    const NTSTATUS status = MultiStringQueryRoutine(nullptr, type, valueData, static_cast<ULONG>(value.size()),
                                                    contextArgument, nullptr);

    std::vector<std::u16string> expected;
    if (valueData == nullptr || contextArgument == nullptr) {
        FUZZ_CHECK(status == STATUS_SUCCESS);
    } else if (type != REG_MULTI_SZ) {
        FUZZ_CHECK(status == STATUS_INVALID_VARIANT);
    } else {
        FUZZ_CHECK(status == STATUS_SUCCESS);
        // One allocation for each string that fits a record; the failing one
        // is lost, the others stay in order.
        std::uint64_t allocation = 0;
        for (const std::u16string& s : ExpectedStrings(value.data(), value.size())) {
            if (s.size() * 2 > NAME_ENTRY_MAX_LENGTH) continue;
            if (++allocation == failing) continue;
            expected.push_back(s);
        }
    }

    std::vector<std::u16string> records;
    for (LIST_ENTRY* link = list.Flink; link != &list; link = link->Flink) {
        const NAME_ENTRY* entry = CONTAINING_RECORD(link, NAME_ENTRY, Links);
        FUZZ_CHECK(entry->Name.Length > 0 && entry->Name.Length % 2 == 0);
        FUZZ_CHECK(entry->Name.MaximumLength == entry->Name.Length + 2);
        FUZZ_CHECK(entry->Name.Buffer == reinterpret_cast<const WCHAR*>(entry + 1));
        FUZZ_CHECK(entry->Name.Buffer[entry->Name.Length / 2] == 0);
        FUZZ_CHECK(entry->Value == context.EntryValue);
        records.emplace_back(reinterpret_cast<const char16_t*>(entry->Name.Buffer), entry->Name.Length / 2);
    }
    FUZZ_CHECK(records == expected);

    FreeEntryList(&list);
    FUZZ_CHECK(IsListEmpty(&list));
    FUZZ_CHECK(hk::PoolLiveCount(ELAM_POOL_TAG) == 0);
    return 0;
}

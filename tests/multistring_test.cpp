// REG_MULTI_SZ values read into NAME_ENTRY lists, the records' layout, and
// the emptying of lists, corrupt links included.
#include "support/driver_state.h"
#include "support/registry_data.h"

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

using regdata::Bytes;
using regdata::kConfigKey;
using regdata::Le;
using regdata::MultiSz;

class MultiStringTest : public DriverStateTest {
protected:
    void SetUp() override {
        DriverStateTest::SetUp();
        InitializeListHead(&list_);
        hk::TheRegistry().CreateKey(kConfigKey);
    }
    void TearDown() override {
        FreeEntryList(&list_);
        DriverStateTest::TearDown();
    }

    NTSTATUS Read(const char16_t* value = u"Names") {
        return ReadMultiStringValue(kConfigKey.c_str(), &list_, value);
    }
    void Set(const Bytes& data, ULONG type = REG_MULTI_SZ, std::u16string_view value = u"Names") {
        hk::TheRegistry().SetValue(kConfigKey, value, type, data);
    }

    LIST_ENTRY list_;
};

// Every record: one block of the record and Length + 2 bytes, the characters
// right behind the record, then a NUL.
void ExpectWellFormedRecords(const LIST_ENTRY& head) {
    const auto blocks = hk::PoolLiveBlocks();
    for (const LIST_ENTRY* link = head.Flink; link != &head; link = link->Flink) {
        const NAME_ENTRY* entry = CONTAINING_RECORD(link, NAME_ENTRY, Links);
        SCOPED_TRACE(hk::Utf16ToUtf8(std::u16string(entry->Name.Buffer, entry->Name.Length / 2)));
        EXPECT_EQ(entry->Name.Buffer, reinterpret_cast<const WCHAR*>(entry + 1));
        EXPECT_EQ(entry->Name.MaximumLength, entry->Name.Length + 2);
        EXPECT_EQ(entry->Name.Buffer[entry->Name.Length / 2], 0);
        const auto block = std::find_if(blocks.begin(), blocks.end(),
                                        [&](const hk::PoolBlock& b) { return b.address == entry; });
        ASSERT_NE(block, blocks.end()) << "a record must start its block";
        EXPECT_EQ(block->tag, ELAM_POOL_TAG);
        EXPECT_EQ(block->size, sizeof(NAME_ENTRY) + entry->Name.Length + 2);
    }
}

TEST_F(MultiStringTest, SplitsTheValueIntoOneRecordPerNonEmptyString) {
    struct Case {
        const char* label;
        Bytes data;
        std::vector<std::u16string> names;
    };
    const Case cases[] = {
        {"A, empty, B", MultiSz({u"A", u"", u"B"}), {u"A", u"B"}},
        {"only the closing NUL", MultiSz({}), {}},
        {"no data at all", Bytes{}, {}},
        {"several empty strings", Le(std::u16string(u"\0\0\0X\0\0", 6)), {u"X"}},
        {"last string without terminator", Le(std::u16string(u"A\0BC", 4)), {u"A", u"BC"}},
        {"odd length: lone byte after a string", [] { Bytes d = Le(u"AB"); d.push_back(0x43); return d; }(), {u"AB"}},
        {"odd length: lone byte after a NUL",
         [] { Bytes d = Le(std::u16string(u"A\0", 2)); d.push_back(0x42); return d; }(), {u"A"}},
        {"case and blanks kept", MultiSz({u"x.sys", u"X.SYS", u" a b "}), {u"x.sys", u"X.SYS", u" a b "}},
        {"non-ASCII kept", MultiSz({u"\u00E9\u0434.sys"}), {u"\u00E9\u0434.sys"}},
        {"same string twice", MultiSz({u"a", u"a"}), {u"a", u"a"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Set(c.data);
        EXPECT_EQ(Read(), STATUS_SUCCESS);
        EXPECT_EQ(Names(list_), c.names);
        for (const NameRecord& record : NameRecords(list_)) EXPECT_EQ(record.value, 0u);
        ExpectWellFormedRecords(list_);
        FreeEntryList(&list_);
    }
}

TEST_F(MultiStringTest, ValueOfAnotherTypeIsRefusedAndAddsNothing) {
    Set(MultiSz({u"kept"}));
    ASSERT_EQ(Read(), STATUS_SUCCESS);
    struct Case {
        ULONG type;
        Bytes data;
    };
    const Case cases[] = {
        {REG_SZ, regdata::Sz(u"a.sys")},
        {REG_EXPAND_SZ, regdata::Sz(u"a.sys")},
        {REG_DWORD, regdata::Dword(1)},
        {REG_BINARY, MultiSz({u"a.sys"})},  // the bytes of a multi-string do not make one
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        Set(c.data, c.type, u"Other");
        EXPECT_EQ(Read(u"Other"), STATUS_INVALID_VARIANT);
        EXPECT_EQ(Names(list_), std::vector<std::u16string>{u"kept"});
    }
}

TEST_F(MultiStringTest, AppendsBehindExistingRecordsAndMissingValuesAddNothing) {
    Set(MultiSz({u"a", u"b"}), REG_MULTI_SZ, u"First");
    Set(MultiSz({u"c"}), REG_MULTI_SZ, u"Second");
    ASSERT_EQ(Read(u"First"), STATUS_SUCCESS);
    ASSERT_EQ(Read(u"Second"), STATUS_SUCCESS);
    EXPECT_EQ(Read(u"Missing"), STATUS_SUCCESS);
    EXPECT_EQ(Names(list_), (std::vector<std::u16string>{u"a", u"b", u"c"}));

    const std::u16string missing_key = kConfigKey + u"\\Nowhere";
    EXPECT_EQ(ReadMultiStringValue(missing_key.c_str(), &list_, u"First"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Names(list_).size(), 3u);
}

TEST_F(MultiStringTest, NullArgumentsAreRefusedBeforeAnyQuery) {
    Set(MultiSz({u"a"}));
    EXPECT_EQ(ReadMultiStringValue(nullptr, &list_, u"Names"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ReadMultiStringValue(kConfigKey.c_str(), nullptr, u"Names"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ReadMultiStringValue(kConfigKey.c_str(), &list_, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(IsListEmpty(&list_));
    EXPECT_EQ(hk::State().query_registry_calls + hk::State().query_registry_ex_calls, 0u);
}

TEST_F(MultiStringTest, QueryRoutineIsChosenAtEachCall) {
    Set(MultiSz({u"a"}));
    ASSERT_EQ(Read(), STATUS_SUCCESS);
    EXPECT_EQ(hk::State().query_registry_ex_calls, 1u);
    EXPECT_EQ(hk::State().query_registry_calls, 0u);

    hk::State().export_query_registry_values_ex = false;
    ASSERT_EQ(Read(), STATUS_SUCCESS);
    EXPECT_EQ(hk::State().query_registry_ex_calls, 1u);
    EXPECT_EQ(hk::State().query_registry_calls, 1u);
    EXPECT_EQ(Names(list_), (std::vector<std::u16string>{u"a", u"a"}));
}

TEST_F(MultiStringTest, StringTooLongForACountedStringIsRefused) {
    // 32,766 characters and their NUL fill a 16-bit MaximumLength exactly.
    const std::u16string longest(32766, u'x');
    const std::u16string too_long(32767, u'y');
    Set(MultiSz({too_long, u"after", longest}));
    ASSERT_EQ(Read(), STATUS_SUCCESS);
    const auto names = Names(list_);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], u"after");
    EXPECT_EQ(names[1], longest);
    const NAME_ENTRY* entry = CONTAINING_RECORD(list_.Blink, NAME_ENTRY, Links);
    EXPECT_EQ(entry->Name.Length, 65532);
    EXPECT_EQ(entry->Name.MaximumLength, 65534);
    ExpectWellFormedRecords(list_);
}

TEST_F(MultiStringTest, FailedAllocationLosesThatStringOnly) {
    Set(MultiSz({u"a", u"bb", u"ccc"}));
    hk::PoolFailNth(2);
    EXPECT_EQ(Read(), STATUS_SUCCESS);
    EXPECT_EQ(Names(list_), (std::vector<std::u16string>{u"a", u"ccc"}));
    EXPECT_EQ(hk::PoolStatistics().failed, 1u);
}

TEST_F(MultiStringTest, QueryRoutineCalledDirectly) {
    const Bytes data = MultiSz({u"one", u"two"});
    MULTI_STRING_CONTEXT context{&list_, 7};
    PVOID bytes = const_cast<std::uint8_t*>(data.data());
    const ULONG length = static_cast<ULONG>(data.size());

    EXPECT_EQ(MultiStringQueryRoutine(nullptr, REG_MULTI_SZ, nullptr, length, &context, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(MultiStringQueryRoutine(nullptr, REG_MULTI_SZ, bytes, length, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(MultiStringQueryRoutine(nullptr, REG_SZ, bytes, length, &context, nullptr), STATUS_INVALID_VARIANT);
    EXPECT_TRUE(IsListEmpty(&list_));

    // The length bounds the walk: the data need not end in NULs.
    EXPECT_EQ(MultiStringQueryRoutine(nullptr, REG_MULTI_SZ, bytes, 6, &context, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(MultiStringQueryRoutine(nullptr, REG_MULTI_SZ, bytes, length, &context, nullptr), STATUS_SUCCESS);
    const auto records = NameRecords(list_);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].name, u"one");
    EXPECT_EQ(records[1].name, u"one");
    EXPECT_EQ(records[2].name, u"two");
    for (const NameRecord& record : records) EXPECT_EQ(record.value, 7u) << "each record takes the context's value";
}

TEST_F(MultiStringTest, AppendNameEntry) {
    const std::u16string longest(32766, u'n');
    EXPECT_EQ(AppendNameEntry(&list_, longest.data(), 0xFFFC, 255), STATUS_SUCCESS);
    EXPECT_EQ(AppendNameEntry(&list_, u"Ab", 4, 0), STATUS_SUCCESS);
    EXPECT_EQ(AppendNameEntry(&list_, u"", 0, 1), STATUS_SUCCESS);
    const std::uint64_t allocations = hk::PoolStatistics().allocations;
    EXPECT_EQ(AppendNameEntry(&list_, longest.data(), 0xFFFE, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(hk::PoolStatistics().allocations, allocations) << "refused before allocating";
    hk::PoolFailFrom(1);
    EXPECT_EQ(AppendNameEntry(&list_, u"x", 2, 0), STATUS_NO_MEMORY);

    const auto records = NameRecords(list_);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].name, longest);
    EXPECT_EQ(records[0].value, 255u);
    EXPECT_EQ(records[1].name, u"Ab");
    EXPECT_EQ(records[2].name, u"");
    EXPECT_EQ(records[2].value, 1u);
    ExpectWellFormedRecords(list_);
}

TEST_F(MultiStringTest, FreeEntryListEmptiesAndLeavesAReusableHead) {
    Set(MultiSz({u"a", u"b"}));
    ASSERT_EQ(Read(), STATUS_SUCCESS);
    FreeEntryList(&list_);
    EXPECT_EQ(list_.Flink, &list_);
    EXPECT_EQ(list_.Blink, &list_);
    EXPECT_EQ(hk::PoolLiveCount(ELAM_POOL_TAG), 0u);

    const std::uint64_t allocations = hk::PoolStatistics().allocations;
    FreeEntryList(&list_);  // a second call, on an empty list
    EXPECT_EQ(list_.Flink, &list_);
    EXPECT_EQ(list_.Blink, &list_);
    EXPECT_EQ(hk::PoolStatistics().allocations, allocations);

    ASSERT_EQ(Read(), STATUS_SUCCESS);
    EXPECT_EQ(Names(list_), (std::vector<std::u16string>{u"a", u"b"}));
}

TEST_F(MultiStringTest, FreeEntryListLeavesUninitializedHeadsAlone) {
    FreeEntryList(nullptr);
    LIST_ENTRY zeroed{nullptr, nullptr};
    FreeEntryList(&zeroed);
    EXPECT_EQ(zeroed.Flink, nullptr);
    EXPECT_EQ(zeroed.Blink, nullptr);
    LIST_ENTRY half{&zeroed, nullptr};  // either link null: never initialized
    FreeEntryList(&half);
    EXPECT_EQ(half.Flink, &zeroed);
    EXPECT_EQ(half.Blink, nullptr);
}

// A list whose links were broken: the driver stops with fast-fail 3. The
// machine would stop there, so the test drops the pool as it stands.
class CorruptListTest : public MultiStringTest {
protected:
    void ExpectFastFail(const std::function<void()>& action) {
        EXPECT_THROW(action(), hk::FastFail);
        EXPECT_EQ(hk::FastFailCount(), 1u);
        EXPECT_EQ(hk::LastFastFailCode(), ULONG{FAST_FAIL_CORRUPT_LIST_ENTRY});
        hk::PoolReset();
        InitializeListHead(&list_);
    }
    std::vector<NAME_ENTRY*> Entries() {
        std::vector<NAME_ENTRY*> entries;
        for (LIST_ENTRY* link = list_.Flink; link != &list_; link = link->Flink) {
            entries.push_back(CONTAINING_RECORD(link, NAME_ENTRY, Links));
        }
        return entries;
    }
};

TEST_F(CorruptListTest, InsertionBehindATailThatDoesNotPointBack) {
    Set(MultiSz({u"a"}));
    ASSERT_EQ(Read(), STATUS_SUCCESS);
    Entries()[0]->Links.Flink = &Entries()[0]->Links;
    ExpectFastFail([&] { Read(); });
}

TEST_F(CorruptListTest, RemovalOfAnEntryWithBrokenLinks) {
    struct Case {
        const char* label;
        std::function<void(std::vector<NAME_ENTRY*>&)> corrupt;
    };
    const Case cases[] = {
        {"first entry's back link", [](auto& e) { e[0]->Links.Blink = &e[1]->Links; }},
        {"second entry's back link", [](auto& e) { e[1]->Links.Blink = &e[2]->Links; }},
        {"third entry's back link, found after one record was freed",
         [](auto& e) { e[2]->Links.Blink = &e[0]->Links; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        hk::ResetKernel();
        hk::TheRegistry().CreateKey(kConfigKey);
        Set(MultiSz({u"a", u"b", u"c"}));
        ASSERT_EQ(Read(), STATUS_SUCCESS);
        auto entries = Entries();
        c.corrupt(entries);
        ExpectFastFail([&] { FreeEntryList(&list_); });
    }
}

}  // namespace

// Corrupt links in the driver's global lists: the insertion of a blocked
// driver's record at classification, and the emptying of every list at
// unload, stop with fast-fail 3 at the first link that does not point back,
// and touch nothing beyond it. (The reader's own list and the rule loader are
// covered in multistring_test.cpp and rules_test.cpp.)
#include "harness/boot.h"

#include "support/driver_state.h"
#include "support/registry_data.h"

#include <functional>
#include <string>
#include <vector>

namespace {

using regdata::kConfigKey;
using regdata::kServiceKey;

// Each record of a list, in order, found by its forward links.
std::vector<LIST_ENTRY*> Links(LIST_ENTRY& head) {
    std::vector<LIST_ENTRY*> links;
    for (LIST_ENTRY* link = head.Flink; link != &head; link = link->Flink) links.push_back(link);
    return links;
}

class CorruptGlobalListTest : public DriverStateTest {
protected:
    // The action must stop with fast-fail 3. The machine stops there, so the
    // test then drops the pool and the driver's state as they stand.
    void ExpectFastFail(const std::function<void()>& action) {
        EXPECT_THROW(action(), hk::FastFail);
        EXPECT_EQ(hk::FastFailCount(), 1u);
        EXPECT_EQ(hk::LastFastFailCode(), ULONG{FAST_FAIL_CORRUPT_LIST_ENTRY});
    }
    void DropEverything() {
        hk::PoolReset();
        ForgetDriverState();
    }
    void TearDown() override {
        DropEverything();
        DriverStateTest::TearDown();
    }

    // A boot driver that the failed-code-integrity rule blocks.
    static BDCB_IMAGE_INFORMATION BlockedImage(std::u16string& name) {
        BDCB_IMAGE_INFORMATION info{};
        info.ImageName = hk::MakeUnicodeString(name);
        info.ImageFlags = BDCB_IMAGEFLAGS_FAILED_CODE_INTEGRITY;
        return info;
    }
};

// ---------------------------------------------------------------------------
// The blocked-driver list at classification
// ---------------------------------------------------------------------------
TEST_F(CorruptGlobalListTest, RecordOfABlockedDriverIsNotInsertedBehindABrokenTail) {
    struct Case {
        const char* label;
        std::function<void(std::vector<LIST_ENTRY*>&)> corrupt;
    };
    const Case cases[] = {
        {"the tail's forward link points to itself", [](auto& l) { l[1]->Flink = l[1]; }},
        {"the head's back link points to a record that is not the tail",
         [](auto& l) { g_BlockedDrivers.Blink = l[0]; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        DropEverything();
        hk::ResetKernel();
        g_DriverBlocking = 1 | DRIVER_BLOCKING_FAILED_CI;
        std::u16string first = u"\\drivers\\one.sys", second = u"\\drivers\\two.sys", third = u"\\drivers\\three.sys";
        for (std::u16string* name : {&first, &second}) {
            BDCB_IMAGE_INFORMATION info = BlockedImage(*name);
            ClassifyImage(&info);
        }
        std::vector<LIST_ENTRY*> links = Links(g_BlockedDrivers);
        ASSERT_EQ(links.size(), 2u);
        c.corrupt(links);
        const LIST_ENTRY before[] = {g_BlockedDrivers, *links[0], *links[1]};

        BDCB_IMAGE_INFORMATION info = BlockedImage(third);
        ExpectFastFail([&] { ClassifyImage(&info); });
        // Nothing was linked in: every link is as the corruption left it.
        const LIST_ENTRY after[] = {g_BlockedDrivers, *links[0], *links[1]};
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(after[i].Flink, before[i].Flink) << i;
            EXPECT_EQ(after[i].Blink, before[i].Blink) << i;
        }
    }
}

// ---------------------------------------------------------------------------
// FreeAllLists over a corrupt list
// ---------------------------------------------------------------------------

// Where the corrupt list lies among those FreeAllLists empties, in its order.
enum Where { kFirstRuleList, kMiddleRuleList, kLastRuleList, kExclusions, kBlocked };

LIST_ENTRY& ListAt(Where where) {
    switch (where) {
    case kFirstRuleList: return g_RuleLists[0];
    case kMiddleRuleList: return g_RuleLists[3];
    case kLastRuleList: return g_RuleLists[RULE_TYPE_COUNT - 1];
    case kExclusions: return g_ExcludedDrivers;
    default: return g_BlockedDrivers;
    }
}

// The lists in the order FreeAllLists empties them.
std::vector<LIST_ENTRY*> ListsInFreeOrder() {
    std::vector<LIST_ENTRY*> lists;
    for (LIST_ENTRY& head : g_RuleLists) lists.push_back(&head);
    lists.push_back(&g_ExcludedDrivers);
    lists.push_back(&g_BlockedDrivers);
    return lists;
}

TEST_F(CorruptGlobalListTest, FreeAllListsStopsAtTheFirstBrokenLink) {
    struct Case {
        const char* label;
        std::function<void(LIST_ENTRY& head, std::vector<LIST_ENTRY*>&)> corrupt;
        std::size_t freed;  // records of the corrupt list freed before the stop
    };
    const Case corruptions[] = {
        {"the first record's back link", [](auto&, auto& l) { l[0]->Blink = l[1]; }, 0},
        {"the head's forward link skips the first record", [](auto& head, auto& l) { head.Flink = l[1]; }, 0},
        {"the third record's back link, met after one record was freed", [](auto&, auto& l) { l[2]->Blink = l[0]; },
         1},
    };
    const Where places[] = {kFirstRuleList, kMiddleRuleList, kLastRuleList, kExclusions, kBlocked};
    const std::u16string range = u";" + std::u16string(32, u'0');
    for (Where where : places) {
        for (const Case& c : corruptions) {
            SCOPED_TRACE(std::string(c.label) + ", list " + std::to_string(where));
            DropEverything();
            hk::ResetKernel();
            ForgetDriverState();
            // Three records in every list, from the registry as at start-up.
            hk::TheRegistry().CreateKey(kConfigKey);
            for (int type = 0; type < RULE_TYPE_COUNT; ++type) {
                const std::u16string tail = RuleTypeHasVersionRange(type) ? range : u"";
                regdata::SetMultiSz(kConfigKey, u"DrvBlockType" + std::u16string(1, char16_t(u'0' + type)),
                                    {u"a;41" + tail, u"b;42" + tail, u"c;43" + tail});
            }
            regdata::SetMultiSz(kConfigKey, u"ExcludedDrivers", {u"\\x.sys", u"\\y.sys", u"\\z.sys"});
            const UNICODE_STRING service = hk::MakeUnicodeString(kServiceKey);
            ASSERT_EQ(LoadConfiguration(&service), STATUS_SUCCESS);
            for (const char16_t* name : {u"\\a.sys", u"\\b.sys", u"\\c.sys"}) {
                ASSERT_EQ(AppendNameEntry(&g_BlockedDrivers, name, 12, 255), STATUS_SUCCESS);
            }

            const std::vector<LIST_ENTRY*> lists = ListsInFreeOrder();
            LIST_ENTRY& corrupt = ListAt(where);
            std::vector<LIST_ENTRY*> links = Links(corrupt);
            ASSERT_EQ(links.size(), 3u);
            std::vector<LIST_ENTRY> untouched;  // the heads behind the corrupt list
            bool behind = false;
            for (LIST_ENTRY* head : lists) {
                if (behind) untouched.push_back(*head);
                behind = behind || head == &corrupt;
            }
            const std::size_t live = hk::PoolLiveCount(ELAM_POOL_TAG);
            c.corrupt(corrupt, links);

            ExpectFastFail([] { FreeAllLists(); });
            // Every list ahead of the corrupt one is empty; in it, only the
            // records ahead of the broken link are gone; the lists behind it
            // and the configuration path are as they were.
            std::size_t ahead = 0;
            for (LIST_ENTRY* head : lists) {
                if (head == &corrupt) break;
                EXPECT_TRUE(IsListEmpty(head));
                ++ahead;
            }
            EXPECT_EQ(hk::PoolLiveCount(ELAM_POOL_TAG), live - 3 * ahead - c.freed);
            behind = false;
            std::size_t i = 0;
            for (LIST_ENTRY* head : lists) {
                if (behind) {
                    EXPECT_EQ(head->Flink, untouched[i].Flink);
                    EXPECT_EQ(head->Blink, untouched[i].Blink);
                    ++i;
                }
                behind = behind || head == &corrupt;
            }
            EXPECT_NE(g_ConfigKeyPath.Buffer, nullptr);
        }
    }
}

// ---------------------------------------------------------------------------
// A whole boot: a corrupt exclusion list stops the teardown at unload, after
// the report was written.
// ---------------------------------------------------------------------------
NTSTATUS NTAPI EntryThatBreaksTheExclusions(PDRIVER_OBJECT object, PUNICODE_STRING registry_path) {
    const NTSTATUS status = DriverEntry(object, registry_path);
    std::vector<LIST_ENTRY*> links = Links(g_ExcludedDrivers);
    if (links.size() == 2) links[1]->Blink = &g_ExcludedDrivers;
    return status;
}

TEST_F(CorruptGlobalListTest, BootWithACorruptExclusionListStopsAtUnload) {
    const std::u16string config = harness::ConfigKeyFor(harness::kDefaultServiceKey);
    hk::TheRegistry().CreateKey(config);
    regdata::SetDword(config, u"DriverBlocking", 0x80000001);
    regdata::SetMultiSz(config, u"ExcludedDrivers", {u"\\x.sys", u"\\y.sys"});
    harness::Scenario scenario;
    scenario.kernel.code_integrity_options = 0x3;
    scenario.drivers.push_back({u"\\drivers\\bad.sys", std::nullopt, std::nullopt, true});
    scenario.drivers.push_back({u"\\drivers\\y.sys", std::nullopt, std::nullopt, true});

    const harness::BootResult result = harness::RunBoot(scenario, &EntryThatBreaksTheExclusions);
    ASSERT_EQ(result.images.size(), 2u);
    EXPECT_EQ(result.images[0].classification, BdCbClassificationKnownBadImage);
    EXPECT_EQ(result.images[1].classification, BdCbClassificationUnknownImage);  // excluded: walking is no removal
    EXPECT_EQ(result.fast_fail, std::optional<ULONG>(FAST_FAIL_CORRUPT_LIST_ENTRY));
    const auto report = harness::DecodeReport(result.report.value_or(std::vector<std::uint8_t>{}));
    ASSERT_TRUE(report.has_value());
    ASSERT_EQ(report->size(), 1u);
    EXPECT_EQ((*report)[0].path, u"\\drivers\\bad.sys");
}

}  // namespace

// The driver's globals outlive a test: every test that runs driver code
// starts from their load-time values and releases what the driver left in
// them before the pool is checked for leaks.
#pragma once

#include "harness/boot.h"
#include "support/kernel_test.h"

#include <string>
#include <vector>

// Puts the globals back to their load-time values without freeing anything:
// for use right after hk::ResetKernel(), which already released every block.
// With InitializeLists the list heads are made empty lists, as
// LoadConfiguration does first; otherwise they are zeroed, as at load time.
inline void ForgetDriverState(bool InitializeLists = true) {
    harness::ResetDriverGlobals();
    if (InitializeLists) {
        for (LIST_ENTRY& head : g_RuleLists) InitializeListHead(&head);
        InitializeListHead(&g_ExcludedDrivers);
        InitializeListHead(&g_BlockedDrivers);
    }
}

// Frees every list, the configuration path and the snapshot the driver still
// holds, then restores the load-time values.
inline void ReleaseDriverState() {
    FreeAllLists();  // skips heads that were never initialized
    if (g_ModuleSnapshot != nullptr) {
        ExFreePoolWithTag(g_ModuleSnapshot, ELAM_POOL_TAG);
    }
    ForgetDriverState(false);
}

// KernelTest with the driver's globals reset before each test and released
// after it, ahead of the leak check.
class DriverStateTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        ForgetDriverState();
    }
    void TearDown() override {
        ReleaseDriverState();
        KernelTest::TearDown();
    }
};

// The records of a list of NAME_ENTRY, in list order.
struct NameRecord {
    std::u16string name;
    ULONG value;
};

inline std::vector<NameRecord> NameRecords(const LIST_ENTRY& head) {
    std::vector<NameRecord> records;
    for (const LIST_ENTRY* link = head.Flink; link != &head; link = link->Flink) {
        const NAME_ENTRY* entry = CONTAINING_RECORD(link, NAME_ENTRY, Links);
        records.push_back({std::u16string(entry->Name.Buffer, entry->Name.Length / 2), entry->Value});
    }
    return records;
}

inline std::vector<std::u16string> Names(const LIST_ENTRY& head) {
    std::vector<std::u16string> names;
    for (const NameRecord& record : NameRecords(head)) names.push_back(record.name);
    return names;
}

inline std::vector<const RULE_ENTRY*> Rules(const LIST_ENTRY& head) {
    std::vector<const RULE_ENTRY*> rules;
    for (const LIST_ENTRY* link = head.Flink; link != &head; link = link->Flink) {
        rules.push_back(CONTAINING_RECORD(link, RULE_ENTRY, Links));
    }
    return rules;
}

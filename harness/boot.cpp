#include "harness/boot.h"

#include "driver/elam.h"

#include <cstring>
#include <set>

namespace harness {
namespace {

// Offset of NAME_ENTRY::Value: the reason of a blocked-driver record.
constexpr std::size_t kNameEntryValueOffset = offsetof(NAME_ENTRY, Value);

std::vector<Event> DefaultEvents(std::size_t drivers) {
    std::vector<Event> events{{Event::Status, BdCbStatusPrepareForDependencyLoad}};
    for (std::size_t i = 0; i < drivers; ++i) events.push_back({Event::Image, static_cast<int>(i)});
    events.push_back({Event::Status, BdCbStatusPrepareForUnload});
    return events;
}

std::set<const void*> LiveAddresses() {
    std::set<const void*> live;
    for (const auto& block : hk::PoolLiveBlocks()) live.insert(block.address);
    return live;
}

// The record a classification left behind: the one new block that survived
// the callback and holds a NAME_ENTRY for this image.
std::optional<ULONG> RecordedReason(const std::set<const void*>& before, const std::u16string& name) {
    for (const auto& block : hk::PoolLiveBlocks()) {
        if (before.count(block.address) != 0 || block.tag != ELAM_POOL_TAG ||
            block.size != sizeof(NAME_ENTRY) + name.size() * 2 + 2) {
            continue;
        }
        ULONG value = 0;
        std::memcpy(&value, static_cast<const std::uint8_t*>(block.address) + kNameEntryValueOffset,
                    sizeof(value));
        return value;
    }
    return std::nullopt;
}

}  // namespace

void ResetDriverGlobals() {
    g_DriverBlocking = 1;
    g_ConfigKeyPath = UNICODE_STRING{0, 0, nullptr};
    g_ModuleSnapshot = nullptr;
    for (auto& head : g_RuleLists) head = LIST_ENTRY{nullptr, nullptr};
    g_ExcludedDrivers = LIST_ENTRY{nullptr, nullptr};
    g_BlockedDrivers = LIST_ENTRY{nullptr, nullptr};
}

std::u16string ConfigKeyFor(std::u16string_view service_key) {
    if (service_key.size() < 4 || !hk::EqualNoCase(service_key.substr(service_key.size() - 4), u"Elam")) {
        return {};
    }
    return std::u16string(service_key.substr(0, service_key.size() - 4)) + u"SP\\Parameters";
}

BootResult RunBoot(const Scenario& scenario, DriverEntryRoutine entry) {
    if (entry == nullptr) entry = &DriverEntry;
    hk::PoolReset();
    ResetDriverGlobals();

    hk::KernelState& state = hk::State();
    state.boot_callbacks.clear();
    state.export_query_registry_values_ex = scenario.kernel.query_registry_values_ex;
    state.code_integrity_options = scenario.kernel.code_integrity_options;
    state.modules.clear();
    for (const auto& module : scenario.modules) {
        state.modules.push_back({module.image->base(), module.image->image_size(), module.path});
    }
    InitSafeBootMode = scenario.kernel.safe_mode ? 1 : 0;
    KdDebuggerEnabled = scenario.kernel.debugger_enabled ? TRUE : FALSE;
    KdDebuggerNotPresent = scenario.kernel.debugger_present ? FALSE : TRUE;

    BootResult result;
    try {
        std::u16string service = scenario.service_key;
        UNICODE_STRING registry_path = hk::MakeUnicodeString(service);
        result.driver_entry_status = entry(nullptr, &registry_path);
        result.callback_registered = !state.boot_callbacks.empty();

        const std::vector<Event> events =
            scenario.events.empty() ? DefaultEvents(scenario.drivers.size()) : scenario.events;
        for (const Event& event : events) {
            if (!result.callback_registered) break;
            const auto callback = state.boot_callbacks.front();
            if (event.kind == Event::Status) {
                BDCB_STATUS_UPDATE_CONTEXT context{static_cast<BDCB_STATUS_UPDATE_TYPE>(event.value)};
                callback.routine(callback.context, BdCbStatusUpdate,
                                 reinterpret_cast<PBDCB_IMAGE_INFORMATION>(&context));
                continue;
            }
            const BootDriver& driver = scenario.drivers.at(static_cast<std::size_t>(event.value));
            std::u16string name = driver.name;
            std::vector<std::uint8_t> hash = driver.image_hash.value_or(std::vector<std::uint8_t>{});
            std::vector<std::uint8_t> thumbprint = driver.thumbprint.value_or(std::vector<std::uint8_t>{});
            BDCB_IMAGE_INFORMATION info{};
            info.Classification = BdCbClassificationKnownGoodImage;  // the driver must overwrite it
            info.ImageFlags = driver.failed_code_integrity ? BDCB_IMAGEFLAGS_FAILED_CODE_INTEGRITY : 0;
            info.ImageName = hk::MakeUnicodeString(name);
            if (driver.image_hash) {
                info.ImageHash = hash.empty() ? static_cast<PVOID>(&info) : hash.data();
                info.ImageHashLength = static_cast<ULONG>(hash.size());
                info.ImageHashAlgorithm = 0x800C;
            }
            if (driver.thumbprint) {
                info.CertificateThumbprint = thumbprint.empty() ? static_cast<PVOID>(&info) : thumbprint.data();
                info.CertificateThumbprintLength = static_cast<ULONG>(thumbprint.size());
                info.ThumbprintHashAlgorithm = 0x8004;
            }
            const std::set<const void*> before = LiveAddresses();
            callback.routine(callback.context, BdCbInitializeImage, &info);
            ImageVerdict verdict{static_cast<std::size_t>(event.value), name, info.Classification, std::nullopt};
            if (info.Classification == BdCbClassificationKnownBadImage && !name.empty()) {
                verdict.reason = RecordedReason(before, name);
            }
            result.images.push_back(verdict);
        }
    } catch (const hk::FastFail& failure) {
        result.fast_fail = failure.code;
    }

    const std::u16string config_key = ConfigKeyFor(scenario.service_key);
    if (!config_key.empty()) {
        if (const hk::RegValue* value = hk::TheRegistry().GetValue(config_key, u"ElamBlockedDrivers")) {
            result.report = value->data;
        }
    }
    result.leaked = hk::PoolLiveBlocks();
    return result;
}

std::optional<std::vector<ReportEntry>> DecodeReport(const std::vector<std::uint8_t>& data) {
    if (data.size() % 2 != 0) return std::nullopt;
    std::u16string units(data.size() / 2, u'\0');
    std::memcpy(units.data(), data.data(), data.size());
    std::vector<ReportEntry> entries;
    std::size_t position = 0;
    while (position < units.size() && units[position] != 0) {
        const std::size_t end = units.find(u'\0', position);
        if (end == std::u16string::npos) return std::nullopt;
        const char16_t marker = units[position];
        if ((marker & 0xFF00) != 0xFF00) return std::nullopt;
        entries.push_back({static_cast<ULONG>(marker & 0xFF), units.substr(position + 1, end - position - 1)});
        position = end + 1;
    }
    if (position + 1 != units.size()) return std::nullopt;  // the final empty string closes it
    return entries;
}

std::string ReasonName(ULONG reason) {
    static const char* const names[] = {
        "file-name",  "digest32",   "pdb-name",          "pdb-guid",
        "thumbprint", "image-hash", "file-name-version", "pdb-name-version",
        "thumbprint-version", "original-name", "original-name-version"};
    if (reason < RULE_TYPE_COUNT) return names[reason];
    if (reason == REASON_FAILED_CODE_INTEGRITY) return "failed-code-integrity";
    return "";
}

}  // namespace harness

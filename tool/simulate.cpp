#include "tool/simulate.h"

#include "hostkernel/image_loader.h"
#include "hostkernel/regfile.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>

namespace elamctl {
namespace {

std::string Status(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

const char* ClassificationName(BDCB_CLASSIFICATION classification) {
    switch (classification) {
    case BdCbClassificationUnknownImage: return "unknown";
    case BdCbClassificationKnownGoodImage: return "known_good";
    case BdCbClassificationKnownBadImage: return "known_bad";
    case BdCbClassificationKnownBadImageBootCritical: return "known_bad_boot_critical";
    default: return "invalid";
    }
}

std::string Pad(std::string text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

}  // namespace

Simulation Simulate(const LoadedScenario& scenario, bool export_configuration,
                    const std::optional<std::string>& image) {
    std::unique_ptr<hk::LoadedImage> loaded;
    if (image) {
        const Bytes file = ReadWholeFile(*image);
        try {
            loaded = hk::LoadedImage::Load(file, std::filesystem::path(*image).filename().string());
        } catch (const hk::ImageError& error) {
            throw ToolError(*image, std::string("cannot load the driver image: ") + error.what());
        }
    }
    LoadRegistry(scenario);
    Simulation simulation;
    simulation.result = harness::RunBoot(scenario.scenario, loaded ? loaded->entry() : nullptr);
    if (export_configuration) {
        const std::u16string key = harness::ConfigKeyFor(scenario.scenario.service_key);
        if (!key.empty() && hk::TheRegistry().FindKey(key) != nullptr) {
            simulation.configuration_reg = hk::ExportRegText(hk::TheRegistry(), key);
        }
    }
    // A driver never told to unload still holds its blocks; they are counted
    // in the result and released here, before a loaded image that points to
    // them goes away.
    hk::PoolReset();
    return simulation;
}

nlohmann::ordered_json ReportJson(const std::vector<std::uint8_t>& data, bool with_reason_names) {
    nlohmann::ordered_json out;
    out["hex"] = ToHex(data);
    const auto entries = harness::DecodeReport(data);
    if (!entries) {
        out["entries"] = nullptr;
        return out;
    }
    out["entries"] = nlohmann::ordered_json::array();
    for (const auto& entry : *entries) {
        nlohmann::ordered_json item;
        item["reason"] = entry.reason;
        if (with_reason_names) item["reason_name"] = harness::ReasonName(entry.reason);
        item["path"] = hk::Utf16ToUtf8(entry.path);
        out["entries"].push_back(item);
    }
    return out;
}

nlohmann::ordered_json SimulationJson(const Simulation& simulation) {
    const harness::BootResult& r = simulation.result;
    nlohmann::ordered_json out;
    out["driver_entry_status"] = Status(r.driver_entry_status);
    out["images"] = nlohmann::ordered_json::array();
    for (const auto& image : r.images) {
        nlohmann::ordered_json item;
        item["name"] = hk::Utf16ToUtf8(image.name);
        item["classification"] = ClassificationName(image.classification);
        item["reason"] = image.reason ? nlohmann::ordered_json(*image.reason) : nlohmann::ordered_json(nullptr);
        item["reason_name"] = image.reason ? nlohmann::ordered_json(harness::ReasonName(*image.reason)) : nlohmann::ordered_json(nullptr);
        out["images"].push_back(item);
    }
    out["report"] = r.report ? ReportJson(*r.report, false) : nlohmann::ordered_json(nullptr);
    out["leaked_pool_blocks"] = r.leaked.size();
    return out;
}

std::string SimulationText(const Simulation& simulation) {
    const harness::BootResult& r = simulation.result;
    std::ostringstream out;
    out << "DriverEntry returned " << Status(r.driver_entry_status);
    if (!r.callback_registered) out << "; no boot-driver callback was registered";
    out << "\n\n";

    std::size_t width = 10;
    for (const auto& image : r.images) width = std::max(width, hk::Utf16ToUtf8(image.name).size());
    out << Pad("Boot driver", width) << "  " << Pad("Verdict", 9) << "  Reason\n";
    out << std::string(width, '-') << "  " << std::string(9, '-') << "  " << std::string(24, '-') << '\n';
    for (const auto& image : r.images) {
        std::string name = hk::Utf16ToUtf8(image.name);
        if (name.empty()) name = "(empty name)";
        std::string verdict = image.classification == BdCbClassificationKnownBadImage ? "known bad"
                              : image.classification == BdCbClassificationUnknownImage
                                  ? "unknown"
                                  : ClassificationName(image.classification);
        std::string reason;
        if (image.reason) {
            reason = std::to_string(*image.reason) + " " + harness::ReasonName(*image.reason);
        } else if (image.classification == BdCbClassificationKnownBadImage) {
            reason = "(not recorded)";
        }
        out << Pad(name, width) << "  " << (reason.empty() ? verdict : Pad(verdict, 9) + "  " + reason) << '\n';
    }
    if (r.images.empty()) out << "(no boot drivers were classified)\n";

    out << "\nElamBlockedDrivers: ";
    if (!r.report) {
        out << "absent\n";
    } else if (const auto entries = harness::DecodeReport(*r.report)) {
        out << entries->size() << (entries->size() == 1 ? " entry" : " entries") << ", " << r.report->size()
            << " bytes\n";
        for (const auto& entry : *entries) {
            out << "  " << Pad(std::to_string(entry.reason) + " " + harness::ReasonName(entry.reason), 26)
                << hk::Utf16ToUtf8(entry.path) << '\n';
        }
    } else {
        out << "malformed: " << ToHex(*r.report) << '\n';
    }
    out << "\nPool blocks left after the boot: " << r.leaked.size() << '\n';
    if (r.fast_fail) out << "The driver raised fast-fail code " << *r.fast_fail << '\n';
    return out.str();
}

}  // namespace elamctl

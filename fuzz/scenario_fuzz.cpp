// The scenario reader (tool/scenario.h) over any text, and the boot it
// describes: a bad scenario is refused with ToolError and nothing else; a good
// one boots over the demo samples and configuration (fuzz/scenario/), and a
// boot that ends with the unload announcement leaves no block behind and a
// report that lists exactly the recorded verdicts.
//
// The scenario is written to a folder of its own next to copies of the files
// of fuzz/scenario/. File names in it that hold a path separator are not fed
// to the reader, so that it reads nothing outside that folder.
#include "fuzz_support.h"
#include "harness/boot.h"
#include "tool/simulate.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

fs::path g_Folder;

// Whether every file the scenario names lies in its own folder.
bool NamesOnlyLocalFiles(const nlohmann::json& root) {
    auto local = [](const nlohmann::json& name) {
        return !name.is_string() || name.get<std::string>().find_first_of("/\\") == std::string::npos;
    };
    if (!root.is_object()) return true;
    if (root.contains("registry") && root["registry"].is_array()) {
        for (const auto& name : root["registry"]) {
            if (!local(name)) return false;
        }
    }
    for (const char* list : {"boot_drivers", "module_list"}) {
        if (!root.contains(list) || !root[list].is_array()) continue;
        for (const auto& item : root[list]) {
            if (item.is_object() && item.contains("image") && !local(item["image"])) return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/elam-scenario-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    g_Folder = pattern;
    for (const auto& entry : fs::directory_iterator(ELAM_FUZZ_SCENARIO_FILES)) {
        fs::copy_file(entry.path(), g_Folder / entry.path().filename());
    }
    std::atexit([] { fs::remove_all(g_Folder); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const nlohmann::json parsed = nlohmann::json::parse(data, data + size, nullptr, false);
    if (!parsed.is_discarded() && !NamesOnlyLocalFiles(parsed)) return 0;

    const fs::path file = g_Folder / "scenario.json";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    std::unique_ptr<elamctl::LoadedScenario> scenario;
    elamctl::Simulation simulation;
    try {
        scenario = elamctl::LoadScenario(file.string());
        simulation = elamctl::Simulate(*scenario, true);
    } catch (const elamctl::ToolError&) {
        return 0;
    }
    (void)elamctl::SimulationText(simulation);
    (void)elamctl::SimulationJson(simulation).dump();

    const harness::BootResult& result = simulation.result;
    FUZZ_CHECK(!result.fast_fail);
    const auto& events = scenario->scenario.events;
    const bool endsWithUnload =
        events.empty() || (events.back().kind == harness::Event::Status && events.back().value == BdCbStatusPrepareForUnload);
    if (endsWithUnload) {
        for (const hk::PoolBlock& block : result.leaked) FUZZ_CHECK(block.tag != ELAM_POOL_TAG);
    }
    std::size_t unloads = 0;
    for (const auto& event : events) unloads += event.kind == harness::Event::Status && event.value == BdCbStatusPrepareForUnload;
    bool plainNames = true;  // a name with a NUL cannot stand in a multi-string
    for (const auto& verdict : result.images) plainNames = plainNames && verdict.name.find(u'\0') == std::u16string::npos;
    if (result.report && plainNames && (events.empty() || unloads == 1) && endsWithUnload) {
        // The scenario's .reg files hold no report: this one is the driver's.
        const auto entries = harness::DecodeReport(*result.report);
        FUZZ_CHECK(entries.has_value());
        std::vector<harness::ReportEntry> expected;
        for (const auto& verdict : result.images) {
            if (verdict.reason && !verdict.name.empty()) expected.push_back({*verdict.reason & 0xFF, verdict.name});
        }
        FUZZ_CHECK(entries->size() == expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            FUZZ_CHECK((*entries)[i].reason == expected[i].reason && (*entries)[i].path == expected[i].path);
        }
    }
    return 0;
}

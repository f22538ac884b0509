// A boot described in JSON, checked strictly and turned into the harness's
// Scenario, with the images it names read and mapped.
//
//   {
//     "description": "free text",
//     "registry": ["config.reg", ...],            loaded in order, relative to the scenario
//     "service": "\\Registry\\Machine\\...\\XyzElam",
//     "safe_mode": false,
//     "code_integrity_options": 3,                 absent: the query fails
//     "kernel_debugger": {"enabled": false, "present": false},
//     "query_registry_values_ex": true,
//     "boot_drivers": [{"image": "x.sys", "name": "\\SystemRoot\\...\\x.sys",
//                       "image_hash": "auto", "thumbprint": null,
//                       "failed_code_integrity": false}, ...],
//     "module_list": [{"image": "x.sys", "path": "\\SystemRoot\\..."}, ...],
//     "events": [{"status": 0}, {"boot_driver": 0}, {"status": 2}]
//   }
#pragma once

#include "harness/boot.h"
#include "hostkernel/pe_image.h"
#include "tool/common.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace elamctl {

// One image file that the scenario names, read and mapped once.
struct ScenarioImage {
    std::string path;  // as resolved against the scenario's folder
    Bytes file;
    hk::MappedImage image;
    std::optional<Bytes> authenticode_sha256;  // none when the headers do not allow it
};

struct LoadedScenario {
    std::string file;
    // The .reg files, resolved, with their bytes.
    std::vector<std::pair<std::string, Bytes>> registry;
    harness::Scenario scenario;
    // Owns the images that scenario.modules point to.
    std::map<std::string, std::unique_ptr<ScenarioImage>> images;
};

// Reads and checks a scenario. Throws ToolError naming the scenario (for its
// JSON) or the .reg or image file at fault.
std::unique_ptr<LoadedScenario> LoadScenario(const std::string& path);

// Fills the host kernel's registry from the scenario's .reg files, in order,
// after a reset of the host kernel. Throws ToolError naming a malformed file.
void LoadRegistry(const LoadedScenario& scenario);

}  // namespace elamctl

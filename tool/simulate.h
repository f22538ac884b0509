// A whole boot of the driver on the host kernel, from a scenario file, and
// what it printed.
#pragma once

#include "harness/boot.h"
#include "tool/scenario.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace elamctl {

struct Simulation {
    harness::BootResult result;
    // The configuration key after the boot, as .reg text, when one was asked
    // for: none when the service key selects no configuration key or the key
    // does not exist.
    std::optional<std::string> configuration_reg;
};

// Loads the registry, boots, and exports the configuration key if asked. The
// boot runs the host build of the driver, or, given a driver image file, that
// image loaded into the host kernel (ToolError when the image cannot be
// loaded).
Simulation Simulate(const LoadedScenario& scenario, bool export_configuration,
                    const std::optional<std::string>& image = std::nullopt);

nlohmann::ordered_json SimulationJson(const Simulation& simulation);
std::string SimulationText(const Simulation& simulation);

// The report value as {"hex", "entries": [{"reason", "path"}]}; the entries
// are null when the bytes are not a well-formed report.
nlohmann::ordered_json ReportJson(const std::vector<std::uint8_t>& data, bool with_reason_names);

}  // namespace elamctl

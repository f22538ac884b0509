// elamctl: the companion tool of the early-launch driver. It shows the facts
// the driver and the system see in a driver file, writes rules in the
// registry text of the rule values, boots the driver on the host kernel from
// a scenario file, and decodes the blocked-driver report. Rule sets (rules
// files, imports of block lists, the configuration key, lint) are in
// rules_cli.h.
//
// Exit status: 0 on success, 1 when an input is bad (each reported on one
// line "elamctl: SUBJECT: PROBLEM"), 2 for a malformed command line, 3 when
// lint finds something.
#include "tool/common.h"
#include "tool/facts.h"
#include "tool/report.h"
#include "tool/rule.h"
#include "tool/rules_cli.h"
#include "tool/scenario.h"
#include "tool/simulate.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace elamctl;

void PrintError(const std::string& line) { std::cerr << "elamctl: " << line << '\n'; }

int RunFacts(const std::vector<std::string>& files, bool as_json) {
    int status = 0;
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    std::string text;
    for (const std::string& file : files) {
        try {
            const ImageFacts facts = GatherFacts(file);
            for (const std::string& problem : facts.problems) {
                PrintError(file + ": " + problem);
                status = 1;
            }
            array.push_back(FactsJson(facts));
            text += (text.empty() ? "" : "\n") + FactsText(facts);
        } catch (const ToolError& error) {
            PrintError(error.what());
            status = 1;
            array.push_back(FailedFactsJson(file, error.problem));
        }
    }
    if (as_json) {
        std::cout << array.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
    } else {
        std::cout << text;
    }
    return status;
}

struct RuleOptions {
    std::string type;
    std::string value;
    std::optional<std::string> label;
    std::optional<std::string> min;
    std::optional<std::string> max;
    std::optional<std::string> from;
};

std::optional<VersionRange> RangeOf(const RuleOptions& o) {
    if (!o.min && !o.max) return std::nullopt;
    if (!o.min || !o.max) throw ToolError(o.min ? "--min" : "--max", "--min and --max go together");
    return VersionRange{ParseVersion(*o.min), ParseVersion(*o.max)};
}

int RunRule(const RuleOptions& o) {
    const std::optional<VersionRange> range = RangeOf(o);
    if (o.from) {
        if (!o.type.empty() || !o.value.empty()) throw ToolError("--from", "takes no TYPE or VALUE");
        if (range && range->min > range->max) CheckRange(RuleTypes()[6], range);
        const std::string file_name = std::filesystem::path(*o.from).filename().string();
        std::string label = o.label.value_or(file_name);
        if (!o.label) std::replace(label.begin(), label.end(), ';', '_');
        CheckLabel(label);
        const ImageFacts facts = GatherFacts(*o.from);
        std::string out;
        for (const TypedRule& rule : RulesFromFacts(facts, file_name, label, range)) {
            out += std::string(rule.type->name) + "\t" + rule.text + "\n";
        }
        std::cout << out;
        for (const std::string& problem : facts.problems) PrintError(*o.from + ": " + problem);
        return facts.problems.empty() ? 0 : 1;
    }
    if (o.type.empty()) throw ToolError("rule", "give TYPE and VALUE, or --from FILE");
    const RuleType& type = ParseRuleType(o.type);
    if (o.value.empty()) throw ToolError(type.name, "the value is empty");
    const std::string label = o.label.value_or("");
    CheckLabel(label);
    CheckRange(type, range);
    const Bytes data = RuleDataFromValue(type, o.value);
    std::cout << FormatRule(type, label, data, range) << '\n';
    return 0;
}

int RunSimulate(const std::string& file, bool as_json, const std::optional<std::string>& reg_out,
                const std::optional<std::string>& image) {
    const auto scenario = LoadScenario(file);
    const Simulation simulation = Simulate(*scenario, reg_out.has_value(), image);
    if (reg_out) {
        if (!simulation.configuration_reg) {
            throw ToolError(*reg_out, "not written: the service key selects no configuration key, or the key "
                                      "does not exist after the boot");
        }
        WriteFileAtomically(*reg_out, *simulation.configuration_reg);
    }
    if (as_json) {
        std::cout << SimulationJson(simulation).dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                  << '\n';
    } else {
        std::cout << SimulationText(simulation);
    }
    if (simulation.result.fast_fail) {
        PrintError(file + ": the driver raised fast-fail code " + std::to_string(*simulation.result.fast_fail));
        return 1;
    }
    return 0;
}

int RunReport(const std::string& file, bool as_json) {
    const ReportFile report = ReadReportFile(file);
    if (as_json) {
        std::cout << ReportFileJson(report).dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                  << '\n';
    } else {
        std::cout << ReportFileText(report);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"elamctl: facts, rules, simulated boots and reports of the early-launch driver"};
    app.require_subcommand(1);

    std::vector<std::string> facts_files;
    bool json = false;
    auto* facts = app.add_subcommand("facts", "What the driver reads from each PE file, and what the system passes");
    facts->add_option("FILE", facts_files, "PE files")->required();
    facts->add_flag("--json", json, "an array of objects, one per file");

    RuleOptions rule;
    auto* rule_cmd = app.add_subcommand(
        "rule", "One rule in the registry text of the rule values (type N goes into the value DrvBlockTypeN, "
                "type 10 into DrvBlockType:)");
    rule_cmd->add_option("TYPE", rule.type,
                         "0 to 10, or file-name, digest32, pdb-name, pdb-guid, thumbprint, image-hash, "
                         "file-name-version, pdb-name-version, thumbprint-version, original-name, "
                         "original-name-version");
    rule_cmd->add_option("VALUE", rule.value, "text for the name types, hex for the others");
    rule_cmd->add_option("--label", rule.label, "the rule's name; no ';'");
    rule_cmd->add_option("--min", rule.min, "lowest file version a.b.c.d (version-range types)");
    rule_cmd->add_option("--max", rule.max, "highest file version a.b.c.d (version-range types)");
    rule_cmd->add_option("--from", rule.from,
                         "print a rule of each type that the file's facts allow, one per line: TYPE<tab>RULE; "
                         "version ranges default to the file's own version");

    std::string scenario;
    std::optional<std::string> reg_out;
    auto* simulate = app.add_subcommand("simulate", "A whole boot of the driver on the host kernel");
    simulate->add_option("SCENARIO", scenario, "scenario JSON file")->required();
    simulate->add_flag("--json", json, "machine-readable result");
    simulate->add_option("--reg-out", reg_out, "write the configuration key after the boot as .reg");
    std::optional<std::string> image;
    simulate->add_option("--image", image,
                         "boot this driver image (the signed .sys) loaded into the host kernel, instead of the "
                         "host build of the driver");

    std::string report_file;
    auto* report = app.add_subcommand("report", "Decode ElamBlockedDrivers from an exported key");
    report->add_option("FILE", report_file, ".reg file")->required();
    report->add_flag("--json", json, "machine-readable result");

    const RuleSetCommands rule_sets(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string message = e.what();
        for (char& c : message) {
            if (c == '\n') c = ' ';
        }
        PrintError("usage: " + message + " (see --help)");
        return 2;
    }

    try {
        if (*facts) return RunFacts(facts_files, json);
        if (*rule_cmd) return RunRule(rule);
        if (*simulate) return RunSimulate(scenario, json, reg_out, image);
        if (*report) return RunReport(report_file, json);
        if (const std::optional<int> status = rule_sets.Run()) return *status;
    } catch (const ToolError& error) {
        PrintError(error.what());
        return 1;
    } catch (const std::exception& error) {
        PrintError(std::string("internal error: ") + error.what());
        return 1;
    }
    return 2;
}

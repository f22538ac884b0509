#include "tool/rules_cli.h"

#include "hostkernel/hostkernel.h"
#include "tool/importers.h"
#include "tool/lint.h"
#include "tool/ruleset.h"

#include <iostream>

namespace elamctl {
namespace {

std::string SizeText(const ConfigSize& size) {
    return std::to_string(size.rules) + " rules in " + std::to_string(size.values) + " values, " +
           std::to_string(size.exclusions) + " exclusions; " + std::to_string(size.registry_bytes) +
           " bytes of registry data, " + std::to_string(size.pool_bytes) + " bytes of pool when loaded";
}

RuleSet ReadAny(const std::string& path, const std::optional<std::string>& service) {
    if (LooksLikeRegText(ReadWholeFile(path))) return ReadConfigReg(path, service);
    return ReadRulesFile(path);
}

void Warn(const std::string& line) { std::cerr << "elamctl: warning: " << line << '\n'; }

}  // namespace

RuleSetCommands::RuleSetCommands(CLI::App& app) {
    auto* config = app.add_subcommand("config", "Build the configuration key from rules files, or read it back");
    config->require_subcommand(1);

    build_ = config->add_subcommand(
        "build", "Write the configuration key as a .reg file that the registry editor imports: each rule into "
                 "DrvBlockType? (type 10: DrvBlockType:), or DrvBlockType?Vps when it says vps = true");
    build_->add_option("RULES", inputs_, "rules files (TOML) or configuration keys (.reg), merged in order")
        ->required();
    build_->add_option("--service", service_,
                       "the driver's service name, ending in Elam (its configuration key is ...SP\\Parameters); "
                       "default: the rules files' service");
    build_->add_flag("--dedupe", dedupe_, "drop rules that are the same as an earlier one");
    build_->add_flag("--utf8", utf8_, "write UTF-8 rather than the registry editor's UTF-16LE");
    build_->add_option("-o,--output", output_, ".reg file to write")->required();

    read_ = config->add_subcommand("read", "Turn an exported configuration key (.reg) into a rules file");
    read_->add_option("REG", input_, ".reg file")->required();
    read_->add_option("--service", service_, "the service whose configuration key to read (default: the one key "
                                             "...\\Services\\<name>SP\\Parameters in the file)");
    read_->add_option("-o,--output", output_, "rules file to write")->required();

    auto* import = app.add_subcommand("import", "Turn a published block list into a rules file");
    import->require_subcommand(1);
    loldrivers_ = import->add_subcommand("loldrivers", "LOLDrivers samples as CSV");
    loldrivers_->add_option("CSV", input_, "CSV file")->required();
    ms_ = import->add_subcommand("ms-block-rules", "App Control policy XML (the recommended driver block rules)");
    ms_->add_option("XML", input_, "policy XML file")->required();
    for (CLI::App* sub : {loldrivers_, ms_}) {
        sub->add_option("-o,--output", output_, "rules file to write")->required();
        sub->add_flag("--json", json_, "the summary as JSON");
    }

    lint_ = app.add_subcommand("lint", "Rules that can never match or that are dangerous; exit status 3 if any");
    lint_->add_option("FILE", inputs_, "rules files or .reg files, taken together")->required();
    lint_->add_option("--service", service_, "for a .reg: the service whose configuration key to read");
    lint_->add_option("--boot-critical", boot_critical_,
                      "a list of boot-critical driver file names, one a line (default: the shipped list)");
    lint_->add_flag("--json", json_, "machine-readable result");
}

std::optional<int> RuleSetCommands::Run() const {
    if (*build_) return Build();
    if (*read_) return Read();
    if (*loldrivers_) return Import(true);
    if (*ms_) return Import(false);
    if (*lint_) return Lint();
    return std::nullopt;
}

int RuleSetCommands::Build() const {
    std::vector<RuleSet> sets;
    for (const std::string& input : inputs_) sets.push_back(ReadAny(input, std::nullopt));
    RuleSet set = MergeRuleSets(std::move(sets));
    for (const ReadProblem& problem : set.problems) Warn(problem.place.Text() + ": " + problem.message);
    const std::optional<std::string> service = service_ ? service_ : set.service;
    if (!service) throw ToolError(output_, "not written: name the service with --service or in a rules file");
    const std::u16string key = ConfigKeyOfService(*service);
    const std::size_t dropped = dedupe_ ? DropDuplicateRules(set.rules) : 0;

    std::string sources;
    for (const std::string& input : inputs_) sources += (sources.empty() ? "" : ", ") + input;
    const ConfigSize size = MeasureConfig(set);
    const std::vector<std::string> comments = {"Written by elamctl config build from " + sources + ".",
                                               SizeText(size) + "."};
    WriteFileAtomically(output_, ConfigRegText(set, key, utf8_, comments));
    std::cout << output_ << ": " << SizeText(size) << '\n';
    if (dedupe_) std::cout << dropped << " duplicate rules dropped\n";
    return 0;
}

int RuleSetCommands::Read() const {
    RuleSet set = ReadConfigReg(input_, service_);
    for (const ReadProblem& problem : set.problems) Warn(problem.place.Text() + ": " + problem.message);
    set.comments = {"Read by elamctl config read from " + input_ + ".",
                    "Rules stand in the driver's loading order: by type, each type's DrvBlockType? value first."};
    const ConfigSize size = MeasureConfig(set);
    WriteFileAtomically(output_, RulesFileText(set));
    std::cout << output_ << ": " << SizeText(size) << '\n';
    return 0;
}

int RuleSetCommands::Import(bool loldrivers) const {
    const ImportResult result = loldrivers ? ImportLolDrivers(input_) : ImportMsBlockRules(input_);
    WriteFileAtomically(output_, RulesFileText(result.set));
    if (json_) {
        std::cout << ImportSummaryJson(result.summary).dump(2) << '\n';
    } else {
        std::cout << ImportSummaryText(result.summary);
    }
    return 0;
}

int RuleSetCommands::Lint() const {
    const std::vector<std::string> boot_critical =
        boot_critical_ ? ReadBootCriticalDrivers(*boot_critical_) : BuiltInBootCriticalDrivers();
    std::vector<RuleSet> sets;
    for (const std::string& input : inputs_) sets.push_back(ReadAny(input, service_));
    const RuleSet set = MergeRuleSets(std::move(sets));
    const std::vector<Finding> findings = LintRuleSet(set, boot_critical);
    std::string files;
    for (const std::string& input : inputs_) files += (files.empty() ? "" : ", ") + input;
    if (json_) {
        std::cout << LintJson(files, set, findings).dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                  << '\n';
    } else {
        std::cout << LintText(set, findings);
    }
    return findings.empty() ? 0 : 3;
}

}  // namespace elamctl

// The rule-set commands of elamctl:
//
//   elamctl config build RULES.toml|CONFIG.reg... [--service NAME] [--dedupe] [--utf8] -o CONFIG.reg
//   elamctl config read CONFIG.reg [--service NAME] -o RULES.toml
//   elamctl import loldrivers FILE.csv -o RULES.toml [--json]
//   elamctl import ms-block-rules FILE.xml -o RULES.toml [--json]
//   elamctl lint FILE... [--service NAME] [--boot-critical LIST] [--json]
//
// lint exits with 3 when it finds anything, 0 when not.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <vector>

namespace elamctl {

class RuleSetCommands {
public:
    // Adds the commands to the application.
    explicit RuleSetCommands(CLI::App& app);

    // After parsing: the exit status of the command that was given, or
    // nullopt when none of these was. Throws ToolError for a bad input.
    std::optional<int> Run() const;

private:
    int Build() const;
    int Read() const;
    int Import(bool loldrivers) const;
    int Lint() const;

    CLI::App* build_ = nullptr;
    CLI::App* read_ = nullptr;
    CLI::App* loldrivers_ = nullptr;
    CLI::App* ms_ = nullptr;
    CLI::App* lint_ = nullptr;

    std::vector<std::string> inputs_;
    std::string input_;
    std::string output_;
    std::optional<std::string> service_;
    std::optional<std::string> boot_critical_;
    bool dedupe_ = false;
    bool utf8_ = false;
    bool json_ = false;
};

}  // namespace elamctl

// The blocked-driver report read back from an exported registry key.
#pragma once

#include "tool/common.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace elamctl {

struct ReportFile {
    std::string file;
    // The key holding "ElamBlockedDrivers" (UTF-8); none when no key holds it.
    std::optional<std::string> key;
    Bytes data;
};

// Reads a .reg file and finds "ElamBlockedDrivers" in it. Throws ToolError for
// an unreadable or malformed file, a value of another type than REG_MULTI_SZ,
// data that is not a report, or a file in which several keys hold the value.
ReportFile ReadReportFile(const std::string& path);

// {"key", "hex", "entries": [{"reason", "reason_name", "path"}]}; key and hex
// are null and the entries empty when the file holds no report.
nlohmann::ordered_json ReportFileJson(const ReportFile& report);
std::string ReportFileText(const ReportFile& report);

}  // namespace elamctl

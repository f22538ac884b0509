#include "tool/report.h"

#include "harness/boot.h"
#include "hostkernel/regfile.h"
#include "tool/simulate.h"

#include <sstream>

namespace elamctl {

ReportFile ReadReportFile(const std::string& path) {
    const Bytes bytes = ReadWholeFile(path);
    hk::Registry registry;
    try {
        hk::ImportRegText(registry, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    } catch (const hk::RegFileError& error) {
        throw ToolError(path, error.what());
    }
    ReportFile report;
    report.file = path;
    std::size_t holders = 0;
    for (const hk::RegKey* key : registry.AllKeys()) {
        const hk::RegValue* value = registry.GetValue(key->path, u"ElamBlockedDrivers");
        if (value == nullptr) continue;
        ++holders;
        if (value->type != REG_MULTI_SZ) {
            throw ToolError(path, "ElamBlockedDrivers is of type " + std::to_string(value->type) +
                                      ", not REG_MULTI_SZ (7)");
        }
        report.key = hk::Utf16ToUtf8(key->path);
        report.data = value->data;
    }
    if (holders > 1) throw ToolError(path, std::to_string(holders) + " keys hold ElamBlockedDrivers; export one of them");
    if (report.key && !harness::DecodeReport(report.data)) {
        throw ToolError(path, "ElamBlockedDrivers is not a blocked-driver report: " + ToHex(report.data));
    }
    return report;
}

nlohmann::ordered_json ReportFileJson(const ReportFile& report) {
    if (!report.key) return {{"key", nullptr}, {"hex", nullptr}, {"entries", nlohmann::ordered_json::array()}};
    nlohmann::ordered_json out;
    out["key"] = *report.key;
    out.update(ReportJson(report.data, true));
    return out;
}

std::string ReportFileText(const ReportFile& report) {
    std::ostringstream out;
    if (!report.key) {
        out << report.file << ": no ElamBlockedDrivers value: no driver was blocked\n";
        return out.str();
    }
    const auto entries = *harness::DecodeReport(report.data);
    out << *report.key << '\n';
    out << "ElamBlockedDrivers: " << entries.size() << (entries.size() == 1 ? " entry" : " entries") << '\n';
    for (const auto& entry : entries) {
        std::string reason = std::to_string(entry.reason) + " " + harness::ReasonName(entry.reason);
        if (reason.size() < 26) reason.append(26 - reason.size(), ' ');
        out << "  " << reason << hk::Utf16ToUtf8(entry.path) << '\n';
    }
    return out.str();
}

}  // namespace elamctl

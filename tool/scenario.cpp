#include "tool/scenario.h"

#include "hostkernel/regfile.h"
#include "tool/authenticode.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <set>
#include <string_view>

namespace elamctl {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr char16_t kDefaultDriverFolder[] = u"\\SystemRoot\\System32\\drivers\\";

// Checks of one scenario file; every problem names the scenario and the place
// in it ("boot_drivers[1].image_hash").
class Checker {
public:
    explicit Checker(std::string file) : file_(std::move(file)) {}

    [[noreturn]] void Fail(const std::string& where, const std::string& problem) const {
        throw ToolError(file_, where.empty() ? problem : where + ": " + problem);
    }

    void Keys(const json& object, const std::string& where, std::initializer_list<std::string_view> allowed) const {
        if (!object.is_object()) Fail(where, "expected an object");
        for (const auto& item : object.items()) {
            bool known = false;
            for (std::string_view key : allowed) known = known || key == item.key();
            if (!known) Fail(Join(where, item.key()), "unknown key");
        }
    }

    bool Bool(const json& value, const std::string& where) const {
        if (!value.is_boolean()) Fail(where, "expected true or false");
        return value.get<bool>();
    }

    std::string String(const json& value, const std::string& where) const {
        if (!value.is_string()) Fail(where, "expected a string");
        return value.get<std::string>();
    }

    std::uint64_t Unsigned(const json& value, const std::string& where, std::uint64_t max) const {
        if (!value.is_number_integer() || (value.is_number_integer() && !value.is_number_unsigned())) {
            Fail(where, "expected a whole number from 0 to " + std::to_string(max));
        }
        const std::uint64_t n = value.get<std::uint64_t>();
        if (n > max) Fail(where, "expected a whole number from 0 to " + std::to_string(max));
        return n;
    }

    const json& Array(const json& value, const std::string& where) const {
        if (!value.is_array()) Fail(where, "expected a list");
        return value;
    }

    Bytes HexBytes(const json& value, const std::string& where) const {
        const std::string text = String(value, where);
        std::optional<Bytes> bytes = ParseHex(text);
        if (!bytes) Fail(where, "expected hex digits, two per byte");
        return *bytes;
    }

    static std::string Join(const std::string& where, const std::string& key) {
        return where.empty() ? key : where + "." + key;
    }
    static std::string Index(const std::string& where, std::size_t i) { return where + "[" + std::to_string(i) + "]"; }

private:
    std::string file_;
};

}  // namespace

std::unique_ptr<LoadedScenario> LoadScenario(const std::string& path) {
    auto loaded = std::make_unique<LoadedScenario>();
    loaded->file = path;
    const Checker check(path);
    const Bytes bytes = ReadWholeFile(path);
    json root;
    try {
        root = json::parse(bytes.begin(), bytes.end());
    } catch (const json::exception& error) {  // a syntax error, or a number too large for a double
        std::string what = error.what();
        if (const auto bracket = what.find("] "); what.rfind("[json.exception", 0) == 0 && bracket != std::string::npos) {
            what = what.substr(bracket + 2);
        }
        throw ToolError(path, "not JSON: " + what);
    }
    check.Keys(root, "",
               {"description", "registry", "service", "safe_mode", "code_integrity_options", "kernel_debugger",
                "query_registry_values_ex", "boot_drivers", "module_list", "events"});

    const fs::path folder = fs::path(path).parent_path();
    auto resolve = [&](const std::string& name) { return (folder / fs::path(name)).lexically_normal().string(); };

    // Each image file once, whoever names it.
    auto image_for = [&](const std::string& name, const std::string& where) -> ScenarioImage& {
        if (name.empty()) check.Fail(where, "empty file name");
        const std::string resolved = resolve(name);
        auto found = loaded->images.find(resolved);
        if (found != loaded->images.end()) return *found->second;
        Bytes file = ReadWholeFile(resolved);
        try {
            hk::MappedImage image(file);
            std::optional<Bytes> sha256;
            try {
                sha256 = ComputeAuthenticode(file).sha256;
            } catch (const AuthenticodeError&) {
            }
            auto entry = std::unique_ptr<ScenarioImage>(
                new ScenarioImage{resolved, std::move(file), std::move(image), std::move(sha256)});
            return *loaded->images.emplace(resolved, std::move(entry)).first->second;
        } catch (const hk::ImageError& error) {
            throw ToolError(resolved, std::string("not a PE image: ") + error.what());
        }
    };

    harness::Scenario& s = loaded->scenario;
    if (root.contains("description")) check.String(root["description"], "description");
    if (root.contains("registry")) {
        const json& list = check.Array(root["registry"], "registry");
        for (std::size_t i = 0; i < list.size(); ++i) {
            const std::string name = check.String(list[i], Checker::Index("registry", i));
            if (name.empty()) check.Fail(Checker::Index("registry", i), "empty file name");
            const std::string resolved = resolve(name);
            loaded->registry.emplace_back(resolved, ReadWholeFile(resolved));
        }
    }
    if (root.contains("service")) {
        s.service_key = hk::Utf8ToUtf16(check.String(root["service"], "service"));
    }
    if (root.contains("safe_mode")) s.kernel.safe_mode = check.Bool(root["safe_mode"], "safe_mode");
    if (root.contains("code_integrity_options")) {
        s.kernel.code_integrity_options =
            static_cast<ULONG>(check.Unsigned(root["code_integrity_options"], "code_integrity_options", 0xFFFFFFFFu));
    }
    if (root.contains("kernel_debugger")) {
        const json& debugger = root["kernel_debugger"];
        check.Keys(debugger, "kernel_debugger", {"enabled", "present"});
        if (debugger.contains("enabled")) s.kernel.debugger_enabled = check.Bool(debugger["enabled"], "kernel_debugger.enabled");
        if (debugger.contains("present")) s.kernel.debugger_present = check.Bool(debugger["present"], "kernel_debugger.present");
    }
    if (root.contains("query_registry_values_ex")) {
        s.kernel.query_registry_values_ex = check.Bool(root["query_registry_values_ex"], "query_registry_values_ex");
    }

    // Boot drivers, and the default module list: each driver with an image, under its name.
    std::vector<harness::Module> default_modules;
    if (root.contains("boot_drivers")) {
        const json& list = check.Array(root["boot_drivers"], "boot_drivers");
        for (std::size_t i = 0; i < list.size(); ++i) {
            const std::string where = Checker::Index("boot_drivers", i);
            const json& item = list[i];
            check.Keys(item, where, {"image", "name", "image_hash", "thumbprint", "failed_code_integrity"});
            harness::BootDriver driver;
            ScenarioImage* image = nullptr;
            std::string image_name;
            if (item.contains("image")) {
                image_name = check.String(item["image"], where + ".image");
                image = &image_for(image_name, where + ".image");
            }
            if (item.contains("name")) {
                driver.name = hk::Utf8ToUtf16(check.String(item["name"], where + ".name"));
            } else if (image != nullptr) {
                driver.name = kDefaultDriverFolder + hk::Utf8ToUtf16(fs::path(image_name).filename().string());
            } else {
                check.Fail(where, "needs a \"name\" or an \"image\"");
            }
            const json hash = item.contains("image_hash") ? item["image_hash"] : json("auto");
            if (hash.is_string() && hash.get<std::string>() == "auto") {
                if (image != nullptr) {
                    if (!image->authenticode_sha256) {
                        throw ToolError(image->path, "the headers do not allow an Authenticode hash for \"auto\"");
                    }
                    driver.image_hash = image->authenticode_sha256;
                }
            } else if (!hash.is_null()) {
                if (!hash.is_string()) check.Fail(where + ".image_hash", "expected hex digits, null or \"auto\"");
                driver.image_hash = check.HexBytes(hash, where + ".image_hash");
            }
            if (item.contains("thumbprint") && !item["thumbprint"].is_null()) {
                driver.thumbprint = check.HexBytes(item["thumbprint"], where + ".thumbprint");
            }
            if (item.contains("failed_code_integrity")) {
                driver.failed_code_integrity = check.Bool(item["failed_code_integrity"], where + ".failed_code_integrity");
            }
            if (image != nullptr) default_modules.push_back({&image->image, hk::Utf16ToUtf8(driver.name)});
            s.drivers.push_back(std::move(driver));
        }
    }

    if (root.contains("module_list")) {
        const json& list = check.Array(root["module_list"], "module_list");
        for (std::size_t i = 0; i < list.size(); ++i) {
            const std::string where = Checker::Index("module_list", i);
            check.Keys(list[i], where, {"image", "path"});
            if (!list[i].contains("image")) check.Fail(where, "needs an \"image\"");
            if (!list[i].contains("path")) check.Fail(where, "needs a \"path\"");
            ScenarioImage& image = image_for(check.String(list[i]["image"], where + ".image"), where + ".image");
            s.modules.push_back({&image.image, check.String(list[i]["path"], where + ".path")});
        }
    } else {
        s.modules = std::move(default_modules);
    }

    if (root.contains("events")) {
        const json& list = check.Array(root["events"], "events");
        if (list.empty()) check.Fail("events", "an empty list; leave the key out for the usual boot");
        for (std::size_t i = 0; i < list.size(); ++i) {
            const std::string where = Checker::Index("events", i);
            const json& item = list[i];
            check.Keys(item, where, {"status", "boot_driver"});
            if (item.size() != 1) check.Fail(where, "expected {\"status\": N} or {\"boot_driver\": index}");
            if (item.contains("status")) {
                const auto status = check.Unsigned(item["status"], where + ".status", 2);
                s.events.push_back({harness::Event::Status, static_cast<int>(status)});
            } else {
                const auto index = check.Unsigned(item["boot_driver"], where + ".boot_driver", 0xFFFFFFFFu);
                if (index >= s.drivers.size()) {
                    check.Fail(where + ".boot_driver", "index " + std::to_string(index) + " out of range (" +
                                                           std::to_string(s.drivers.size()) + " boot drivers)");
                }
                s.events.push_back({harness::Event::Image, static_cast<int>(index)});
            }
        }
    }
    return loaded;
}

void LoadRegistry(const LoadedScenario& scenario) {
    hk::ResetKernel();
    for (const auto& [file, bytes] : scenario.registry) {
        try {
            hk::ImportRegText(hk::TheRegistry(),
                              std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        } catch (const hk::RegFileError& error) {
            throw ToolError(file, error.what());
        }
    }
}

}  // namespace elamctl

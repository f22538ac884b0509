// The boot harness: runs the driver through a whole boot on the host kernel,
// as the system would, and reports what the driver did.
//
// The caller prepares the registry (hk::TheRegistry(), usually from .reg
// text) and the mapped images; the harness sets the kernel's state, calls the
// driver's entry, drives the registered boot-driver callback through the
// events of the boot, and collects each image's classification and reason,
// the report value and the pool left behind.
#pragma once

#include "hostkernel/hostkernel.h"
#include "hostkernel/pe_image.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace harness {

// The default service key of the driver.
inline constexpr char16_t kDefaultServiceKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\BootGuardElam";

// The kernel the driver boots on.
struct KernelSetup {
    bool safe_mode = false;
    std::optional<ULONG> code_integrity_options;  // none: the query fails
    bool debugger_enabled = false;
    bool debugger_present = false;
    bool query_registry_values_ex = true;
};

// One boot-start driver as the system describes it to the callback.
struct BootDriver {
    std::u16string name;                            // ImageName
    std::optional<std::vector<std::uint8_t>> image_hash;   // none: ImageHash null
    std::optional<std::vector<std::uint8_t>> thumbprint;   // none: null
    bool failed_code_integrity = false;
};

// One entry of the module list: a mapped image under an 8-bit path.
struct Module {
    const hk::MappedImage* image;
    std::string path;
};

struct Event {
    enum Kind { Status, Image } kind;
    int value;  // the status type, or the index of a boot driver
};

struct Scenario {
    std::u16string service_key = kDefaultServiceKey;
    KernelSetup kernel;
    std::vector<BootDriver> drivers;
    std::vector<Module> modules;
    // Empty: status 0, each driver in order, then status 2.
    std::vector<Event> events;
};

struct ImageVerdict {
    std::size_t driver;  // index into Scenario::drivers
    std::u16string name;
    BDCB_CLASSIFICATION classification = BdCbClassificationUnknownImage;
    // The reason recorded with a known-bad image; none when nothing was
    // recorded (an empty image name, or no memory for the record).
    std::optional<ULONG> reason;
};

struct BootResult {
    NTSTATUS driver_entry_status = STATUS_SUCCESS;
    bool callback_registered = false;
    std::vector<ImageVerdict> images;
    // "ElamBlockedDrivers" after the boot; none when absent.
    std::optional<std::vector<std::uint8_t>> report;
    std::vector<hk::PoolBlock> leaked;  // blocks still live after the boot
    std::optional<ULONG> fast_fail;     // the code, when the driver fast-failed
};

// The driver's entry routine: the host build's DriverEntry, or the entry of
// a loaded driver image.
using DriverEntryRoutine = NTSTATUS(NTAPI*)(PDRIVER_OBJECT, PUNICODE_STRING);

// Restores the host build's driver globals to their initial values (a new
// boot in the same process).
void ResetDriverGlobals();

// Runs a whole boot. The registry is used as it stands; everything else of
// the kernel is set from the scenario. Pool and driver globals are reset first.
BootResult RunBoot(const Scenario& scenario, DriverEntryRoutine entry = nullptr);

// The configuration key that a service key selects: "...Elam" becomes
// "...SP\Parameters". Empty when the name does not end in "Elam".
std::u16string ConfigKeyFor(std::u16string_view service_key);

// One decoded string of the report value.
struct ReportEntry {
    ULONG reason;
    std::u16string path;
};
// Decodes report bytes; nullopt when they are not a well-formed report.
std::optional<std::vector<ReportEntry>> DecodeReport(const std::vector<std::uint8_t>& data);

// "file-name", "image-hash", ..., "failed-code-integrity"; "" for others.
std::string ReasonName(ULONG reason);

}  // namespace harness

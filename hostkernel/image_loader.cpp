// The driver image loader of the host kernel (image_loader.h): mapping,
// relocation, imports, load configuration, unwind-data checks, protections,
// and the stubs through which host and image call each other.
#include "hostkernel/image_loader.h"

#include "hostkernel/internal.h"
#include "hostkernel/pe_format.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <list>
#include <mutex>
#include <random>
#include <sys/mman.h>
#include <unistd.h>

extern "C" NTSTATUS NTAPI HostRtlQueryRegistryValuesEx(ULONG RelativeTo, PCWSTR Path,
                                                       PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                                       PVOID Environment);

namespace hk {
namespace {

// ---------------------------------------------------------------------------
// PE/COFF fields beyond pe_format.h, from the platform's published format.
// ---------------------------------------------------------------------------
constexpr std::size_t kFhMachine = 0;
constexpr std::size_t kFhCharacteristics = 18;
constexpr std::size_t kOhAddressOfEntryPoint = 16;
constexpr std::size_t kOhImageBase64 = 24;
constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kFileRelocsStripped = 0x0001;
constexpr std::uint16_t kFileExecutableImage = 0x0002;
constexpr std::size_t kShCharacteristics = 36;
constexpr std::uint32_t kScnMemExecute = 0x20000000;
constexpr std::uint32_t kScnMemRead = 0x40000000;
constexpr std::uint32_t kScnMemWrite = 0x80000000;

constexpr int kDirImport = 1;
constexpr int kDirException = 3;
constexpr int kDirBaseReloc = 5;
constexpr int kDirLoadConfig = 10;

constexpr std::uint16_t kRelBasedAbsolute = 0;
constexpr std::uint16_t kRelBasedDir64 = 10;

// IMAGE_LOAD_CONFIG_DIRECTORY64.
constexpr std::size_t kLcSecurityCookie = 0x58;
constexpr std::size_t kLcGuardCheckFunctionPointer = 0x70;
constexpr std::size_t kLcGuardDispatchFunctionPointer = 0x78;
constexpr std::size_t kLcGuardFunctionTable = 0x80;
constexpr std::size_t kLcGuardFunctionCount = 0x88;
constexpr std::size_t kLcGuardFlags = 0x90;
constexpr std::uint32_t kGuardCfInstrumented = 0x00000100;
constexpr std::uint32_t kGuardCfFunctionTablePresent = 0x00000400;
constexpr int kGuardCfTableStrideShift = 28;
constexpr std::uint8_t kGuardFlagFidSuppressed = 0x01;

// UNWIND_INFO.
constexpr std::uint8_t kUnwFlagEHandler = 1;
constexpr std::uint8_t kUnwFlagUHandler = 2;
constexpr std::uint8_t kUnwFlagChainInfo = 4;

std::size_t PageSize() {
    static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

std::uint64_t RoundUp(std::uint64_t value, std::uint64_t unit) { return (value + unit - 1) / unit * unit; }

std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

template <typename T>
T Read(const std::uint8_t* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

bool Fits(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
    return offset <= size && length <= size - offset;
}

// ---------------------------------------------------------------------------
// The kernel's exports
// ---------------------------------------------------------------------------

// The C library routines the kernel exports, with the kernel's calling
// convention (the host's own are System V).
extern "C" void* NTAPI HkKernelMemcpy(void* destination, const void* source, SIZE_T length) {
    return std::memcpy(destination, source, length);
}
extern "C" void* NTAPI HkKernelMemset(void* destination, int value, SIZE_T length) {
    return std::memset(destination, value, length);
}
extern "C" int NTAPI HkKernelWcsnicmp(const WCHAR* string1, const WCHAR* string2, SIZE_T count) {
    return _wcsnicmp(string1, string2, count);
}

// Never called: the host kernel dispatches a loaded image's exceptions from
// its scope tables without calling the language handler.
extern "C" int NTAPI HkKernelCSpecificHandler(void*, void*, void*, void*) {
    std::fputs("host kernel: __C_specific_handler called; loaded images' exceptions are dispatched by the "
               "host kernel's fault handler, which never calls it\n",
               stderr);
    std::abort();
}

// Boot-driver callbacks registered by an image: the kernel calls a host
// routine, which calls the image's under an ImageCall record.
struct BootCallback {
    PBOOT_DRIVER_CALLBACK_FUNCTION routine;
    PVOID context;
    const image::ImageCode* image;
};

std::mutex g_callbacks_lock;
std::list<BootCallback>& Callbacks() {
    static auto* callbacks = new std::list<BootCallback>();
    return *callbacks;
}

VOID NTAPI ImageBootDriverCallback(PVOID context, BDCB_CALLBACK_TYPE type,
                                   PBDCB_IMAGE_INFORMATION information) {
    const auto* callback = static_cast<const BootCallback*>(context);
    image::CallIntoImage([&] {
        callback->routine(callback->context, type, information);
        return 0;
    });
}

extern "C" PVOID NTAPI HkKernelRegisterBootDriverCallback(PBOOT_DRIVER_CALLBACK_FUNCTION routine,
                                                          PVOID context) {
    const image::ImageCode* image = image::FindImageCode(reinterpret_cast<std::uintptr_t>(routine));
    if (image == nullptr) return IoRegisterBootDriverCallback(routine, context);
    BootCallback* callback;
    {
        std::lock_guard<std::mutex> lock(g_callbacks_lock);
        callback = &Callbacks().emplace_back(BootCallback{routine, context, image});
    }
    return IoRegisterBootDriverCallback(&ImageBootDriverCallback, callback);
}

void ForgetCallbacksOf(const image::ImageCode* image) {
    std::lock_guard<std::mutex> lock(g_callbacks_lock);
    auto& registrations = State().boot_callbacks;
    for (auto it = Callbacks().begin(); it != Callbacks().end();) {
        if (it->image != image) {
            ++it;
            continue;
        }
        std::erase_if(registrations, [&](const KernelState::Registration& r) { return r.context == &*it; });
        it = Callbacks().erase(it);
    }
}

void* KernelStubFor(const void* routine);

// What the kernel hands out as a routine's address is its stub, so that the
// image's calls through it are bridged like its imported calls.
extern "C" PVOID NTAPI HkKernelGetSystemRoutineAddress(PUNICODE_STRING name) {
    return KernelStubFor(MmGetSystemRoutineAddress(name));
}

struct KernelExport {
    const char* name;
    void* address;
    bool routine;     // reached through a stub
    bool importable;  // by name, from the import table
};

const std::vector<KernelExport>& KernelExports() {
    static const std::vector<KernelExport> exports = {
        {"ExAllocatePoolWithTag", reinterpret_cast<void*>(&ExAllocatePoolWithTag), true, true},
        {"ExFreePoolWithTag", reinterpret_cast<void*>(&ExFreePoolWithTag), true, true},
        {"RtlCheckRegistryKey", reinterpret_cast<void*>(&RtlCheckRegistryKey), true, true},
        {"RtlQueryRegistryValues", reinterpret_cast<void*>(&RtlQueryRegistryValues), true, true},
        // Found through MmGetSystemRoutineAddress only, where the kernel state allows it.
        {"RtlQueryRegistryValuesEx", reinterpret_cast<void*>(&HostRtlQueryRegistryValuesEx), true, false},
        {"RtlWriteRegistryValue", reinterpret_cast<void*>(&RtlWriteRegistryValue), true, true},
        {"RtlDeleteRegistryValue", reinterpret_cast<void*>(&RtlDeleteRegistryValue), true, true},
        {"MmGetSystemRoutineAddress", reinterpret_cast<void*>(&HkKernelGetSystemRoutineAddress), true, true},
        {"ZwQuerySystemInformation", reinterpret_cast<void*>(&ZwQuerySystemInformation), true, true},
        {"IoRegisterBootDriverCallback", reinterpret_cast<void*>(&HkKernelRegisterBootDriverCallback), true,
         true},
        {"RtlImageDirectoryEntryToData", reinterpret_cast<void*>(&RtlImageDirectoryEntryToData), true, true},
        {"RtlInitUnicodeString", reinterpret_cast<void*>(&RtlInitUnicodeString), true, true},
        {"RtlEqualUnicodeString", reinterpret_cast<void*>(&RtlEqualUnicodeString), true, true},
        {"RtlCompareUnicodeString", reinterpret_cast<void*>(&RtlCompareUnicodeString), true, true},
        {"RtlCompareString", reinterpret_cast<void*>(&RtlCompareString), true, true},
        {"RtlCompareMemory", reinterpret_cast<void*>(&RtlCompareMemory), true, true},
        {"RtlUnicodeStringToAnsiString", reinterpret_cast<void*>(&RtlUnicodeStringToAnsiString), true, true},
        {"RtlAppendUnicodeStringToString", reinterpret_cast<void*>(&RtlAppendUnicodeStringToString), true,
         true},
        {"_wcsnicmp", reinterpret_cast<void*>(&HkKernelWcsnicmp), true, true},
        {"memcpy", reinterpret_cast<void*>(&HkKernelMemcpy), true, true},
        {"memset", reinterpret_cast<void*>(&HkKernelMemset), true, true},
        {"__C_specific_handler", reinterpret_cast<void*>(&HkKernelCSpecificHandler), false, true},
        // Variables: the export is the variable itself.
        {"InitSafeBootMode", &InitSafeBootMode, false, true},
        {"KdDebuggerEnabled", &KdDebuggerEnabled, false, true},
        {"KdDebuggerNotPresent", &KdDebuggerNotPresent, false, true},
    };
    return exports;
}

// One stub per exported routine, in one executable page:
//   mov r11, routine ; jmp qword ptr [rip + 0] ; dq HkHostCallBridge
constexpr std::size_t kStubSize = 32;

struct KernelStubs {
    std::uint8_t* page = nullptr;
    std::size_t size = 0;
};

const KernelStubs& Stubs() {
    static const KernelStubs stubs = [] {
        const auto& exports = KernelExports();
        KernelStubs s;
        s.size = RoundUp(exports.size() * kStubSize, PageSize());
        void* memory = mmap(nullptr, s.size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) {
            throw std::runtime_error("host kernel: cannot map the kernel routine stubs");
        }
        s.page = static_cast<std::uint8_t*>(memory);
        std::memset(s.page, 0xCC, s.size);  // int3 between stubs
        const auto bridge = reinterpret_cast<std::uint64_t>(&image::HkHostCallBridge);
        for (std::size_t i = 0; i < exports.size(); ++i) {
            std::uint8_t* stub = s.page + i * kStubSize;
            const auto routine = reinterpret_cast<std::uint64_t>(exports[i].address);
            stub[0] = 0x49;  // mov r11, imm64
            stub[1] = 0xBB;
            std::memcpy(stub + 2, &routine, 8);
            stub[10] = 0xFF;  // jmp qword ptr [rip + 0]
            stub[11] = 0x25;
            std::memset(stub + 12, 0, 4);
            std::memcpy(stub + 16, &bridge, 8);
        }
        mprotect(s.page, s.size, PROT_READ | PROT_EXEC);
        image::SetKernelStubs(reinterpret_cast<std::uintptr_t>(s.page),
                              reinterpret_cast<std::uintptr_t>(s.page) + exports.size() * kStubSize,
                              kStubSize);
        return s;
    }();
    return stubs;
}

void* KernelStubFor(const void* routine) {
    if (routine == nullptr) return nullptr;
    const auto& exports = KernelExports();
    for (std::size_t i = 0; i < exports.size(); ++i) {
        if (exports[i].routine && exports[i].address == routine) return Stubs().page + i * kStubSize;
    }
    return nullptr;  // a routine the kernel does not hand out to images
}

// The address an import by this name resolves to, or null.
void* ResolveImport(const std::string& name) {
    const auto& exports = KernelExports();
    for (std::size_t i = 0; i < exports.size(); ++i) {
        if (!exports[i].importable || name != exports[i].name) continue;
        return exports[i].routine ? Stubs().page + i * kStubSize : exports[i].address;
    }
    return nullptr;
}

// The entry of every loaded image: the stub loads the image's entry point
// into r8 and jumps here with the caller's two arguments in place.
extern "C" NTSTATUS NTAPI HkImageEntry(PDRIVER_OBJECT object, PUNICODE_STRING path, ImageEntryRoutine entry) {
    return image::CallIntoImage([&] { return entry(object, path); });
}

// ---------------------------------------------------------------------------
// Reading the image
// ---------------------------------------------------------------------------
struct SectionInfo {
    std::string name;
    std::uint32_t rva;
    std::uint32_t extent;  // VirtualSize, or SizeOfRawData when that is 0
    std::uint32_t raw_size;
    std::uint32_t raw;
    std::uint32_t characteristics;
};

std::string SectionName(const std::uint8_t* header) {
    std::string name(reinterpret_cast<const char*>(header), 8);
    name.resize(std::strlen(name.c_str()));
    return name;
}

// The mapped image while it is being loaded: bounded reads by RVA.
struct ImageView {
    std::uint8_t* base;
    std::uint64_t size;

    bool Has(std::uint64_t rva, std::uint64_t length) const { return Fits(rva, length, size); }
    template <typename T>
    T At(std::uint64_t rva, const std::string& what) const {
        if (!Has(rva, sizeof(T))) throw ImageError(what + " at RVA " + Hex(rva) + " lies outside the image");
        return Read<T>(base + rva);
    }
    std::string String(std::uint64_t rva, const std::string& what) const {
        std::string text;
        for (std::uint64_t at = rva;; ++at) {
            const char c = At<char>(at, what);
            if (c == '\0') return text;
            text += c;
        }
    }
};

}  // namespace

std::unique_ptr<LoadedImage> LoadedImage::Load(std::span<const std::uint8_t> file, std::string name) {
    std::unique_ptr<LoadedImage> image(new LoadedImage());
    image->name_ = std::move(name);
    image->Map(file);
    return image;
}

void LoadedImage::Map(std::span<const std::uint8_t> file) {
    namespace pe = hk::pe;
    const std::uint64_t file_size = file.size();
    auto at16 = [&](std::uint64_t offset, const char* what) {
        if (!Fits(offset, 2, file_size)) throw ImageError(std::string("truncated headers: ") + what);
        return Read<std::uint16_t>(file.data() + offset);
    };
    auto at32 = [&](std::uint64_t offset, const char* what) {
        if (!Fits(offset, 4, file_size)) throw ImageError(std::string("truncated headers: ") + what);
        return Read<std::uint32_t>(file.data() + offset);
    };
    auto at64 = [&](std::uint64_t offset, const char* what) {
        if (!Fits(offset, 8, file_size)) throw ImageError(std::string("truncated headers: ") + what);
        return Read<std::uint64_t>(file.data() + offset);
    };

    // Headers.
    if (at16(0, "DOS header") != 0x5A4D) throw ImageError("no MZ signature");
    const std::uint64_t nt = at32(pe::kDosLfanew, "DOS header");
    if (at32(nt, "NT signature") != pe::kNtSignature) throw ImageError("no PE signature");
    const std::uint64_t fh = nt + 4;
    const std::uint64_t oh = nt + pe::kOptionalHeader;
    const std::uint16_t machine = at16(fh + kFhMachine, "file header");
    if (machine != kMachineAmd64) throw ImageError("machine " + Hex(machine) + " is not x64");
    const std::uint16_t characteristics = at16(fh + kFhCharacteristics, "file header");
    if (!(characteristics & kFileExecutableImage)) throw ImageError("not an executable image");
    if (at16(oh, "optional header") != pe::kMagicPe32Plus) throw ImageError("not a PE32+ image");
    const std::uint16_t optional_size = at16(fh + pe::kFhSizeOfOptionalHeader, "file header");
    const std::uint16_t section_count = at16(fh + pe::kFhNumberOfSections, "file header");
    const std::uint32_t entry_rva = at32(oh + kOhAddressOfEntryPoint, "optional header");
    preferred_base_ = at64(oh + kOhImageBase64, "optional header");
    const std::uint32_t section_alignment = at32(oh + pe::kOhSectionAlignment, "optional header");
    const std::uint32_t image_size = at32(oh + pe::kOhSizeOfImage, "optional header");
    const std::uint32_t headers_size = at32(oh + pe::kOhSizeOfHeaders, "optional header");
    const std::uint32_t directory_count =
        std::min<std::uint32_t>(at32(oh + pe::kOhNumberOfRvaAndSizes64, "optional header"), 16);
    if (optional_size < pe::kOhDataDirectory64 + 8 * directory_count) {
        throw ImageError("the optional header is too small for its data directories");
    }
    struct Directory {
        std::uint32_t rva = 0, size = 0;
    } directories[16];
    for (std::uint32_t i = 0; i < directory_count; ++i) {
        directories[i].rva = at32(oh + pe::kOhDataDirectory64 + 8 * i, "data directories");
        directories[i].size = at32(oh + pe::kOhDataDirectory64 + 8 * i + 4, "data directories");
    }

    const std::size_t page = PageSize();
    if (section_alignment == 0 || section_alignment % page != 0) {
        throw ImageError("SectionAlignment " + Hex(section_alignment) +
                         " is not a multiple of the page size: sections cannot get their own protections");
    }
    if (image_size == 0 || image_size > kMaxImageSize) {
        throw ImageError("SizeOfImage " + Hex(image_size) + " is not usable");
    }
    if (headers_size == 0 || headers_size > file_size || headers_size > image_size) {
        throw ImageError("SizeOfHeaders " + Hex(headers_size) + " does not fit the file and the image");
    }
    const std::uint64_t table = oh + optional_size;
    if (!Fits(table, std::uint64_t(section_count) * pe::kSectionHeaderSize, headers_size)) {
        throw ImageError("truncated headers: the section table runs past SizeOfHeaders");
    }

    // Sections: aligned, in order, inside the image, their raw data inside
    // the file.
    std::vector<SectionInfo> sections;
    std::uint64_t next_rva = RoundUp(headers_size, section_alignment);
    const std::uint64_t image_end = RoundUp(image_size, section_alignment);
    for (std::uint32_t i = 0; i < section_count; ++i) {
        const std::uint8_t* h = file.data() + table + std::uint64_t(i) * pe::kSectionHeaderSize;
        SectionInfo s;
        s.name = SectionName(h);
        const std::uint32_t virtual_size = Read<std::uint32_t>(h + pe::kShVirtualSize);
        s.rva = Read<std::uint32_t>(h + pe::kShVirtualAddress);
        s.raw_size = Read<std::uint32_t>(h + pe::kShSizeOfRawData);
        s.raw = Read<std::uint32_t>(h + pe::kShPointerToRawData);
        s.characteristics = Read<std::uint32_t>(h + kShCharacteristics);
        s.extent = virtual_size != 0 ? virtual_size : s.raw_size;
        const std::string label = "section " + (s.name.empty() ? std::to_string(i) : s.name);
        if (s.rva % section_alignment != 0 || s.rva < next_rva || !Fits(s.rva, s.extent, image_end)) {
            throw ImageError(label + " at RVA " + Hex(s.rva) + " size " + Hex(s.extent) +
                             " is misplaced: not aligned, overlapping, or beyond SizeOfImage");
        }
        const std::uint32_t copy = std::min(s.raw_size, s.extent);
        if (copy != 0 && !Fits(s.raw, copy, file_size)) {
            throw ImageError(label + " is truncated: its raw data (" + Hex(copy) + " bytes at " + Hex(s.raw) +
                             ") runs past the end of the file (" + Hex(file_size) + " bytes)");
        }
        next_rva = RoundUp(std::uint64_t(s.rva) + s.extent, section_alignment);
        sections.push_back(s);
    }
    auto section_of = [&](std::uint64_t rva) -> const SectionInfo* {
        for (const SectionInfo& s : sections) {
            if (rva >= s.rva && rva - s.rva < s.extent) return &s;
        }
        return nullptr;
    };
    auto executable = [&](std::uint64_t rva) {
        const SectionInfo* s = section_of(rva);
        return s != nullptr && (s->characteristics & kScnMemExecute);
    };
    if (!executable(entry_rva)) {
        throw ImageError("AddressOfEntryPoint " + Hex(entry_rva) + " is not in an executable section");
    }

    // Placement. An image with relocations goes wherever the kernel puts it;
    // one without them only at its preferred base.
    const Directory relocations = directories[kDirBaseReloc];
    const bool relocatable = !(characteristics & kFileRelocsStripped) && relocations.size != 0;
    size_ = image_size;
    const std::size_t mapped = RoundUp(image_size, page);
    reserved_ = mapped + page;  // and an inaccessible page after it
    void* hint = relocatable ? nullptr : reinterpret_cast<void*>(preferred_base_);
    const int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | (relocatable ? 0 : MAP_FIXED_NOREPLACE);
    void* memory = mmap(hint, reserved_, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (!relocatable && memory != MAP_FAILED && memory != hint) {
        munmap(memory, reserved_);
        memory = MAP_FAILED;
    }
    if (memory == MAP_FAILED) {
        if (!relocatable) {
            throw ImageError("the image has no relocations and cannot be placed at its preferred base " +
                             Hex(preferred_base_) + " (" + std::strerror(errno) + ")");
        }
        throw ImageError("cannot map " + Hex(image_size) + " bytes");
    }
    base_ = static_cast<std::uint8_t*>(memory);
    const ImageView view{base_, image_size};

    std::memcpy(base_, file.data(), headers_size);
    for (const SectionInfo& s : sections) {
        const std::uint32_t copy = std::min(s.raw_size, s.extent);
        if (copy != 0) std::memcpy(base_ + s.rva, file.data() + s.raw, copy);
    }

    // Base relocations.
    const std::uint64_t delta = reinterpret_cast<std::uint64_t>(base_) - preferred_base_;
    if (relocatable && delta != 0) {
        if (!view.Has(relocations.rva, relocations.size)) {
            throw ImageError("the relocation directory lies outside the image");
        }
        for (std::uint64_t position = 0; position + 8 <= relocations.size;) {
            const std::uint64_t block = relocations.rva + position;
            const std::uint32_t page_rva = view.At<std::uint32_t>(block, "relocation block");
            const std::uint32_t block_size = view.At<std::uint32_t>(block + 4, "relocation block");
            if (block_size < 8 || block_size % 2 != 0 || position + block_size > relocations.size) {
                throw ImageError("malformed relocation block at RVA " + Hex(block));
            }
            for (std::uint64_t e = 8; e < block_size; e += 2) {
                const std::uint16_t entry = view.At<std::uint16_t>(block + e, "relocation");
                const std::uint16_t type = entry >> 12;
                const std::uint64_t target = std::uint64_t(page_rva) + (entry & 0x0FFF);
                if (type == kRelBasedAbsolute) continue;
                if (type != kRelBasedDir64) {
                    throw ImageError("relocation type " + std::to_string(type) + " at RVA " + Hex(target) +
                                     " is not supported");
                }
                if (!view.Has(target, 8)) {
                    throw ImageError("relocation at RVA " + Hex(target) + " lies outside the image");
                }
                const std::uint64_t value = Read<std::uint64_t>(base_ + target) + delta;
                std::memcpy(base_ + target, &value, 8);
            }
            position += block_size;
        }
    }
    auto rva_of = [&](std::uint64_t va) { return va - reinterpret_cast<std::uint64_t>(base_); };

    // Imports: ntoskrnl.exe by name only, every one of them known.
    const Directory imports = directories[kDirImport];
    std::uint32_t c_handler_slot = 0;
    bool has_c_handler_slot = false;
    if (imports.size != 0) {
        std::vector<std::string> missing;
        bool foreign = false;
        for (std::uint64_t d = imports.rva;; d += 20) {
            const std::uint32_t lookup = view.At<std::uint32_t>(d, "import descriptor");
            const std::uint32_t name_rva = view.At<std::uint32_t>(d + 12, "import descriptor");
            const std::uint32_t address_table = view.At<std::uint32_t>(d + 16, "import descriptor");
            if (name_rva == 0 && lookup == 0 && address_table == 0) break;
            const std::string dll = view.String(name_rva, "import name");
            const bool kernel = EqualNoCase(Utf8ToUtf16(dll), u"ntoskrnl.exe");
            foreign |= !kernel;
            const std::uint64_t names = lookup != 0 ? lookup : address_table;
            for (std::uint64_t k = 0;; ++k) {
                const std::uint64_t entry = view.At<std::uint64_t>(names + 8 * k, "import lookup table");
                if (entry == 0) break;
                const std::uint64_t slot = address_table + 8 * k;
                view.At<std::uint64_t>(slot, "import address table");
                if (entry >> 63) {
                    missing.push_back(dll + "!#" + std::to_string(entry & 0xFFFF));
                    continue;
                }
                const std::string routine = view.String((entry & 0x7FFFFFFF) + 2, "import name");
                void* address = kernel ? ResolveImport(routine) : nullptr;
                if (address == nullptr) {
                    missing.push_back(dll + "!" + routine);
                    continue;
                }
                std::memcpy(base_ + slot, &address, 8);
                if (routine == "__C_specific_handler") {
                    c_handler_slot = static_cast<std::uint32_t>(slot);
                    has_c_handler_slot = true;
                }
            }
        }
        if (!missing.empty()) {
            std::string list;
            for (const std::string& m : missing) list += (list.empty() ? "" : ", ") + m;
            throw ImageError("imports what the host kernel does not provide: " + list +
                             (foreign ? " (the host kernel is ntoskrnl.exe only)" : ""));
        }
    }

    // Load configuration: the stack cookie and Control Flow Guard.
    const Directory load_config = directories[kDirLoadConfig];
    if (load_config.size != 0) {
        const std::uint64_t lc = load_config.rva;
        const std::uint32_t lc_size =
            std::min<std::uint32_t>(load_config.size, view.At<std::uint32_t>(lc, "load configuration"));
        if (!view.Has(lc, lc_size)) throw ImageError("the load configuration lies outside the image");
        if (lc_size >= kLcSecurityCookie + 8) {
            const std::uint64_t cookie_va =
                view.At<std::uint64_t>(lc + kLcSecurityCookie, "load configuration");
            if (cookie_va != 0) {
                const std::uint64_t cookie_rva = rva_of(cookie_va);
                const SectionInfo* s = section_of(cookie_rva);
                if (!view.Has(cookie_rva, 8) || s == nullptr || !(s->characteristics & kScnMemWrite)) {
                    throw ImageError("the stack cookie at " + Hex(cookie_va) +
                                     " is not in a writable section");
                }
                cookie_ = reinterpret_cast<std::uint64_t*>(base_ + cookie_rva);
                if (*cookie_ == kDefaultSecurityCookie || *cookie_ == 0) {
                    std::random_device random;
                    std::uint64_t cookie = 0;
                    while (cookie == 0 || cookie == kDefaultSecurityCookie) {
                        cookie = ((std::uint64_t(random()) << 32) | random()) & 0x0000FFFFFFFFFFFFull;
                    }
                    *cookie_ = cookie;
                }
            }
        }
        if (lc_size >= kLcGuardFlags + 4) {
            const std::uint32_t guard_flags =
                view.At<std::uint32_t>(lc + kLcGuardFlags, "load configuration");
            const std::uint64_t check_va =
                view.At<std::uint64_t>(lc + kLcGuardCheckFunctionPointer, "load configuration");
            const std::uint64_t dispatch_va =
                view.At<std::uint64_t>(lc + kLcGuardDispatchFunctionPointer, "load configuration");
            if ((guard_flags & kGuardCfInstrumented) && (guard_flags & kGuardCfFunctionTablePresent)) {
                const std::uint64_t table_rva =
                    rva_of(view.At<std::uint64_t>(lc + kLcGuardFunctionTable, "load configuration"));
                const std::uint64_t count =
                    view.At<std::uint64_t>(lc + kLcGuardFunctionCount, "load configuration");
                const std::uint64_t stride = 4 + ((guard_flags >> kGuardCfTableStrideShift) & 0x0F);
                if (count > image_size || !view.Has(table_rva, count * stride)) {
                    throw ImageError("the Control Flow Guard function table lies outside the image");
                }
                for (std::uint64_t i = 0; i < count; ++i) {
                    const std::uint8_t* entry = base_ + table_rva + i * stride;
                    if (stride > 4 && (entry[4] & kGuardFlagFidSuppressed)) continue;
                    call_targets_.push_back(Read<std::uint32_t>(entry));
                }
                std::sort(call_targets_.begin(), call_targets_.end());
                for (const auto& [va, routine] : {std::pair{check_va, &image::HkGuardCheckICall},
                                                  std::pair{dispatch_va, &image::HkGuardDispatchICall}}) {
                    if (va == 0) continue;
                    if (!view.Has(rva_of(va), 8)) {
                        throw ImageError("a Control Flow Guard function pointer lies outside the image");
                    }
                    const auto address = reinterpret_cast<std::uint64_t>(routine);
                    std::memcpy(base_ + rva_of(va), &address, 8);
                }
                guarded_calls_ = true;
            }
        }
    }

    // Exception directory: sorted entries in executable sections, unwind
    // data the host kernel's dispatch can use.
    code_.name = name_.c_str();
    code_.base = reinterpret_cast<std::uintptr_t>(base_);
    code_.size = image_size;
    for (const SectionInfo& s : sections) {
        if (!(s.characteristics & kScnMemExecute)) continue;
        if (code_.exec_count == image::ImageCode::kMaxRanges) {
            throw ImageError("too many executable sections");
        }
        code_.exec_begin[code_.exec_count] = s.rva;
        code_.exec_end[code_.exec_count] = s.rva + s.extent;
        ++code_.exec_count;
    }
    const Directory exceptions = directories[kDirException];
    if (exceptions.size != 0) {
        if (exceptions.size % 12 != 0 || !view.Has(exceptions.rva, exceptions.size)) {
            throw ImageError("the exception directory is malformed");
        }
        // The language handler must be the image's thunk of the imported
        // __C_specific_handler: jmp qword ptr [rip + disp32] through its slot.
        auto is_c_handler = [&](std::uint32_t rva) {
            if (!has_c_handler_slot || !view.Has(rva, 6) || base_[rva] != 0xFF || base_[rva + 1] != 0x25) {
                return false;
            }
            const std::int64_t slot = std::int64_t(rva) + 6 + Read<std::int32_t>(base_ + rva + 2);
            return slot == c_handler_slot;
        };
        std::function<void(std::uint32_t, int)> check_unwind = [&](std::uint32_t rva, int depth) {
            const std::string where = "unwind information at RVA " + Hex(rva);
            if (depth > 32) throw ImageError(where + ": chained too deeply");
            const std::uint8_t header = view.At<std::uint8_t>(rva, where);
            const std::uint8_t count = view.At<std::uint8_t>(rva + 2, where);
            const std::uint8_t frame = view.At<std::uint8_t>(rva + 3, where);
            if ((header & 7) != 1) {
                throw ImageError(where + ": version " + std::to_string(header & 7) + " is not supported");
            }
            const std::uint8_t unwind_flags = header >> 3;
            if (!view.Has(rva + 4, 2 * std::uint64_t(count))) {
                throw ImageError(where + " lies outside the image");
            }
            for (int i = 0; i < count;) {
                const std::uint8_t op = base_[rva + 4 + 2 * i + 1] & 0x0F;
                const std::uint8_t op_info = base_[rva + 4 + 2 * i + 1] >> 4;
                int slots = 1;
                switch (op) {
                case 0: case 2: break;
                case 1:
                    if (op_info > 1) throw ImageError(where + ": malformed UWOP_ALLOC_LARGE");
                    slots = op_info == 0 ? 2 : 3;
                    break;
                case 3:
                    if ((frame & 0x0F) == 0) {
                        throw ImageError(where + ": UWOP_SET_FPREG without a frame register");
                    }
                    break;
                case 4: case 8: slots = 2; break;
                case 5: case 9: slots = 3; break;
                case 10: throw ImageError(where + ": UWOP_PUSH_MACHFRAME is not supported");
                default: throw ImageError(where + ": unknown unwind code " + std::to_string(op));
                }
                if (i + slots > count) throw ImageError(where + ": truncated unwind code");
                i += slots;
            }
            const std::uint64_t after = rva + 4 + 2 * std::uint64_t((count + 1) & ~1);
            if (unwind_flags & kUnwFlagChainInfo) {
                check_unwind(view.At<std::uint32_t>(after + 8, where), depth + 1);
                return;
            }
            if (!(unwind_flags & (kUnwFlagEHandler | kUnwFlagUHandler))) return;
            const std::uint32_t handler = view.At<std::uint32_t>(after, where);
            if (!is_c_handler(handler)) {
                throw ImageError(where + ": the language handler at RVA " + Hex(handler) +
                                 " is not __C_specific_handler, the only one the host kernel dispatches to");
            }
            const std::uint32_t scopes = view.At<std::uint32_t>(after + 4, where);
            if (!view.Has(after + 8, 16 * std::uint64_t(scopes))) {
                throw ImageError(where + ": scope table outside the image");
            }
            for (std::uint32_t k = 0; k < scopes; ++k) {
                const std::uint8_t* scope = base_ + after + 8 + 16 * std::uint64_t(k);
                const std::uint32_t filter = Read<std::uint32_t>(scope + 8);
                const std::uint32_t jump = Read<std::uint32_t>(scope + 12);
                if (jump == 0) {
                    throw ImageError(where + ": a __finally block (at RVA " + Hex(filter) +
                                     ") needs a second unwind pass, which the host kernel does not run");
                }
                if (filter != 1) {
                    throw ImageError(where + ": the __except filter at RVA " + Hex(filter) +
                                     " is a routine; the host kernel accepts only EXCEPTION_EXECUTE_HANDLER");
                }
                if (!executable(jump)) {
                    throw ImageError(where + ": the __except block is not in an executable section");
                }
            }
        };
        std::uint32_t previous_end = 0;
        for (std::uint64_t e = 0; e < exceptions.size; e += 12) {
            const std::uint32_t begin = Read<std::uint32_t>(base_ + exceptions.rva + e);
            const std::uint32_t end = Read<std::uint32_t>(base_ + exceptions.rva + e + 4);
            if (begin >= end || begin < previous_end || !executable(begin) || !executable(end - 1)) {
                throw ImageError("function entry " + std::to_string(e / 12) +
                                 " of the exception directory is malformed");
            }
            previous_end = end;
            check_unwind(Read<std::uint32_t>(base_ + exceptions.rva + e + 8), 0);
        }
        code_.pdata = base_ + exceptions.rva;
        code_.pdata_count = exceptions.size / 12;
    }
    code_.call_targets = call_targets_.data();
    code_.call_target_count = call_targets_.size();

    // Protections: headers read-only, each section as its characteristics
    // say, nothing else accessible.
    mprotect(base_, reserved_, PROT_NONE);
    mprotect(base_, RoundUp(headers_size, page), PROT_READ);
    for (const SectionInfo& s : sections) {
        if (s.extent == 0) continue;
        int prot = PROT_READ;
        if (s.characteristics & kScnMemWrite) prot |= PROT_WRITE;
        if (s.characteristics & kScnMemExecute) prot |= PROT_EXEC;
        if (mprotect(base_ + s.rva, RoundUp(s.extent, page), prot) != 0) {
            throw ImageError("cannot protect section " + s.name + ": " + std::strerror(errno));
        }
    }

    image::RegisterImageCode(&code_);
    registered_ = true;

    // The entry stub: mov r8, entry point ; jmp qword ptr [rip + 0] ; dq HkImageEntry
    void* stub = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (stub == MAP_FAILED) throw ImageError("cannot map the entry stub");
    stub_ = static_cast<std::uint8_t*>(stub);
    const auto entry_point = reinterpret_cast<std::uint64_t>(base_ + entry_rva);
    const auto wrapper = reinterpret_cast<std::uint64_t>(&HkImageEntry);
    std::memset(stub_, 0xCC, page);
    stub_[0] = 0x49;
    stub_[1] = 0xB8;
    std::memcpy(stub_ + 2, &entry_point, 8);
    stub_[10] = 0xFF;
    stub_[11] = 0x25;
    std::memset(stub_ + 12, 0, 4);
    std::memcpy(stub_ + 16, &wrapper, 8);
    mprotect(stub_, page, PROT_READ | PROT_EXEC);
    entry_ = reinterpret_cast<ImageEntryRoutine>(stub_);
}

LoadedImage::~LoadedImage() {
    if (registered_) {
        ForgetCallbacksOf(&code_);
        image::UnregisterImageCode(&code_);
    }
    if (stub_ != nullptr) munmap(stub_, PageSize());
    if (base_ != nullptr) munmap(base_, reserved_);
}

std::unique_ptr<LoadedImage> LoadDriverImage(const std::string& path) {
    const std::vector<std::uint8_t> bytes = ReadFileBytes(path);
    std::string name = path.substr(path.find_last_of('/') + 1);
    try {
        return LoadedImage::Load(bytes, std::move(name));
    } catch (const ImageError& e) {
        throw ImageError(path + ": " + e.what());
    }
}

std::uint64_t ImageExceptionCount() { return image::DispatchedExceptionCount(); }

}  // namespace hk

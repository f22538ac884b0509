// Driver images loaded into the host kernel and run on it, as the Windows
// loader loads a boot driver:
//   - the sections at their RVAs in fresh memory, the base relocations
//     applied wherever that lands (an image without relocations goes to its
//     preferred base or is refused), each section given the protections its
//     characteristics ask for;
//   - the imports resolved by name against the host kernel's own routines and
//     variables (ntoskrnl.exe only; anything else is refused);
//   - the load configuration served: a fresh stack cookie in place of the
//     default one, and the host's Control Flow Guard check and dispatch
//     routines, which allow the image's listed call targets and the kernel's
//     routines and fast-fail on anything else;
//   - faults inside the image dispatched to its __except handlers from its
//     unwind data, a __fastfail (int 0x29) raised as the host build's
//     fast-fail trap (hostkernel/seh_dispatch.h).
//
// The imported routines are reached through bridge stubs: a kernel routine
// runs on the image's stack as on Windows, a fault inside it unwinds into the
// image's frames, and a C++ exception it throws (a bug check) travels on past
// the image's frames, through the host's, to where the host called into the
// image. memcpy, memset and _wcsnicmp resolve to
// wrappers with the Windows calling convention. __C_specific_handler resolves
// to a routine that aborts: the dispatch reads the scope tables itself and
// never calls the handler, which is why only __except filters that are the
// constant EXCEPTION_EXECUTE_HANDLER, and no __finally blocks, are accepted.
#pragma once

#include "hostkernel/hostkernel.h"
#include "hostkernel/pe_image.h"
#include "hostkernel/seh_dispatch.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace hk {

// A driver's entry routine: DriverEntry, or the image's entry point.
using ImageEntryRoutine = NTSTATUS(NTAPI*)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// The stack cookie value that the loader replaces, as not yet initialised.
constexpr std::uint64_t kDefaultSecurityCookie = 0x00002B992DDFA232ull;

class LoadedImage {
public:
    // Loads a driver image given as its file bytes; name labels it in
    // messages. Throws ImageError for an image the host kernel cannot load.
    static std::unique_ptr<LoadedImage> Load(std::span<const std::uint8_t> file, std::string name);

    LoadedImage(const LoadedImage&) = delete;
    LoadedImage& operator=(const LoadedImage&) = delete;
    ~LoadedImage();

    // Calls the image's entry point (AddressOfEntryPoint) as the kernel does.
    // Boot-driver callbacks the image registers are registered as host
    // routines that call the image's. While the image runs, a fast-fail in it
    // throws hk::FastFail (counted as the host build's fast-fail), an
    // exception no frame of it handles throws hk::BugCheck, and an exception
    // thrown by a kernel routine it called is rethrown.
    ImageEntryRoutine entry() const { return entry_; }

    std::uint8_t* base() const { return base_; }
    std::size_t size() const { return size_; }  // SizeOfImage
    std::uint64_t preferred_base() const { return preferred_base_; }
    const std::string& name() const { return name_; }
    // The image's stack cookie, when its load configuration names one.
    std::uint64_t* security_cookie() const { return cookie_; }
    // Whether the host's Control Flow Guard routines were put in the image.
    bool guarded_calls() const { return guarded_calls_; }

private:
    LoadedImage() = default;
    void Map(std::span<const std::uint8_t> file);

    std::string name_;
    std::uint8_t* base_ = nullptr;
    std::size_t size_ = 0;
    std::size_t reserved_ = 0;  // bytes mapped, the guard page included
    std::uint64_t preferred_base_ = 0;
    std::uint64_t* cookie_ = nullptr;
    bool guarded_calls_ = false;
    std::vector<std::uint32_t> call_targets_;
    image::ImageCode code_;
    bool registered_ = false;
    std::uint8_t* stub_ = nullptr;  // the page holding the entry stub
    ImageEntryRoutine entry_ = nullptr;
};

// Reads and loads a driver image file; ImageError messages start with path.
std::unique_ptr<LoadedImage> LoadDriverImage(const std::string& path);

// Exceptions dispatched to a handler inside a loaded image since the process
// started.
std::uint64_t ImageExceptionCount();

}  // namespace hk

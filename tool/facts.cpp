#include "tool/facts.h"

#include "driver/elam.h"
#include "hostkernel/pe_image.h"

#include <cstdio>
#include <cstring>
#include <sstream>

namespace elamctl {
namespace {

// The driver's version-resource reader over the mapped image.
void ReadVersionFacts(const hk::MappedImage& image, ImageFacts& facts) {
    ULONGLONG version = VERSION_UNKNOWN;
    PUNICODE_STRING name = nullptr;
    GetImageVersionInfo(image.base(), image.size(), &version, &name);
    if (version != VERSION_UNKNOWN) facts.file_version = version;
    if (name != nullptr) {
        facts.original_filename = std::u16string(name->Buffer, name->Length / sizeof(WCHAR));
        ExFreePoolWithTag(name, ELAM_POOL_TAG);
    }
}

// The driver's debug-record reader over the mapped image. The reader writes the
// GUID only when it finds a record; two calls with different presets tell a
// written GUID (the same in both) from an untouched one, even an all-zero GUID.
void ReadDebugFacts(const hk::MappedImage& image, ImageFacts& facts) {
    std::array<std::uint8_t, 16> zeros{};
    std::array<std::uint8_t, 16> ones;
    ones.fill(0xFF);
    PANSI_STRING name = nullptr;
    GetImageDebugInfo(image.base(), image.size(), zeros.data(), &name);
    GetImageDebugInfo(image.base(), image.size(), ones.data(), nullptr);
    if (zeros == ones) facts.pdb_guid = zeros;
    if (name != nullptr) {
        facts.pdb_name = std::string(name->Buffer, name->Length);
        ExFreePoolWithTag(name, ELAM_POOL_TAG);
    }
}

// The Authenticode hashes and signer, with a problem of the signature among
// the file's problems. Throws AuthenticodeError when the headers give no hash.
void ReadAuthenticodeFacts(const Bytes& file, ImageFacts& facts) {
    facts.authenticode = ComputeAuthenticode(file);
    if (facts.authenticode->signature_problem) {
        facts.problems.push_back("signature: " + *facts.authenticode->signature_problem);
    }
}

nlohmann::ordered_json OrNull(const std::optional<std::string>& value) {
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}

}  // namespace

std::string VersionText(std::uint64_t version) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned(version >> 48 & 0xFFFF), unsigned(version >> 32 & 0xFFFF),
                  unsigned(version >> 16 & 0xFFFF), unsigned(version & 0xFFFF));
    return text;
}

std::string GuidText(const std::array<std::uint8_t, 16>& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g[3], g[2],
                  g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
    return text;
}

ImageFacts GatherFacts(const std::string& path, const Bytes& file, const hk::MappedImage& image) {
    ImageFacts facts;
    facts.file = path;
    ReadVersionFacts(image, facts);
    ReadDebugFacts(image, facts);
    try {
        ReadAuthenticodeFacts(file, facts);
    } catch (const AuthenticodeError& error) {
        facts.problems.push_back(std::string("no Authenticode hash: ") + error.what());
    }
    return facts;
}

ImageFacts GatherFacts(const std::string& path) {
    const Bytes file = ReadWholeFile(path);
    std::string refusal;
    try {
        const hk::MappedImage image(file);
        return GatherFacts(path, file, image);
    } catch (const hk::ImageError& error) {
        refusal = error.what();
    }
    // A file whose headers give its Authenticode hash is a PE file even when
    // it cannot be mapped here: the hash is still a fact the system passes,
    // and the facts read from the mapped image are missing for a reason.
    ImageFacts facts;
    facts.file = path;
    facts.problems.push_back("cannot be mapped as an image: " + refusal);
    try {
        ReadAuthenticodeFacts(file, facts);
    } catch (const AuthenticodeError&) {
        throw ToolError(path, "not a PE image: " + refusal);
    }
    return facts;
}

nlohmann::ordered_json FactsJson(const ImageFacts& f) {
    nlohmann::ordered_json out;
    out["file"] = f.file;
    out["file_version"] = f.file_version ? nlohmann::ordered_json(VersionText(*f.file_version)) : nlohmann::ordered_json(nullptr);
    out["original_filename"] =
        f.original_filename ? nlohmann::ordered_json(hk::Utf16ToUtf8(*f.original_filename)) : nlohmann::ordered_json(nullptr);
    out["pdb_name"] = OrNull(f.pdb_name);
    out["pdb_guid"] = f.pdb_guid ? nlohmann::ordered_json(ToHex(*f.pdb_guid)) : nlohmann::ordered_json(nullptr);
    const Authenticode* a = f.authenticode ? &*f.authenticode : nullptr;
    out["authenticode_sha256"] = a ? nlohmann::ordered_json(ToHex(a->sha256)) : nlohmann::ordered_json(nullptr);
    out["authenticode_sha1"] = a ? nlohmann::ordered_json(ToHex(a->sha1)) : nlohmann::ordered_json(nullptr);
    out["signed"] = a ? nlohmann::ordered_json(a->has_signature) : nlohmann::ordered_json(nullptr);
    if (a && a->signer) {
        out["signer"] = {{"subject", a->signer->subject},
                         {"thumbprint_sha1", ToHex(a->signer->sha1_thumbprint)},
                         {"thumbprint_sha256", ToHex(a->signer->sha256_thumbprint)},
                         {"tbs_sha1", ToHex(a->signer->tbs_sha1)},
                         {"tbs_sha256", ToHex(a->signer->tbs_sha256)}};
    } else {
        out["signer"] = nullptr;
    }
    if (!f.problems.empty()) out["error"] = f.problems.front();
    return out;
}

nlohmann::ordered_json FailedFactsJson(const std::string& file, const std::string& problem) {
    nlohmann::ordered_json out;
    out["file"] = file;
    for (const char* key : {"file_version", "original_filename", "pdb_name", "pdb_guid", "authenticode_sha256",
                            "authenticode_sha1", "signed", "signer"}) {
        out[key] = nullptr;
    }
    out["error"] = problem;
    return out;
}

std::string FactsText(const ImageFacts& f) {
    std::ostringstream out;
    auto line = [&](const char* label, const std::string& value) {
        out << "  " << label << std::string(22 - std::strlen(label), ' ') << value << '\n';
    };
    const std::string none = "-";
    out << f.file << '\n';
    line("file version", f.file_version ? VersionText(*f.file_version) : none);
    line("OriginalFilename", f.original_filename ? hk::Utf16ToUtf8(*f.original_filename) : none);
    line("PDB name", f.pdb_name ? *f.pdb_name : none);
    line("PDB GUID", f.pdb_guid ? ToHex(*f.pdb_guid) + " " + GuidText(*f.pdb_guid) : none);
    if (f.authenticode) {
        const Authenticode& a = *f.authenticode;
        line("Authenticode SHA-256", ToHex(a.sha256));
        line("Authenticode SHA-1", ToHex(a.sha1));
        if (a.signer) {
            line("signer", a.signer->subject);
            line("thumbprint SHA-1", ToHex(a.signer->sha1_thumbprint));
            line("thumbprint SHA-256", ToHex(a.signer->sha256_thumbprint));
            line("TBS SHA-1", ToHex(a.signer->tbs_sha1));
            line("TBS SHA-256", ToHex(a.signer->tbs_sha256));
        } else {
            line("signer", a.has_signature ? "(unreadable signature)" : "(unsigned)");
        }
    } else {
        line("Authenticode SHA-256", none);
        line("Authenticode SHA-1", none);
    }
    return out.str();
}

}  // namespace elamctl

// ComputeAuthenticode over any bytes, as elamctl facts meets them: a file
// whose headers give no hash is refused with AuthenticodeError and nothing
// else; any other file gets both digests, and a certificate table that holds
// no readable signature is described, never thrown.
#include "fuzz_support.h"
#include "tool/authenticode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    elamctl::Authenticode hash;
    try {
        hash = elamctl::ComputeAuthenticode(std::span<const std::uint8_t>(data, size));
    } catch (const elamctl::AuthenticodeError&) {
        return 0;
    }
    FUZZ_CHECK(hash.sha256.size() == 32 && hash.sha1.size() == 20);
    // A signature is either read or described; an unsigned file has no signer.
    FUZZ_CHECK(!hash.has_signature || hash.signer.has_value() != hash.signature_problem.has_value());
    FUZZ_CHECK(hash.has_signature || !hash.signer.has_value());
    return 0;
}

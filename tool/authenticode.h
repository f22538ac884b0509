// What the system learns about a PE file from its Authenticode signature: the
// image hash (the PE hash that leaves out the checksum, the certificate-table
// entry and the certificate table itself) and the signing certificate.
#pragma once

#include "tool/common.h"

#include <optional>
#include <span>
#include <stdexcept>
#include <string>

namespace elamctl {

// A file whose headers do not allow the Authenticode hash.
struct AuthenticodeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct SignerCertificate {
    std::string subject;  // RFC 2253 form, most specific element first
    Bytes sha1_thumbprint;
    Bytes sha256_thumbprint;
    Bytes tbs_sha1;       // hashes of the DER to-be-signed part
    Bytes tbs_sha256;
};

struct Authenticode {
    Bytes sha256;
    Bytes sha1;
    // True when the certificate-table entry names a certificate table.
    bool has_signature = false;
    // The certificate of the first signer of the first signature.
    std::optional<SignerCertificate> signer;
    // Why the signer could not be read from a certificate table that exists,
    // or why a certificate-table entry was ignored.
    std::optional<std::string> signature_problem;
};

// Hashes a PE file as osslsigncode does: everything up to the certificate
// table (or the end of the file) except the checksum and the certificate-table
// entry; an unsigned file is padded with zero bytes to a multiple of 8, as
// signing would pad it, so that its hash does not change when it is signed.
// A certificate-table entry that describes anything but a table at the very
// end of the file is ignored (signature_problem says so), as osslsigncode
// ignores it. Throws AuthenticodeError when the headers are not those of a PE
// file with a certificate-table entry, or the table overlaps the headers.
Authenticode ComputeAuthenticode(std::span<const std::uint8_t> file);

}  // namespace elamctl

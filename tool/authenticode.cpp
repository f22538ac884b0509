#include "tool/authenticode.h"

#include "hostkernel/pe_format.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>

namespace elamctl {
namespace {

using namespace hk::pe;
constexpr std::uint16_t kWinCertTypePkcsSignedData = 2;

template <typename T>
T Load(std::span<const std::uint8_t> file, std::uint64_t offset, const char* what) {
    if (offset > file.size() || sizeof(T) > file.size() - offset) {
        throw AuthenticodeError(std::string("truncated headers: ") + what);
    }
    T value;
    std::memcpy(&value, file.data() + offset, sizeof value);
    return value;
}

struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// One digest fed in pieces.
class Digest {
public:
    explicit Digest(const EVP_MD* md) : ctx_(EVP_MD_CTX_new()) {
        if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), md, nullptr) != 1) throw std::runtime_error("EVP_DigestInit_ex failed");
    }
    void Update(const std::uint8_t* data, std::size_t size) {
        if (size != 0 && EVP_DigestUpdate(ctx_.get(), data, size) != 1) throw std::runtime_error("EVP_DigestUpdate failed");
    }
    Bytes Final() {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        if (EVP_DigestFinal_ex(ctx_.get(), out, &size) != 1) throw std::runtime_error("EVP_DigestFinal_ex failed");
        return Bytes(out, out + size);
    }

private:
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx_;
};

Bytes HashOf(const EVP_MD* md, const std::uint8_t* data, std::size_t size) {
    Digest digest(md);
    digest.Update(data, size);
    return digest.Final();
}

struct Pkcs7Free {
    void operator()(PKCS7* p) const { PKCS7_free(p); }
};
struct X509StackFree {
    void operator()(STACK_OF(X509) * s) const { sk_X509_free(s); }  // the certificates stay owned by the PKCS7
};
struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};

SignerCertificate DescribeCertificate(X509* cert) {
    SignerCertificate out;
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), X509_get_subject_name(cert), 0, XN_FLAG_RFC2253) < 0) {
        throw std::runtime_error("cannot print the subject");
    }
    BUF_MEM* text = nullptr;
    BIO_get_mem_ptr(bio.get(), &text);
    out.subject.assign(text->data, text->length);

    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(cert, EVP_sha1(), md, &size) != 1) throw std::runtime_error("X509_digest failed");
    out.sha1_thumbprint.assign(md, md + size);
    if (X509_digest(cert, EVP_sha256(), md, &size) != 1) throw std::runtime_error("X509_digest failed");
    out.sha256_thumbprint.assign(md, md + size);

    unsigned char* tbs = nullptr;
    const int tbs_size = i2d_re_X509_tbs(cert, &tbs);
    if (tbs_size <= 0) throw std::runtime_error("cannot encode the to-be-signed part");
    out.tbs_sha1 = HashOf(EVP_sha1(), tbs, static_cast<std::size_t>(tbs_size));
    out.tbs_sha256 = HashOf(EVP_sha256(), tbs, static_cast<std::size_t>(tbs_size));
    OPENSSL_free(tbs);
    return out;
}

// The signer of a WIN_CERTIFICATE holding PKCS#7 signed data.
SignerCertificate ReadSigner(std::span<const std::uint8_t> table) {
    if (table.size() < 8) throw std::runtime_error("certificate table shorter than its header");
    std::uint32_t length;
    std::uint16_t type;
    std::memcpy(&length, table.data(), 4);
    std::memcpy(&type, table.data() + 6, 2);
    if (length < 8 || length > table.size()) throw std::runtime_error("certificate length outside the certificate table");
    if (type != kWinCertTypePkcsSignedData) {
        throw std::runtime_error("certificate type " + std::to_string(type) + " is not PKCS#7 signed data");
    }
    const unsigned char* p = table.data() + 8;
    std::unique_ptr<PKCS7, Pkcs7Free> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(length - 8)));
    if (!p7) throw std::runtime_error("the signature is not PKCS#7 DER");
    if (!PKCS7_type_is_signed(p7.get())) throw std::runtime_error("the signature is not PKCS#7 signed data");
    std::unique_ptr<STACK_OF(X509), X509StackFree> signers(PKCS7_get0_signers(p7.get(), nullptr, 0));
    if (!signers || sk_X509_num(signers.get()) == 0) {
        throw std::runtime_error("the signature does not carry its signer's certificate");
    }
    return DescribeCertificate(sk_X509_value(signers.get(), 0));
}

}  // namespace

Authenticode ComputeAuthenticode(std::span<const std::uint8_t> file) {
    if (Load<std::uint16_t>(file, 0, "DOS header") != 0x5A4D) throw AuthenticodeError("no MZ signature");
    const std::uint64_t nt = Load<std::uint32_t>(file, kDosLfanew, "DOS header");
    if (Load<std::uint32_t>(file, nt, "PE signature") != 0x00004550) throw AuthenticodeError("no PE signature");
    const std::uint64_t oh = nt + kOptionalHeader;
    const std::uint16_t magic = Load<std::uint16_t>(file, oh, "optional header");
    if (magic != 0x10B && magic != 0x20B) throw AuthenticodeError("unknown optional header magic");
    const bool plus = magic == 0x20B;
    const std::uint32_t directories =
        Load<std::uint32_t>(file, oh + (plus ? kOhNumberOfRvaAndSizes64 : kOhNumberOfRvaAndSizes32), "optional header");
    if (directories <= kCertificateTableIndex) throw AuthenticodeError("no certificate-table entry in the data directories");
    const std::uint64_t checksum = oh + kOhCheckSum;
    const std::uint64_t entry = oh + (plus ? kOhDataDirectory64 : kOhDataDirectory32) + kCertificateTableIndex * 8;
    const std::uint32_t table_offset = Load<std::uint32_t>(file, entry, "data directories");
    const std::uint32_t table_size = Load<std::uint32_t>(file, entry + 4, "data directories");

    Authenticode out;
    std::uint64_t end = file.size();
    if (table_offset != 0 || table_size != 0) {
        // A signature is the last thing in a signed file. An entry that
        // describes anything else is ignored and the file hashed as unsigned,
        // as osslsigncode does.
        if (table_offset != 0 && table_size != 0 && table_offset < file.size() &&
            std::uint64_t(table_offset) + table_size == file.size()) {
            if (table_offset < entry + 8) throw AuthenticodeError("the certificate table overlaps the headers");
            end = table_offset;
            out.has_signature = true;
        } else {
            out.signature_problem =
                "the certificate-table entry describes no certificate table at the end of the file: "
                "ignored, the file is hashed as unsigned";
        }
    }

    Digest sha256(EVP_sha256());
    Digest sha1(EVP_sha1());
    auto feed = [&](std::uint64_t from, std::uint64_t to) {
        sha256.Update(file.data() + from, to - from);
        sha1.Update(file.data() + from, to - from);
    };
    feed(0, checksum);
    feed(checksum + 4, entry);
    feed(entry + 8, end);
    if (!out.has_signature && end % 8 != 0) {
        static const std::uint8_t zeros[8] = {};
        sha256.Update(zeros, 8 - end % 8);
        sha1.Update(zeros, 8 - end % 8);
    }
    out.sha256 = sha256.Final();
    out.sha1 = sha1.Final();

    if (out.has_signature) {
        try {
            out.signer = ReadSigner(file.subspan(table_offset, table_size));
        } catch (const std::runtime_error& problem) {
            out.signature_problem = problem.what();
        }
    }
    return out;
}

}  // namespace elamctl

#include "devserver/CertificateAuthority.h"

#include <filesystem>
#include <fstream>
#include <string>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "devserver/ObjectStore.h"

namespace DevServer {
namespace {

constexpr long kValiditySeconds = 30L * 24 * 3600;
// Clocks of client and server may differ a little.
constexpr long kBackdateSeconds = 3600;

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct BnFree {
    void operator()(BIGNUM* bn) const { BN_free(bn); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertPtr = std::unique_ptr<X509, CertFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;

bool Fail(std::string* error, const std::string& what)
{
    if (error) {
        std::string text = what;
        const unsigned long code = ERR_get_error();
        if (code != 0) {
            char buffer[256];
            ERR_error_string_n(code, buffer, sizeof(buffer));
            text += ": ";
            text += buffer;
        }
        *error = text;
    }
    ERR_clear_error();
    return false;
}

KeyPtr NewKey()
{
    return KeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
}

bool SetRandomSerial(X509* cert)
{
    BnPtr bn(BN_new());
    // 127 bits keep the number positive in its DER form, as RFC 5280 asks.
    return bn && BN_rand(bn.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
           BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert)) != nullptr;
}

bool SetSubject(X509* cert, const std::string& commonName)
{
    X509_NAME* name = X509_get_subject_name(cert);
    const auto text = [](const char* s) { return reinterpret_cast<const unsigned char*>(s); };
    return X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, text("Pelbo devserver"), -1, -1, 0) == 1 &&
           X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, text(commonName.c_str()), -1, -1, 0) == 1;
}

bool AddExtension(X509* cert, X509* issuer, int nid, const std::string& value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_nconf_nid(nullptr, &ctx, nid, value.c_str());
    if (!extension)
        return false;
    const bool added = X509_add_ext(cert, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// The parts every certificate here shares: version 3, serial, validity,
// subject, public key.
CertPtr NewCertificate(EVP_PKEY* key, const std::string& commonName)
{
    CertPtr cert(X509_new());
    if (!cert || X509_set_version(cert.get(), 2) != 1 || !SetRandomSerial(cert.get()) ||
        !X509_gmtime_adj(X509_getm_notBefore(cert.get()), -kBackdateSeconds) ||
        !X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValiditySeconds) || !SetSubject(cert.get(), commonName) ||
        X509_set_pubkey(cert.get(), key) != 1)
        return nullptr;
    return cert;
}

std::string ToPem(X509* cert)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1)
        return std::string();
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

std::string ToPem(EVP_PKEY* key)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return std::string();
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

struct CertificateAuthority::Impl {
    KeyPtr key;
    CertPtr cert;
};

CertificateAuthority::CertificateAuthority() : m_impl(std::make_unique<Impl>()) {}
CertificateAuthority::~CertificateAuthority() = default;
CertificateAuthority::CertificateAuthority(CertificateAuthority&&) noexcept = default;
CertificateAuthority& CertificateAuthority::operator=(CertificateAuthority&&) noexcept = default;

bool CertificateAuthority::Create(const std::string& commonName, std::string* error)
{
    KeyPtr key = NewKey();
    if (!key)
        return Fail(error, "CA key generation failed");
    CertPtr cert = NewCertificate(key.get(), commonName);
    if (!cert)
        return Fail(error, "CA certificate set-up failed");
    X509* raw = cert.get();
    // The subject key identifier must exist before the authority key
    // identifier can refer to it on a self-signed certificate.
    if (X509_set_issuer_name(raw, X509_get_subject_name(raw)) != 1 ||
        !AddExtension(raw, raw, NID_basic_constraints, "critical,CA:TRUE,pathlen:0") ||
        !AddExtension(raw, raw, NID_key_usage, "critical,keyCertSign,cRLSign") ||
        !AddExtension(raw, raw, NID_subject_key_identifier, "hash") ||
        !AddExtension(raw, raw, NID_authority_key_identifier, "keyid:always"))
        return Fail(error, "CA certificate extensions failed");
    if (X509_sign(raw, key.get(), EVP_sha256()) <= 0)
        return Fail(error, "CA certificate signing failed");
    m_impl->key = std::move(key);
    m_impl->cert = std::move(cert);
    return true;
}

bool CertificateAuthority::IssueServerCertificate(const std::vector<std::string>& dnsNames,
                                                  const std::vector<std::string>& ipAddresses, Issued* out,
                                                  std::string* error) const
{
    if (!m_impl->cert)
        return Fail(error, "the CA was not created");
    if (dnsNames.empty() && ipAddresses.empty())
        return Fail(error, "a server certificate needs at least one name");
    std::string altNames;
    for (const std::string& name : dnsNames)
        altNames += (altNames.empty() ? "DNS:" : ",DNS:") + name;
    for (const std::string& address : ipAddresses)
        altNames += (altNames.empty() ? "IP:" : ",IP:") + address;

    KeyPtr key = NewKey();
    if (!key)
        return Fail(error, "server key generation failed");
    CertPtr cert = NewCertificate(key.get(), dnsNames.empty() ? ipAddresses.front() : dnsNames.front());
    if (!cert)
        return Fail(error, "server certificate set-up failed");
    X509* raw = cert.get();
    X509* ca = m_impl->cert.get();
    if (X509_set_issuer_name(raw, X509_get_subject_name(ca)) != 1 ||
        !AddExtension(raw, ca, NID_basic_constraints, "critical,CA:FALSE") ||
        !AddExtension(raw, ca, NID_key_usage, "critical,digitalSignature,keyEncipherment") ||
        !AddExtension(raw, ca, NID_ext_key_usage, "serverAuth") ||
        !AddExtension(raw, ca, NID_subject_key_identifier, "hash") ||
        !AddExtension(raw, ca, NID_authority_key_identifier, "keyid:always") ||
        !AddExtension(raw, ca, NID_subject_alt_name, altNames))
        return Fail(error, "server certificate extensions failed (names: " + altNames + ")");
    if (X509_sign(raw, m_impl->key.get(), EVP_sha256()) <= 0)
        return Fail(error, "server certificate signing failed");
    Issued issued;
    issued.certificatePem = ToPem(raw);
    issued.privateKeyPem = ToPem(key.get());
    if (issued.certificatePem.empty() || issued.privateKeyPem.empty())
        return Fail(error, "PEM encoding failed");
    *out = std::move(issued);
    return true;
}

bool CertificateAuthority::IssueLoopbackCertificate(Issued* out, std::string* error) const
{
    // The object storage is reached under its endpoint's name below
    // localhost (uploads with the https storage scheme): a wildcard would not
    // do, as TLS clients refuse "*.localhost" for having a single label.
    return IssueServerCertificate({"localhost", std::string(ObjectStore::kEndPoint) + ".localhost"},
                                  {"127.0.0.1", "::1"}, out, error);
}

std::string CertificateAuthority::CertificatePem() const
{
    return m_impl->cert ? ToPem(m_impl->cert.get()) : std::string();
}

bool CertificateAuthority::WriteFile(const std::string& path, const std::string& text, std::string* error)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::remove(path, ec);
    {
        // Created empty and restricted before the secret goes in.
        std::ofstream create(path, std::ios::binary | std::ios::trunc);
        if (!create) {
            if (error)
                *error = "cannot create " + path;
            return false;
        }
    }
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, ec);
    if (ec) {
        if (error)
            *error = "cannot restrict " + path + ": " + ec.message();
        return false;
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
    file.close();
    if (!file) {
        if (error)
            *error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace DevServer

#pragma once
// A certificate authority made on the spot, so the local server can speak
// HTTPS that clients verify for real: the CA certificate is handed to the
// client as its only trusted root, and the server presents a certificate the
// CA signed for the loopback names. A second, independent CA gives tests a
// certificate that a client must refuse.

#include <memory>
#include <string>
#include <vector>

namespace DevServer {

class CertificateAuthority {
public:
    struct Issued {
        std::string certificatePem;
        std::string privateKeyPem;
    };

    CertificateAuthority();
    ~CertificateAuthority();
    CertificateAuthority(CertificateAuthority&&) noexcept;
    CertificateAuthority& operator=(CertificateAuthority&&) noexcept;

    // Makes a fresh key (EC P-256) and a self-signed CA certificate valid
    // for 30 days. False with a reason on error.
    bool Create(const std::string& commonName, std::string* error = nullptr);

    // A server certificate signed by this CA for the given host names and
    // IP addresses (subjectAltName), with its own fresh key.
    bool IssueServerCertificate(const std::vector<std::string>& dnsNames,
                                const std::vector<std::string>& ipAddresses, Issued* out,
                                std::string* error = nullptr) const;
    // The loopback names: localhost, 127.0.0.1 and ::1.
    bool IssueLoopbackCertificate(Issued* out, std::string* error = nullptr) const;

    // The CA certificate in PEM form; empty before Create succeeded.
    std::string CertificatePem() const;

    // Writes PEM text to a file readable only by its owner (keys are secret).
    static bool WriteFile(const std::string& path, const std::string& text, std::string* error = nullptr);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace DevServer

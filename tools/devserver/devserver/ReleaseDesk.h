#pragma once
// The releases the local server announces: the version manifest of the
// shelf's installer, signed with the server's throw-away release key
// (keys/release-signing.key, which development and test builds of the
// client trust), and the ways a release can be wrong, for tests of the
// update path: unsigned, signed by another key, older, expired, announcing
// fewer bytes than the installer has, or naming another installer's
// digests.
//
// The manifest's "expires" is fixed when the desk is made (a week ahead),
// so the manifest and its signature, fetched one after the other, agree.

#include <mutex>
#include <string>
#include <vector>

namespace DevServer {

class DownloadShelf;

class ReleaseDesk {
public:
    enum class Kind {
        Signed,     // 1.0.0.9, valid for a week, signed with the server's key
        Unsigned,   // no signature (".sig" answers 404)
        WrongKey,   // signed with a key no client trusts
        Older,      // 1.0.0.7, validly signed: not newer than the client
        Expired,    // "expires" a day ago, validly signed
        Oversized,  // "size" one byte short of the installer's
        Swapped,    // the digests of another installer of the same size
    };

    ReleaseDesk();

    void SetKind(Kind kind);
    Kind GetKind() const;
    // "signed", "unsigned", "wrong_key", "older", "expired", "oversized",
    // "swapped"; false for another name.
    static bool KindFromName(const std::string& name, Kind& kind);

    // The manifest text for the installer at installerUrl. A file named
    // "pelbo-version.json" on the shelf is served instead, as it is.
    std::string Manifest(const DownloadShelf& shelf, const std::string& installerUrl) const;
    // The base64 signature of text as this kind signs it; empty for
    // Unsigned.
    std::string Signature(const std::string& text) const;

    // Base64 Ed25519 signature of text by a base64 private key (RFC 8032
    // seed); empty on failure. For tests that sign manifests of their own.
    static std::string Sign(const std::string& privateKeyBase64, const std::string& text);
    // The server's private key (base64).
    static std::string ServerKey();

private:
    mutable std::mutex m_mutex;
    Kind m_kind = Kind::Signed;
    std::string m_otherKey;  // base64, made at start
    std::string m_expires;   // a week after the desk was made
    std::string m_expired;   // a day before
};

}  // namespace DevServer

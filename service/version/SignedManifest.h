#pragma once
// A version manifest together with its detached signature: the exact bytes
// the publisher signed and the base64 signature fetched from the manifest's
// address plus ".sig". Also the one kept on disk, so that a failed check can
// announce the last verified release again.
//
// The kept copy is a file of its own in the data folder, written whole or
// not at all: the signature on the first line, the manifest's bytes after
// it, unchanged (the configuration file cuts values at 259 characters and
// would break the signature).

#include <cstdint>
#include <optional>
#include <string>

#include <json/json.h>

class CSignedManifest {
public:
    // Larger manifests are refused: a release's manifest is a few hundred
    // bytes.
    static constexpr size_t kMaxBytes = 64 * 1024;
    static constexpr const wchar_t* kFileName = L"PelboVersion.signed";

    CSignedManifest(std::string bytes, std::string signature);

    const std::string& Bytes() const { return m_bytes; }
    const std::string& Signature() const { return m_signature; }

    enum class Verdict {
        Trusted,    // signed by a built-in key, a JSON object, not expired
        Unsigned,   // no signature, a malformed one or one no built-in key made
        NotJson,    // signed, but not a JSON object
        Expired,    // "expires" is not a UTC time ahead of now
    };
    // Whether the manifest is to be believed at now (seconds since 1970);
    // reason says why not, root receives the content when it is.
    Verdict Check(int64_t now, Json::Value& root, std::string& reason) const;

    // The copy in the data folder; empty when there is none or it cannot be
    // read whole. Whether it is still trusted is Refusal's to say.
    static std::optional<CSignedManifest> LoadKept();
    // Replaces the copy in the data folder; false (the old copy kept) when
    // it cannot be written.
    bool Keep() const;

    // "YYYY-MM-DDTHH:MM:SSZ" as seconds since 1970 (UTC); nothing for any
    // other form or an impossible date.
    static std::optional<int64_t> ParseUtcTime(const std::string& text);

private:
    std::string m_bytes;
    std::string m_signature;
};

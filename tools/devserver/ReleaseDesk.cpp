#include "devserver/ReleaseDesk.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <ctime>
#include <memory>

#include <json/json.h>

#include "devserver/DownloadShelf.h"
#include "devserver/ReleaseSigningKey.h"

namespace DevServer {
namespace {

const char kManifestFile[] = "pelbo-version.json";

std::string Base64(const unsigned char* bytes, size_t length)
{
    std::string out(4 * ((length + 2) / 3), '\0');
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), bytes, static_cast<int>(length));
    out.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return out;
}

// The 32-byte seed of a base64 key line; empty when it is not one.
std::string Seed(const std::string& base64)
{
    if (base64.size() != 44)
        return std::string();
    std::string out(33, '\0');
    const int written = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                        reinterpret_cast<const unsigned char*>(base64.data()), 44);
    // 44 characters with one '=' decode to 33 bytes of which the last is
    // padding.
    if (written != 33 || base64[43] != '=' || base64[42] == '=')
        return std::string();
    out.resize(32);
    return out;
}

std::string UtcTime(std::time_t when)
{
    std::tm parts{};
#if defined(_WIN32)
    gmtime_s(&parts, &when);
#else
    gmtime_r(&when, &parts);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

// The key line of the embedded key file: its one line that is not a comment.
std::string KeyLine(const std::string& text)
{
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        if (!line.empty() && line[0] != '#')
            return line;
        start = end + 1;
    }
    return std::string();
}

}  // namespace

ReleaseDesk::ReleaseDesk()
{
    unsigned char seed[32];
    if (RAND_bytes(seed, sizeof seed) == 1)
        m_otherKey = Base64(seed, sizeof seed);
    const std::time_t now = std::time(nullptr);
    m_expires = UtcTime(now + 7 * 24 * 3600);
    m_expired = UtcTime(now - 24 * 3600);
}

void ReleaseDesk::SetKind(Kind kind)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_kind = kind;
}

ReleaseDesk::Kind ReleaseDesk::GetKind() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_kind;
}

bool ReleaseDesk::KindFromName(const std::string& name, Kind& kind)
{
    static const std::pair<const char*, Kind> kNames[] = {
        {"signed", Kind::Signed},   {"unsigned", Kind::Unsigned},   {"wrong_key", Kind::WrongKey},
        {"older", Kind::Older},     {"expired", Kind::Expired},     {"oversized", Kind::Oversized},
        {"swapped", Kind::Swapped},
    };
    for (const auto& entry : kNames) {
        if (name == entry.first) {
            kind = entry.second;
            return true;
        }
    }
    return false;
}

std::string ReleaseDesk::Manifest(const DownloadShelf& shelf, const std::string& installerUrl) const
{
    if (const auto stored = shelf.Get(kManifestFile))
        return *stored;
    const Kind kind = GetKind();
    const auto body = shelf.Get(DownloadShelf::kInstaller);
    std::string installer = body ? *body : std::string();
    if (kind == Kind::Swapped && !installer.empty())
        installer.back() = static_cast<char>(installer.back() ^ 0x20);
    Json::Value manifest(Json::objectValue);
    manifest["version"] = kind == Kind::Older ? "1.0.0.7" : "1.0.0.9";
    manifest["downloadUrl"] = installerUrl;
    manifest["md5"] = DownloadShelf::Md5Of(installer);
    manifest["sha256"] = DownloadShelf::Sha256Of(installer);
    const Json::UInt64 size = installer.size();
    manifest["size"] = kind == Kind::Oversized && size > 0 ? size - 1 : size;
    manifest["expires"] = kind == Kind::Expired ? m_expired : m_expires;
    Json::Value notes(Json::arrayValue);
    notes.append("Faster joining of meetings");
    notes.append("\xE7\x99\xBD\xE6\x9D\xBF\xE6\x9B\xB4\xE6\xB5\x81\xE7\x95\x85");  // smoother whiteboard
    manifest["updateMsg"] = notes;
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, manifest) + "\n";
}

std::string ReleaseDesk::Signature(const std::string& text) const
{
    switch (GetKind()) {
    case Kind::Unsigned:
        return std::string();
    case Kind::WrongKey:
        return Sign(m_otherKey, text);
    default:
        return Sign(ServerKey(), text);
    }
}

std::string ReleaseDesk::Sign(const std::string& privateKeyBase64, const std::string& text)
{
    const std::string seed = Seed(privateKeyBase64);
    if (seed.empty())
        return std::string();
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(seed.data()),
                                     seed.size()),
        &EVP_PKEY_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!key || !context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return std::string();
    unsigned char signature[64];
    size_t length = sizeof signature;
    if (EVP_DigestSign(context.get(), signature, &length, reinterpret_cast<const unsigned char*>(text.data()),
                       text.size()) != 1)
        return std::string();
    return Base64(signature, length);
}

std::string ReleaseDesk::ServerKey()
{
    return KeyLine(kReleaseSigningKey);
}

}  // namespace DevServer

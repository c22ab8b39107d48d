#include "pelbo/corekit/Signature.h"

#include <openssl/err.h>

#include <cerrno>
#include <system_error>

#include "OpenSslHandles.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/compat/TextFile.h"

namespace Util {
namespace Signature {
namespace {

// A failed verification leaves entries in the thread's OpenSSL error queue;
// left there, they would be taken for the cause of the next TLS failure on
// the same thread (libcurl, the websocket session).
class ErrorQueueMark {
public:
    ErrorQueueMark() { ERR_set_mark(); }
    ~ErrorQueueMark() { ERR_pop_to_mark(); }
    ErrorQueueMark(const ErrorQueueMark&) = delete;
    ErrorQueueMark& operator=(const ErrorQueueMark&) = delete;
};

// The one-shot calls are given a real pointer even for an empty message.
const unsigned char* MessageBytes(const void* data)
{
    static const unsigned char kNothing = 0;
    return data != nullptr ? static_cast<const unsigned char*>(data) : &kNothing;
}

Corekit::PKey PrivateKey(const Bytes& key)
{
    if (key.size() != kPrivateKeySize)
        return nullptr;
    return Corekit::PKey(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()));
}

std::optional<Bytes> RawKey(EVP_PKEY* key, bool privatePart)
{
    Bytes raw(privatePart ? kPrivateKeySize : kPublicKeySize);
    size_t length = raw.size();
    const int ok = privatePart ? EVP_PKEY_get_raw_private_key(key, raw.data(), &length)
                               : EVP_PKEY_get_raw_public_key(key, raw.data(), &length);
    if (ok != 1 || length != raw.size())
        return std::nullopt;
    return raw;
}

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

}  // namespace

std::optional<KeyPair> GenerateKeyPair()
{
    ErrorQueueMark mark;
    try {
        Corekit::PKeyContext context(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
        EVP_PKEY* made = nullptr;
        if (!context || EVP_PKEY_keygen_init(context.get()) != 1 || EVP_PKEY_keygen(context.get(), &made) != 1)
            return std::nullopt;
        const Corekit::PKey key(made);
        std::optional<Bytes> privateKey = RawKey(key.get(), true);
        std::optional<Bytes> publicKey = RawKey(key.get(), false);
        if (!privateKey || !publicKey)
            return std::nullopt;
        return KeyPair{std::move(*privateKey), std::move(*publicKey)};
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<Bytes> PublicKeyOf(const Bytes& privateKey)
{
    ErrorQueueMark mark;
    try {
        const Corekit::PKey key = PrivateKey(privateKey);
        if (!key)
            return std::nullopt;
        return RawKey(key.get(), false);
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<Bytes> Sign(const Bytes& privateKey, const void* data, size_t length)
{
    if (data == nullptr && length != 0)
        return std::nullopt;
    ErrorQueueMark mark;
    try {
        const Corekit::PKey key = PrivateKey(privateKey);
        const Corekit::MdContext context(EVP_MD_CTX_new());
        if (!key || !context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
            return std::nullopt;
        Bytes signature(kSignatureSize);
        size_t signatureLength = signature.size();
        if (EVP_DigestSign(context.get(), signature.data(), &signatureLength, MessageBytes(data), length) != 1 ||
            signatureLength != kSignatureSize)
            return std::nullopt;
        return signature;
    } catch (...) {
        return std::nullopt;
    }
}

bool Verify(const Bytes& publicKey, const void* data, size_t length, const Bytes& signature)
{
    if ((data == nullptr && length != 0) || publicKey.size() != kPublicKeySize || signature.size() != kSignatureSize)
        return false;
    ErrorQueueMark mark;
    try {
        const Corekit::PKey key(
            EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size()));
        const Corekit::MdContext context(EVP_MD_CTX_new());
        if (!key || !context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
            return false;
        return EVP_DigestVerify(context.get(), signature.data(), signature.size(), MessageBytes(data), length) == 1;
    } catch (...) {
        return false;
    }
}

bool VerifyAny(const std::vector<Bytes>& publicKeys, const void* data, size_t length, const Bytes& signature)
{
    for (const Bytes& key : publicKeys) {
        if (Verify(key, data, length, signature))
            return true;
    }
    return false;
}

std::string Base64Encode(const Bytes& bytes)
{
    try {
        std::string text;
        text.reserve((bytes.size() + 2) / 3 * 4);
        size_t i = 0;
        for (; i + 3 <= bytes.size(); i += 3) {
            const unsigned group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
            text += kAlphabet[(group >> 18) & 0x3F];
            text += kAlphabet[(group >> 12) & 0x3F];
            text += kAlphabet[(group >> 6) & 0x3F];
            text += kAlphabet[group & 0x3F];
        }
        const size_t rest = bytes.size() - i;
        if (rest != 0) {
            const unsigned group = (bytes[i] << 16) | (rest == 2 ? bytes[i + 1] << 8 : 0);
            text += kAlphabet[(group >> 18) & 0x3F];
            text += kAlphabet[(group >> 12) & 0x3F];
            text += rest == 2 ? kAlphabet[(group >> 6) & 0x3F] : '=';
            text += '=';
        }
        return text;
    } catch (...) {
        return std::string();
    }
}

std::optional<Bytes> Base64Decode(const std::string& text, size_t expectedLength)
{
    if (text.size() % 4 != 0)
        return std::nullopt;
    size_t padding = 0;
    if (!text.empty() && text[text.size() - 1] == '=')
        padding = text[text.size() - 2] == '=' ? 2 : 1;
    const size_t decodedLength = text.size() / 4 * 3 - padding;
    if (expectedLength != kAnyLength && decodedLength != expectedLength)
        return std::nullopt;
    try {
        Bytes bytes;
        bytes.reserve(decodedLength);
        const size_t dataChars = text.size() - padding;
        for (size_t i = 0; i < text.size(); i += 4) {
            unsigned group = 0;
            for (size_t j = 0; j < 4; ++j) {
                int value = 0;
                if (i + j < dataChars) {
                    value = Base64Value(text[i + j]);
                    if (value < 0)
                        return std::nullopt;
                }
                group = (group << 6) | static_cast<unsigned>(value);
            }
            bytes.push_back(static_cast<unsigned char>(group >> 16));
            bytes.push_back(static_cast<unsigned char>(group >> 8));
            bytes.push_back(static_cast<unsigned char>(group));
        }
        // Bits that the padding leaves unused must be zero: otherwise two
        // texts would decode to the same bytes.
        const unsigned unusedMask = padding == 2 ? 0xFFFF : padding == 1 ? 0xFF : 0;
        if (padding != 0) {
            const size_t last = bytes.size() - 3;
            const unsigned tail = (bytes[last + 1] << 8) | bytes[last + 2];
            if ((tail & unusedMask) != 0)
                return std::nullopt;
        }
        bytes.resize(decodedLength);
        return bytes;
    } catch (...) {
        return std::nullopt;
    }
}

bool ParseKeyFile(const std::string& text, std::vector<Bytes>& keys, std::string& error)
{
    keys.clear();
    error.clear();
    try {
        size_t lineNumber = 0;
        for (size_t start = 0; start < text.size();) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            ++lineNumber;
            size_t first = start;
            size_t last = end;
            while (first < last && IsBlank(text[first]))
                ++first;
            while (last > first && IsBlank(text[last - 1]))
                --last;
            start = end + 1;
            if (first == last || text[first] == '#')
                continue;
            std::optional<Bytes> key = Base64Decode(text.substr(first, last - first), kPublicKeySize);
            if (!key) {
                keys.clear();
                error = "line " + std::to_string(lineNumber) + " is not a base64 key of " +
                        std::to_string(kPublicKeySize) + " bytes";
                return false;
            }
            keys.push_back(std::move(*key));
        }
        if (keys.empty()) {
            error = "no key in the file";
            return false;
        }
        return true;
    } catch (...) {
        keys.clear();
        error = "out of memory";
        return false;
    }
}

bool ReadKeyFile(const wchar_t* path, std::vector<Bytes>& keys, std::string& error)
{
    keys.clear();
    error.clear();
    if (path == nullptr || path[0] == L'\0') {
        error = "no key file named";
        return false;
    }
    try {
        std::string text;
        bool exists = false;
        if (!Compat::ReadTextFile(ToMultiByte(path, CP_UTF8), kMaxKeyFileSize, text, exists)) {
            const int reason = errno;
            error = reason == EFBIG    ? "key file larger than " + std::to_string(kMaxKeyFileSize) + " bytes"
                    : reason == EINVAL ? std::string("key file is not a regular file")
                                       : "cannot read key file: " + std::generic_category().message(reason);
            return false;
        }
        if (!exists) {
            error = "no such key file";
            return false;
        }
        return ParseKeyFile(text, keys, error);
    } catch (...) {
        keys.clear();
        error = "out of memory";
        return false;
    }
}

}  // namespace Signature
}  // namespace Util

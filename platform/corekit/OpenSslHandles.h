#pragma once
// Owners for the OpenSSL objects corekit creates, so that every early return
// frees them, and the hex form its digests are reported in.

#include <openssl/evp.h>

#include <cstddef>
#include <memory>
#include <string>

namespace Corekit {

struct EvpFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
using MdContext = std::unique_ptr<EVP_MD_CTX, EvpFree>;
using PKey = std::unique_ptr<EVP_PKEY, EvpFree>;
using PKeyContext = std::unique_ptr<EVP_PKEY_CTX, EvpFree>;

// Lower-case hexadecimal, two digits a byte.
inline std::string ToHex(const unsigned char* bytes, size_t length)
{
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        hex += kHex[bytes[i] >> 4];
        hex += kHex[bytes[i] & 0x0F];
    }
    return hex;
}

// A digest context of the given kind, ready for updates; null on failure.
inline MdContext NewDigest(const EVP_MD* kind)
{
    MdContext context(EVP_MD_CTX_new());
    if (context && EVP_DigestInit_ex(context.get(), kind, nullptr) != 1)
        context.reset();
    return context;
}

// The digest in hex; empty text when OpenSSL fails.
inline std::string FinishHex(EVP_MD_CTX* context)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context, digest, &length) != 1)
        return std::string();
    return ToHex(digest, length);
}

}  // namespace Corekit

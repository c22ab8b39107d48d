#pragma once
// Util::Signature: Ed25519 signatures over byte buffers (OpenSSL), their
// base64 text form, and key files, for signed release manifests.
//
// A key file is text with one base64 key (32 bytes decoded) per line; blank
// lines and lines whose first non-blank character is '#' are ignored, and
// blanks around a key are allowed. Any other line refuses the whole file:
// a key that is silently skipped would leave a verifier with fewer keys than
// its maker meant it to have.
//
// Nothing here throws; failures are reported through the result.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "pelbo/corekit/CorekitExport.h"

namespace Util {
namespace Signature {

using Bytes = std::vector<unsigned char>;

constexpr size_t kPrivateKeySize = 32;  // the seed of RFC 8032
constexpr size_t kPublicKeySize = 32;
constexpr size_t kSignatureSize = 64;
// A key file larger than this is refused unread.
constexpr size_t kMaxKeyFileSize = 64 * 1024;

struct KeyPair {
    Bytes privateKey;
    Bytes publicKey;
};

// A fresh pair from the system's random source; empty when OpenSSL fails.
COREKIT_API std::optional<KeyPair> GenerateKeyPair();
// The public key that belongs to a private key; empty for a key of the
// wrong length.
COREKIT_API std::optional<Bytes> PublicKeyOf(const Bytes& privateKey);

// The 64-byte signature of length bytes at data; empty for a private key of
// the wrong length or null data with a non-zero length.
COREKIT_API std::optional<Bytes> Sign(const Bytes& privateKey, const void* data, size_t length);
// True only when signature is a valid signature of the bytes by publicKey;
// a key or signature of the wrong length is simply not valid.
COREKIT_API bool Verify(const Bytes& publicKey, const void* data, size_t length, const Bytes& signature);
// True when any one of the keys verifies the signature (several keys are
// trusted while signing moves from an old key to a new one).
COREKIT_API bool VerifyAny(const std::vector<Bytes>& publicKeys, const void* data, size_t length,
                           const Bytes& signature);

// Standard base64 (RFC 4648, with padding, no line breaks).
COREKIT_API std::string Base64Encode(const Bytes& bytes);
constexpr size_t kAnyLength = static_cast<size_t>(-1);
// Strict decoding: only the standard alphabet, a length that is a multiple
// of four, '=' padding only at the end and only as much as needed, unused
// bits zero, no white space. With expectedLength, any other decoded length
// is refused too.
COREKIT_API std::optional<Bytes> Base64Decode(const std::string& text, size_t expectedLength = kAnyLength);

// Parses key file text (see above). On failure keys is empty and error says
// which line is wrong; it never quotes the line, which may be a private key.
// A text without any key is refused as well.
COREKIT_API bool ParseKeyFile(const std::string& text, std::vector<Bytes>& keys, std::string& error);
// Reads and parses a key file (at most kMaxKeyFileSize bytes, a leading
// UTF-8 byte-order mark allowed).
COREKIT_API bool ReadKeyFile(const wchar_t* path, std::vector<Bytes>& keys, std::string& error);

}  // namespace Signature
}  // namespace Util

#pragma once
// Util::FileDigest: the size, SHA-256 and MD5 of a file in one pass, with a
// fixed buffer whatever the file's size. An optional maximum stops the read
// as soon as the file is known to be longer, so an oversized download is
// never read through.

#include <cstdint>
#include <string>

#include "pelbo/corekit/CorekitExport.h"

namespace Util {
namespace FileDigest {

constexpr uint64_t kNoLimit = UINT64_MAX;
constexpr size_t kBufferSize = 1024 * 1024;

enum class Status {
    Ok,
    NotFound,
    NotAFile,    // a folder, device or pipe in the file's place
    Unreadable,  // exists, but could not be opened
    ReadError,   // failed part-way
    TooLarge,    // longer than the maximum
    Failed,      // OpenSSL or memory
};

struct Digest {
    Status status = Status::Failed;
    // Bytes read: the file's size when Ok; more than the maximum when
    // TooLarge (the read stops there).
    uint64_t size = 0;
    std::string sha256;  // lower-case hex, 64 characters; empty unless Ok
    std::string md5;     // lower-case hex, 32 characters, as Util::MD5 gives it; empty unless Ok
};

// Never throws.
COREKIT_API Digest OfFile(const wchar_t* path, uint64_t maxBytes = kNoLimit);
// A short English reason ("file too large", ...), for logs and messages.
COREKIT_API const char* StatusText(Status status);

}  // namespace FileDigest
}  // namespace Util

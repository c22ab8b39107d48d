#include "pelbo/corekit/FileDigest.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>

#include "pelbo/corekit/FsPath.h"
#include "OpenSslHandles.h"

namespace Util {
namespace FileDigest {
namespace {

Digest Read(const wchar_t* path, uint64_t maxBytes)
{
    Digest result;
    const std::filesystem::path fsPath = Corekit::ToFsPath(path);
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(fsPath, ec);
    if (status.type() == std::filesystem::file_type::not_found) {
        result.status = Status::NotFound;
        return result;
    }
    if (ec) {
        result.status = Status::Unreadable;
        return result;
    }
    // Checked before opening: opening a pipe would wait for a writer.
    if (status.type() != std::filesystem::file_type::regular) {
        result.status = Status::NotAFile;
        return result;
    }
    std::ifstream file(fsPath, std::ios::binary);
    if (!file) {
        result.status = Status::Unreadable;
        return result;
    }
    const Corekit::MdContext sha256 = Corekit::NewDigest(EVP_sha256());
    const Corekit::MdContext md5 = Corekit::NewDigest(EVP_md5());
    std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    if (!sha256 || !md5)
        return result;
    while (file) {
        // Never more than one byte past the maximum: that byte is enough to
        // know the file is too large.
        size_t want = kBufferSize;
        if (maxBytes != kNoLimit && maxBytes - result.size + 1 < want)
            want = static_cast<size_t>(maxBytes - result.size + 1);
        file.read(buffer.get(), static_cast<std::streamsize>(want));
        const std::streamsize got = file.gcount();
        if (got <= 0)
            continue;
        result.size += static_cast<uint64_t>(got);
        if (maxBytes != kNoLimit && result.size > maxBytes) {
            result.status = Status::TooLarge;
            return result;
        }
        if (EVP_DigestUpdate(sha256.get(), buffer.get(), static_cast<size_t>(got)) != 1 ||
            EVP_DigestUpdate(md5.get(), buffer.get(), static_cast<size_t>(got)) != 1)
            return result;
    }
    // The end of the file sets failbit and eofbit; a read error sets badbit.
    if (file.bad()) {
        result.status = Status::ReadError;
        return result;
    }
    result.sha256 = Corekit::FinishHex(sha256.get());
    result.md5 = Corekit::FinishHex(md5.get());
    if (result.sha256.empty() || result.md5.empty()) {
        result.sha256.clear();
        result.md5.clear();
        return result;
    }
    result.status = Status::Ok;
    return result;
}

}  // namespace

Digest OfFile(const wchar_t* path, uint64_t maxBytes)
{
    if (path == nullptr || path[0] == L'\0') {
        Digest result;
        result.status = Status::NotFound;
        return result;
    }
    try {
        return Read(path, maxBytes);
    } catch (...) {
        return Digest();
    }
}

const char* StatusText(Status status)
{
    switch (status) {
    case Status::Ok:
        return "ok";
    case Status::NotFound:
        return "no such file";
    case Status::NotAFile:
        return "not a regular file";
    case Status::Unreadable:
        return "cannot open the file";
    case Status::ReadError:
        return "read error";
    case Status::TooLarge:
        return "file too large";
    case Status::Failed:
        break;
    }
    return "digest failed";
}

}  // namespace FileDigest
}  // namespace Util

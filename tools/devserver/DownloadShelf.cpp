#include "devserver/DownloadShelf.h"

#include <openssl/evp.h>

namespace DevServer {
namespace {

// Until someone puts a real one, the installer is a script that only notes
// that it ran, in installer-ran.txt beside itself (the updater's download
// folder), so the update flow can be tried end to end without installing,
// and checked from the client's side against this server as a program of
// its own as well as in-process.
const char kDefaultInstaller[] =
    "#!/bin/sh\n"
    "echo \"pelbo installer ran: $0\" >> \"$(dirname \"$0\")/installer-ran.txt\"\n";

}  // namespace

DownloadShelf::DownloadShelf()
{
    Put(kInstaller, kDefaultInstaller);
}

void DownloadShelf::Put(const std::string& name, std::string bytes)
{
    // The digest once per file, outside the lock: every answer carries it.
    File file;
    file.md5 = Md5Of(bytes);
    file.body = std::make_shared<const std::string>(std::move(bytes));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_files[name] = std::move(file);
}

DownloadShelf::File DownloadShelf::Find(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_files.find(name);
    return it == m_files.end() ? File() : it->second;
}

std::shared_ptr<const std::string> DownloadShelf::Get(const std::string& name) const
{
    return Find(name).body;
}

std::string DownloadShelf::Md5(const std::string& name) const
{
    return Find(name).md5;
}

namespace {

std::string HexDigest(const EVP_MD* kind, const std::string& bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, kind, nullptr) != 1)
        return std::string();
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(kHex[digest[i] >> 4]);
        text.push_back(kHex[digest[i] & 0x0f]);
    }
    return text;
}

}  // namespace

std::string DownloadShelf::Sha256(const std::string& name) const
{
    const std::shared_ptr<const std::string> body = Get(name);
    return body ? Sha256Of(*body) : std::string();
}

std::string DownloadShelf::Md5Of(const std::string& bytes)
{
    return HexDigest(EVP_md5(), bytes);
}

std::string DownloadShelf::Sha256Of(const std::string& bytes)
{
    return HexDigest(EVP_sha256(), bytes);
}

std::string DownloadShelf::Pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 251) % 251);
    return bytes;
}

}  // namespace DevServer

#pragma once
// Files the local server hands out under "/download/": the installer of the
// update flow and any other file a test or a developer puts there. Bodies
// are shared, not copied, between the shelf and the routes that read them.

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace DevServer {

class DownloadShelf {
public:
    // Name under which the installer is served ("/download/installer").
    static constexpr const char* kInstaller = "installer";
    // Largest body a generated file may have ("/download/file?size=N").
    static constexpr std::size_t kMaxGeneratedBytes = 256u << 20;

    // A file with its digest, taken together so that the two always match.
    struct File {
        std::shared_ptr<const std::string> body;  // null when there is none
        std::string md5;
    };

    DownloadShelf();

    void Put(const std::string& name, std::string bytes);
    // Null when there is no file of that name.
    std::shared_ptr<const std::string> Get(const std::string& name) const;
    File Find(const std::string& name) const;
    // Lower-case hexadecimal MD5 and SHA-256 of the file; empty when there
    // is none.
    std::string Md5(const std::string& name) const;
    std::string Sha256(const std::string& name) const;
    static std::string Md5Of(const std::string& bytes);
    static std::string Sha256Of(const std::string& bytes);

    // size bytes of a fixed pattern that repeats only every 251 bytes, so a
    // shifted or truncated copy does not compare equal.
    static std::string Pattern(std::size_t size);

private:
    mutable std::mutex m_mutex;
    std::map<std::string, File> m_files;
};

}  // namespace DevServer

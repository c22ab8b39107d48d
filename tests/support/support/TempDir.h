#pragma once
// A fresh folder under the system's temporary folder, removed with all its
// contents when the object goes.

#include <filesystem>
#include <string>

namespace TestSupport {

// Makes a new folder named prefix plus a random number under the system's
// temporary folder; empty when none could be made.
std::filesystem::path MakeTempFolder(const std::string& prefix);
// The path as the product's wide strings hold it: the native wide path on
// Windows, the UTF-8 bytes widened elsewhere.
std::wstring WidePath(const std::filesystem::path& path);

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Empty when the folder could not be made.
    const std::filesystem::path& Path() const { return m_path; }
    // The path of a file named name inside the folder.
    std::string File(const std::string& name) const;

private:
    std::filesystem::path m_path;
};

}  // namespace TestSupport

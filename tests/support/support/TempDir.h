#pragma once
// A fresh folder under the system's temporary folder, removed with all its
// contents when the object goes.

#include <filesystem>
#include <string>

namespace TestSupport {

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

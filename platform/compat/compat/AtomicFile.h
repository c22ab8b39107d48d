#pragma once
// CAtomicFile: writes a file so that readers see either the old file or the
// complete new one. The bytes go to a temporary file beside the target,
// which Commit renames over the target; a writer that fails or is abandoned
// leaves no partial file behind.

#include <cstdio>
#include <string>

namespace Compat {

class CAtomicFile {
public:
    explicit CAtomicFile(std::string target);
    ~CAtomicFile();
    CAtomicFile(const CAtomicFile&) = delete;
    CAtomicFile& operator=(const CAtomicFile&) = delete;

    // The open temporary file; null when it could not be created (missing
    // or read-only folder). The file stays owned by this object.
    FILE* Open() noexcept;
    // Flushes, closes and renames the temporary file over the target; false
    // (and the temporary file removed) when any step fails.
    bool Commit() noexcept;

private:
    void Discard() noexcept;

    std::string m_target;
    std::string m_temp;
    FILE* m_file = nullptr;
};

}  // namespace Compat

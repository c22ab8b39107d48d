#include "support/TempDir.h"

#include <random>

namespace TestSupport {

TempDir::TempDir()
{
    std::error_code ec;
    const auto base = std::filesystem::temp_directory_path(ec);
    if (ec)
        return;
    std::random_device device;
    std::uniform_int_distribution<unsigned long long> pick;
    // create_directory reports whether it made the folder, so a name that
    // another process took is simply skipped.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto candidate = base / ("pelbo-test-" + std::to_string(pick(device)));
        if (std::filesystem::create_directory(candidate, ec) && !ec) {
            m_path = candidate;
            return;
        }
    }
}

TempDir::~TempDir()
{
    if (!m_path.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
}

std::string TempDir::File(const std::string& name) const
{
    return (m_path / name).string();
}

}  // namespace TestSupport

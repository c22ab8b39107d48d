#include "support/TempDir.h"

#include <random>

#include "pelbo/compat/TextConvert.h"

namespace TestSupport {

std::filesystem::path MakeTempFolder(const std::string& prefix)
{
    std::error_code ec;
    const auto base = std::filesystem::temp_directory_path(ec);
    if (ec)
        return {};
    std::random_device device;
    std::uniform_int_distribution<unsigned long long> pick;
    // create_directory reports whether it made the folder, so a name that
    // another process took is simply skipped.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto candidate = base / (prefix + std::to_string(pick(device)));
        if (std::filesystem::create_directory(candidate, ec) && !ec)
            return candidate;
    }
    return {};
}

std::wstring WidePath(const std::filesystem::path& path)
{
#if defined(_WIN32)
    return path.wstring();
#else
    return ToWide(path.string().c_str(), CP_UTF8);
#endif
}

TempDir::TempDir() : m_path(MakeTempFolder("pelbo-test-")) {}

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

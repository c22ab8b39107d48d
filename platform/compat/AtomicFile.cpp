#include "pelbo/compat/AtomicFile.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <system_error>

#include "pelbo/compat/FileOpen.h"

namespace Compat {
namespace {

// Names differ between writers of one process by the counter and between
// processes (most likely) by the clock; "x" makes a clash fail instead of
// sharing a file, and Open then tries the next name.
std::string TempNameFor(const std::string& target)
{
    static std::atomic<unsigned> counter{0};
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    return target + ".part-" + std::to_string(counter.fetch_add(1)) + "-" +
           std::to_string(static_cast<unsigned long long>(now) % 1000000007ULL);
}

}  // namespace

CAtomicFile::CAtomicFile(std::string target) : m_target(std::move(target)) {}

CAtomicFile::~CAtomicFile()
{
    Discard();
}

FILE* CAtomicFile::Open() noexcept
{
    if (m_file != nullptr)
        return m_file;
    if (m_target.empty())
        return nullptr;
    try {
        for (int attempt = 0; attempt < 8 && m_file == nullptr; ++attempt) {
            m_temp = TempNameFor(m_target);
            m_file = Compat::CreateNewFile(m_temp);
        }
    } catch (...) {
        m_file = nullptr;
    }
    if (m_file == nullptr)
        m_temp.clear();
    return m_file;
}

bool CAtomicFile::Commit() noexcept
{
    if (m_file == nullptr)
        return false;
    const bool flushed = std::fflush(m_file) == 0 && std::ferror(m_file) == 0;
    const bool closed = std::fclose(m_file) == 0;
    m_file = nullptr;
    if (!flushed || !closed) {
        Discard();
        return false;
    }
    std::error_code error;
    std::filesystem::rename(std::filesystem::u8path(m_temp), std::filesystem::u8path(m_target), error);
    if (error) {
        Discard();
        return false;
    }
    m_temp.clear();
    return true;
}

void CAtomicFile::Discard() noexcept
{
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    if (!m_temp.empty()) {
        std::error_code ignored;
        std::filesystem::remove(std::filesystem::u8path(m_temp), ignored);
        m_temp.clear();
    }
}

}  // namespace Compat

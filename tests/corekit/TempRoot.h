#pragma once
// A fresh folder under the system's temporary folder for one test, removed
// again at the end; the product's root folder points into it meanwhile and
// back to the one before (the test program's own) afterwards.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "compat/TextConvert.h"
#include "corekit/Path.h"

class TempRoot {
public:
    TempRoot() : m_previous(Util::Path::GetRootFolder().str())
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "corekit-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            ADD_FAILURE() << "mkdtemp failed";
        m_path = pattern;
        Util::Path::SetRootFolder(Wide().c_str());
    }
    ~TempRoot()
    {
        Util::Path::SetRootFolder(m_previous.c_str());
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::wstring Wide() const { return ToWide(m_path.string().c_str(), CP_UTF8); }

private:
    std::wstring m_previous;
    std::filesystem::path m_path;
};

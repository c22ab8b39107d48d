#pragma once
// A fresh folder under the system's temporary folder for one test, removed
// again at the end; the product's root folder points into it meanwhile.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "compat/TextConvert.h"
#include "corekit/Path.h"

class TempRoot {
public:
    TempRoot()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "corekit-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            ADD_FAILURE() << "mkdtemp failed";
        m_path = pattern;
        Util::Path::SetRootFolder(Wide().c_str());
    }
    ~TempRoot()
    {
        Util::Path::SetRootFolder(nullptr);
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::wstring Wide() const { return ToWide(m_path.string().c_str(), CP_UTF8); }

private:
    std::filesystem::path m_path;
};

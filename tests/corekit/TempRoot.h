#pragma once
// A fresh folder under the system's temporary folder for one test, removed
// again at the end; the product's root folder points into it meanwhile and
// back to the one before (the test program's own) afterwards.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/Path.h"
#include "support/TempDir.h"

class TempRoot {
public:
    TempRoot() : m_previous(Util::Path::GetRootFolder().str()), m_path(TestSupport::MakeTempFolder("corekit-"))
    {
        if (m_path.empty())
            ADD_FAILURE() << "no temporary folder";
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
    std::wstring Wide() const { return TestSupport::WidePath(m_path); }

private:
    std::wstring m_previous;
    std::filesystem::path m_path;
};

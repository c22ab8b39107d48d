#pragma once
// Reads what the process logged since the capture began. The log goes to a
// temporary root folder of the test program, so lines of other runs never
// mix in.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <random>
#include <string>

#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/Log.h"
#include "pelbo/corekit/Path.h"

class LogCapture {
public:
    // Points the product's folders at a fresh temporary root (once per
    // process); the root is removed when the program ends.
    static void UseTemporaryRoot()
    {
        struct TemporaryRoot {
            TemporaryRoot()
                : path(std::filesystem::temp_directory_path() /
                       ("pelbo-svc-test-" + std::to_string(std::random_device()())))
            {
                std::filesystem::create_directories(path);
                Util::Path::SetRootFolder(path.wstring().c_str());
                Util::Log::Close();
            }
            ~TemporaryRoot()
            {
                Util::Log::Close();
                std::error_code ignored;
                std::filesystem::remove_all(path, ignored);
            }
            std::filesystem::path path;
        };
        static TemporaryRoot root;
    }

    LogCapture()
    {
        UseTemporaryRoot();
        Util::Log::Close();
        m_start = FileText().size();
    }

    // UTF-8 text of the lines written since construction.
    std::string Text() const
    {
        Util::Log::Close();
        const std::string all = FileText();
        return all.size() >= m_start ? all.substr(m_start) : all;
    }

    // How many times needle occurs in the captured text.
    size_t Count(const std::string& needle) const
    {
        const std::string text = Text();
        size_t n = 0;
        for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + needle.size()))
            ++n;
        return n;
    }

private:
    static std::string FileText()
    {
        std::ifstream in(std::filesystem::path(Util::Log::GetLogFilePath()), std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

    size_t m_start = 0;
};

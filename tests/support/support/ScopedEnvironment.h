#pragma once
// Sets environment variables for the life of the object and removes them
// again: for tests that prove the library reads none of them.

#include <cstdlib>
#include <string>
#include <vector>

namespace TestSupport {

class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    ~ScopedEnvironment()
    {
        for (const std::string& name : m_names)
            Put(name, nullptr);
    }

    void Set(const std::string& name, const std::string& value)
    {
        Put(name, value.c_str());
        m_names.push_back(name);
    }

private:
    static void Put(const std::string& name, const char* value)
    {
#if defined(_WIN32)
        _putenv_s(name.c_str(), value != nullptr ? value : "");
#else
        if (value != nullptr)
            setenv(name.c_str(), value, 1);
        else
            unsetenv(name.c_str());
#endif
    }

    std::vector<std::string> m_names;
};

// Every variable through which libcurl would pick a proxy, pointed at a port
// on which nothing listens: an exchange that went through one would fail.
inline void PointProxyVariablesNowhere(ScopedEnvironment& environment)
{
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        environment.Set(name, "http://127.0.0.1:9");
}

}  // namespace TestSupport

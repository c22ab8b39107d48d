#pragma once
// What the fuzz targets share: a private data folder for the product, the
// byte-to-text rules of the inputs, and an HTTPS service that hands a
// target's bytes to a manager as the answer to the request it really sent.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>

#include "Utf8Text.h"
#include "pelbo/corekit/Log.h"
#include "pelbo/corekit/Path.h"
#include "pelbo/netcall/HttpsRequest.h"

namespace Fuzz {

// Points the product's folders (its log, its configuration files) at a
// fresh folder, under TMPDIR when it is set and otherwise on the memory file
// system where there is one: the targets write files for every input, and a
// run of millions of inputs must not wear a disk. Removed when the program
// ends normally; a crash leaves it for the one who looks into the crash.
inline const std::filesystem::path& PrivateRoot()
{
    struct Root {
        Root()
        {
            std::error_code ec;
            std::filesystem::path base = "/dev/shm";
            if (std::getenv("TMPDIR") != nullptr || !std::filesystem::is_directory(base, ec) ||
                ::access(base.c_str(), W_OK) != 0)
                base = std::filesystem::temp_directory_path();
            std::string pattern = (base / "pelbo-fuzz-XXXXXX").string();
            if (::mkdtemp(pattern.data()) == nullptr)
                std::abort();
            path = pattern;
            Util::Path::SetRootFolder(Netcall::Utf8ToWide(path.string()).c_str());
            Util::Log::Close();
        }
        ~Root()
        {
            Util::Log::Close();
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
        std::filesystem::path path;
    };
    static Root root;
    return root.path;
}

// Bytes as the network's text: UTF-8 made wide the way the HTTPS service
// makes a response body wide (malformed sequences become U+FFFD, zeros stay).
inline std::wstring Text(const uint8_t* data, size_t size)
{
    return Netcall::Utf8ToWide(std::string(reinterpret_cast<const char*>(data), size));
}

inline std::wstring Text(const std::string& bytes) { return Netcall::Utf8ToWide(bytes); }

// The stand-in for the HTTPS service: it takes each request as the real one
// would, remembers only the latest two (a run sends millions; a version
// check sends two at once), and delivers a response to either as the real
// one does on its delivery thread.
class HttpsService : public Util::HttpsRequest::IHttpsService {
public:
    HttpsService() { Util::HttpsRequest::SetService(this); }
    ~HttpsService() override { Util::HttpsRequest::SetService(nullptr); }
    HttpsService(const HttpsService&) = delete;
    HttpsService& operator=(const HttpsService&) = delete;

    int Request(unsigned& id, IHttpsRequestSink* sink, const ST_HttpsReqInfo& info) override
    {
        id = ++m_lastId == 0 ? ++m_lastId : m_lastId;
        m_earlier = m_latest;
        m_latest = Pending{id, sink, info};
        ++m_sent;
        return 1;
    }
    void RemoveSink(const unsigned& id) override
    {
        for (Pending* pending : {&m_latest, &m_earlier}) {
            if (id == pending->id)
                pending->sink = nullptr;
        }
    }
    void DetachSink(IHttpsRequestSink* sink) override
    {
        for (Pending* pending : {&m_latest, &m_earlier}) {
            if (sink == pending->sink)
                pending->sink = nullptr;
        }
    }

    // Delivers response to the latest request (or the one before it); false
    // when there is none or its sink has gone.
    bool Deliver(const std::wstring& response, int completed) { return DeliverTo(m_latest, response, completed); }
    bool DeliverEarlier(const std::wstring& response, int completed)
    {
        return DeliverTo(m_earlier, response, completed);
    }

    unsigned SentCount() const { return m_sent; }

private:
    struct Pending {
        unsigned id = 0;
        IHttpsRequestSink* sink = nullptr;
        ST_HttpsReqInfo info;
    };

    static bool DeliverTo(Pending& pending, const std::wstring& response, int completed)
    {
        if (pending.sink == nullptr)
            return false;
        IHttpsRequestSink* sink = pending.sink;
        unsigned id = pending.id;
        pending.sink = nullptr;
        sink->OnHttpsReqResult(id, pending.info.strContent, response, completed);
        return true;
    }

    unsigned m_lastId = 0;
    unsigned m_sent = 0;
    Pending m_latest;
    Pending m_earlier;
};

// Stops the program with a message when a property does not hold, so
// libFuzzer records the input as a crash.
[[noreturn]] inline void Fail(const char* what)
{
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}

inline void Check(bool holds, const char* what)
{
    if (!holds)
        Fail(what);
}

}  // namespace Fuzz

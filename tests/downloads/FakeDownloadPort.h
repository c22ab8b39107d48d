#pragma once
// A stand-in for fetcher behind the download managers: records every
// download handed to it, refuses as fetcher would (an empty destination or
// an address that is not http(s) is refused for good) or with a code the
// test chooses, and lets the test end a download with any result code. A
// successful end first writes the file
// at the path the download named, as fetcher does before it reports.

#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "pelbo/corekit/FsPath.h"
#include "pelbo/transfers/DownloadPort.h"

class FakeDownloadPort : public Transfers::IDownloadPort {
public:
    struct Started {
        unsigned long long id = 0;
        std::wstring url;
        std::wstring path;
        Util::HttpDownload::CHttpDownloadEvent* sink = nullptr;
    };

    FakeDownloadPort() { Transfers::SetDownloadPort(this); }
    ~FakeDownloadPort() override { Transfers::SetDownloadPort(nullptr); }

    unsigned Download(const wchar_t* url, const wchar_t* path, Util::HttpDownload::CHttpDownloadEvent* sink,
                      unsigned long long* id) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const std::wstring address = url != nullptr ? url : L"";
        const bool web = address.rfind(L"http://", 0) == 0 || address.rfind(L"https://", 0) == 0;
        if (path == nullptr || path[0] == L'\0' || !web)
            return Util::HttpDownload::kRefusedArgument;
        if (refuseWith != Util::HttpDownload::kAccepted)
            return refuseWith;
        Started started;
        started.id = ++m_lastId;
        started.url = url;
        started.path = path;
        started.sink = sink;
        m_started.push_back(started);
        *id = started.id;
        return Util::HttpDownload::kAccepted;
    }

    void Stop(unsigned long long id) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stopped.push_back(id);
    }

    // Ends the index-th download handed over, writing body first on success.
    void Finish(size_t index, unsigned code, const std::string& body = "picture bytes")
    {
        Started started;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            started = m_started.at(index);
        }
        if (code == Util::HttpDownload::kDownOk) {
            std::ofstream out(Corekit::ToFsPath(started.path), std::ios::binary);
            out << body;
        }
        started.sink->OnHttpDownResult(started.id, code);
    }

    std::vector<Started> StartedDownloads()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_started;
    }
    size_t StartedCount()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_started.size();
    }
    std::vector<unsigned long long> Stopped()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_stopped;
    }

    // Refusal code for the next downloads; kAccepted accepts them.
    unsigned refuseWith = Util::HttpDownload::kAccepted;

private:
    std::mutex m_lock;
    std::vector<Started> m_started;
    std::vector<unsigned long long> m_stopped;
    unsigned long long m_lastId = 0;
};

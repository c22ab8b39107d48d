#pragma once
// Sinks of both upload families that record what they hear, in one order
// shared by every recorder, and let a test wait for results.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "pelbo/transfers/OssUploadApi.h"
#include "pelbo/transfers/OssUploadLogApi.h"

struct SinkLog {
    std::mutex lock;
    std::condition_variable changed;
    // "<sink name>:<event>" in the order the calls came.
    std::vector<std::string> order;
};

template <typename Interface>
class SinkRecorder : public Interface {
public:
    struct Result {
        int code = -1;
        unsigned long long fileId = 0;
        std::wstring path;
        std::wstring url;
    };

    SinkRecorder(SinkLog& log, std::string name) : m_log(log), m_name(std::move(name)) {}
    // A caller that has seen a result may destroy the sink while the
    // manager's call to it is still returning: wait for that call.
    virtual ~SinkRecorder()
    {
        std::unique_lock<std::mutex> lock(m_log.lock);
        m_log.changed.wait(lock, [this] { return m_calls == 0; });
    }

    void OnUploadProgress(unsigned long long fileId, CStringW path, unsigned long long sent, unsigned long long total,
                          unsigned long long) override
    {
        {
            std::lock_guard<std::mutex> lock(m_log.lock);
            ++m_progress;
            m_lastSent = sent;
            m_lastTotal = total;
            m_progressFileId = fileId;
            m_log.order.push_back(m_name + ":progress");
            ++m_calls;
        }
        m_log.changed.notify_all();
        if (onProgress)
            onProgress();
        std::lock_guard<std::mutex> lock(m_log.lock);
        --m_calls;
        // Under the lock: the sink may go as soon as it is released.
        m_log.changed.notify_all();
    }

    void OnUploadResult(int code, unsigned long long fileId, CStringW path, CStringW url) override
    {
        {
            std::lock_guard<std::mutex> lock(m_log.lock);
            m_results.push_back(Result{code, fileId, path.str(), url.str()});
            m_log.order.push_back(m_name + ":result");
            ++m_calls;
        }
        m_log.changed.notify_all();
        if (onResult)
            onResult(code);
        std::lock_guard<std::mutex> lock(m_log.lock);
        --m_calls;
        m_log.changed.notify_all();
    }

    bool WaitResults(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(60))
    {
        std::unique_lock<std::mutex> lock(m_log.lock);
        return m_log.changed.wait_for(lock, limit, [&] { return m_results.size() >= count; });
    }

    std::vector<Result> Results()
    {
        std::lock_guard<std::mutex> lock(m_log.lock);
        return m_results;
    }
    bool WaitProgress(int count, std::chrono::milliseconds limit = std::chrono::seconds(60))
    {
        std::unique_lock<std::mutex> lock(m_log.lock);
        return m_log.changed.wait_for(lock, limit, [&] { return m_progress >= count; });
    }
    // Until no call of this sink runs.
    void WaitIdle()
    {
        std::unique_lock<std::mutex> lock(m_log.lock);
        m_log.changed.wait(lock, [this] { return m_calls == 0; });
    }
    int ProgressCount()
    {
        std::lock_guard<std::mutex> lock(m_log.lock);
        return m_progress;
    }
    unsigned long long LastSent()
    {
        std::lock_guard<std::mutex> lock(m_log.lock);
        return m_lastSent;
    }
    unsigned long long LastTotal()
    {
        std::lock_guard<std::mutex> lock(m_log.lock);
        return m_lastTotal;
    }

    std::function<void(int)> onResult;
    std::function<void()> onProgress;

private:
    SinkLog& m_log;
    std::string m_name;
    std::vector<Result> m_results;
    int m_progress = 0;
    int m_calls = 0;
    unsigned long long m_lastSent = 0;
    unsigned long long m_lastTotal = 0;
    unsigned long long m_progressFileId = 0;
};

using FileSink = SinkRecorder<OssUploadApi::IUploadFileSink>;
using LogSink = SinkRecorder<OssUploadLogApi::IUploadLogSink>;

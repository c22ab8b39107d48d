#pragma once
// An upload event object that records what it is told and lets a test wait
// for the end of the upload.

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "pelbo/bucketput/OssUpload.h"

class UploadRecorder : public Util::OssUpload::CUploadEvent {
public:
    struct Progress {
        unsigned long long sent;
        unsigned long long total;
        unsigned long long speed;
    };

    ~UploadRecorder() override { DetachUploadEvent(); }

    void OnFileEvent(int& kind, int&, int& code, const Util::OssUpload::CFileObjExt& file) override
    {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_path = file.strLocalPath;
            m_uploadId = file.ullUploadID;
            if (kind == Util::OssUpload::kEventProgress)
                m_progress.push_back(Progress{file.ullProgress1, file.ullProgress2, file.ullProgress3});
            else if (kind == Util::OssUpload::kEventEnd)
                m_ends.push_back(code);
        }
        m_changed.notify_all();
        if (onEvent)
            onEvent(kind);
    }

    // The end code, or -1 when no end came in time.
    int WaitEnd(std::chrono::milliseconds limit = std::chrono::seconds(60))
    {
        std::unique_lock<std::mutex> lock(m_lock);
        if (!m_changed.wait_for(lock, limit, [this] { return !m_ends.empty(); }))
            return -1;
        return m_ends.front();
    }

    bool WaitProgress(std::chrono::milliseconds limit = std::chrono::seconds(30))
    {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, limit, [this] { return !m_progress.empty(); });
    }

    std::vector<Progress> ProgressEvents()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_progress;
    }
    std::vector<int> Ends()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_ends;
    }
    std::wstring Path()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_path;
    }
    unsigned long long UploadId()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_uploadId;
    }

    std::function<void(int)> onEvent;

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Progress> m_progress;
    std::vector<int> m_ends;
    std::wstring m_path;
    unsigned long long m_uploadId = 0;
};

// Bytes that differ from position to position, so a shifted or truncated
// copy never compares equal.
inline std::string PatternBytes(size_t size, unsigned seed = 7)
{
    std::string bytes(size, '\0');
    unsigned value = seed;
    for (size_t i = 0; i < size; ++i) {
        value = value * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(value >> 16);
    }
    return bytes;
}

inline bool WriteBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

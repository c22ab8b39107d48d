#include "RecordingSink.h"

RecordingSink::~RecordingSink()
{
    // The members below must outlive any delivery still running.
    DetachHttpsSink();
}

void RecordingSink::OnHttpsReqResult(unsigned& id, const std::wstring& request, const std::wstring& response,
                                     int& completed)
{
    DeliveredResult result{id, request, response, completed};
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_results.push_back(result);
    }
    m_arrived.notify_all();
    if (m_hook) {
        m_hook(result);
    }
}

bool RecordingSink::WaitForCount(size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_arrived.wait_for(lock, timeout, [&] { return m_results.size() >= count; });
}

std::vector<DeliveredResult> RecordingSink::Results() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_results;
}

size_t RecordingSink::Count() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_results.size();
}

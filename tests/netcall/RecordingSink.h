#pragma once
// A result sink for tests: keeps every delivery and lets the test wait for
// a number of them.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "pelbo/netcall/HttpsRequest.h"

struct DeliveredResult {
    unsigned id = 0;
    std::wstring request;
    std::wstring response;
    int completed = -1;
};

class RecordingSink : public IHttpsRequestSink {
public:
    // Runs inside the callback, on the delivering thread, after the result
    // was recorded.
    using Hook = std::function<void(const DeliveredResult&)>;

    RecordingSink() = default;
    explicit RecordingSink(Hook hook) : m_hook(std::move(hook)) {}
    ~RecordingSink() override;

    void OnHttpsReqResult(unsigned& id, const std::wstring& request, const std::wstring& response,
                          int& completed) override;

    // True when at least count results arrived within the time-out.
    bool WaitForCount(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(30));
    std::vector<DeliveredResult> Results() const;
    size_t Count() const;

private:
    Hook m_hook;
    mutable std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::vector<DeliveredResult> m_results;
};

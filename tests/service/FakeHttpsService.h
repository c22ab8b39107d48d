#pragma once
// A stand-in for the HTTPS service: records every descriptor it is handed
// and lets the test deliver crafted results to the sink, as the real
// service would on its delivery thread.

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "pelbo/netcall/HttpsRequest.h"

class FakeHttpsService : public Util::HttpsRequest::IHttpsService {
public:
    struct Sent {
        unsigned id = 0;
        IHttpsRequestSink* sink = nullptr;
        ST_HttpsReqInfo info;
    };

    FakeHttpsService() { Util::HttpsRequest::SetService(this); }
    ~FakeHttpsService() override { Util::HttpsRequest::SetService(nullptr); }

    int Request(unsigned& id, IHttpsRequestSink* sink, const ST_HttpsReqInfo& info) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!accept)
            return 0;
        Sent sent;
        sent.id = ++m_lastId;
        sent.sink = sink;
        sent.info = info;
        m_sent.push_back(sent);
        id = sent.id;
        return 1;
    }

    void RemoveSink(const unsigned& id) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_removed.insert(id);
    }

    void DetachSink(IHttpsRequestSink* sink) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (Sent& s : m_sent) {
            if (s.sink == sink)
                s.sink = nullptr;
        }
    }

    std::vector<Sent> SentRequests()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_sent;
    }

    // Delivers a result for the index-th request (false when its sink is
    // gone, as the real service would then deliver nothing).
    bool Deliver(size_t index, const std::wstring& response, int completed) { return DeliverAs(index, 0, response, completed); }

    // The same with another identifier than the request's (0: the request's).
    bool DeliverAs(size_t index, unsigned id, const std::wstring& response, int completed)
    {
        Sent sent;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (index >= m_sent.size() || m_sent[index].sink == nullptr)
                return false;
            sent = m_sent[index];
        }
        unsigned deliveredId = id != 0 ? id : sent.id;
        sent.sink->OnHttpsReqResult(deliveredId, sent.info.strContent, response, completed);
        return true;
    }

    bool accept = true;

private:
    std::mutex m_lock;
    unsigned m_lastId = 100;
    std::vector<Sent> m_sent;
    std::set<unsigned> m_removed;
};

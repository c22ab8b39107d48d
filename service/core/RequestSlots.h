#pragma once
// CRequestSlots: the request-id slots of a REST manager, one per operation,
// each holding the identifier of the operation's latest request (0: none).
//
// The identifier is written by the HTTPS service through a reference while
// Send holds the slots' lock, and results look their identifier up under the
// same lock. A result that arrives on the delivery thread before Request has
// returned therefore waits and then finds its slot, and the slots are never
// read and written at the same time by two threads. The lock is re-entrant
// for a service that delivers from inside Request.

#include <cstddef>
#include <mutex>

#include "pelbo/netcall/HttpsRequest.h"

template <size_t N>
class CRequestSlots {
public:
    static constexpr size_t kCount = N;

    // Sends the request with slot `index` as the identifier's destination and
    // returns the HTTPS service's answer (non-zero when accepted).
    int Send(size_t index, IHttpsRequestSink* sink, const ST_HttpsReqInfo& info)
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        return Util::HttpsRequest::Request(m_ids[index], sink, info);
    }

    // Index of the first slot (in operation order) holding id, or -1. The
    // identifier 0 names no request and matches nothing.
    int Match(unsigned id) const
    {
        if (id == 0)
            return -1;
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        for (size_t i = 0; i < N; ++i) {
            if (m_ids[i] == id)
                return static_cast<int>(i);
        }
        return -1;
    }

    // Non-zero while the slot holds a request (pending guards test this).
    unsigned Get(size_t index) const
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        return m_ids[index];
    }

    void Clear(size_t index)
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        m_ids[index] = 0;
    }

private:
    mutable std::recursive_mutex m_lock;
    unsigned m_ids[N] = {};
};

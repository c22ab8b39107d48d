#pragma once
// HostLookup: the addresses of a host for one connection attempt, delivered
// on the connection's strand. An address literal needs no lookup at all. A
// name is looked up on a thread of its own that ends with the lookup: Asio's
// resolver would keep a thread for as long as the transport's io_context
// lives, a second thread for the session beside its I/O thread. The system's
// lookup cannot be interrupted, with Asio's resolver or without: a lookup
// given up on only has its answer dropped, and the transport's end waits for
// the threads still looking up (LookupThreads), as it waited for Asio's.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include "WsConnection.h"

namespace Wirelink {

// The lookup threads of one transport, joined before the io_context they
// answer to goes away. A thread that has ended its work is joined when the
// next one starts, so they do not pile up over a long session.
class LookupThreads {
public:
    // Runs work on a thread of its own; false when no thread could be made.
    bool Run(std::function<void()> work);
    void JoinAll();

private:
    struct Entry {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::mutex m_mutex;
    std::vector<Entry> m_threads;
};

class HostLookup {
public:
    using Results = boost::asio::ip::tcp::resolver::results_type;
    using Done = std::function<void(boost::system::error_code, Results)>;

    HostLookup(const Strand& strand, std::shared_ptr<LookupThreads> threads);
    ~HostLookup();
    HostLookup(const HostLookup&) = delete;
    HostLookup& operator=(const HostLookup&) = delete;

    // On the strand. done runs there once, after Start has returned, unless
    // Cancel comes first. One lookup at a time.
    void Start(const std::string& host, const std::string& port, Done done);
    // On the strand: the running lookup's done will not run.
    void Cancel();

private:
    Strand m_strand;
    std::shared_ptr<LookupThreads> m_threads;
    // The running lookup's; set when it is given up on. Strand only.
    std::shared_ptr<bool> m_abandoned;
};

}  // namespace Wirelink

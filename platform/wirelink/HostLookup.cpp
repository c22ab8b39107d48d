#include "HostLookup.h"

#include <exception>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

namespace Wirelink {

namespace net = boost::asio;
using tcp = net::ip::tcp;

bool LookupThreads::Run(std::function<void()> work)
{
    std::vector<std::thread> ended;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_threads.begin(); it != m_threads.end();) {
            if (it->done->load()) {
                ended.push_back(std::move(it->thread));
                it = m_threads.erase(it);
            } else {
                ++it;
            }
        }
        auto done = std::make_shared<std::atomic<bool>>(false);
        try {
            m_threads.push_back({std::thread([work = std::move(work), done] {
                                     work();
                                     done->store(true);
                                 }),
                                 done});
        } catch (const std::system_error&) {
            return false;
        }
    }
    // Past their work: these joins end at once.
    for (std::thread& thread : ended)
        thread.join();
    return true;
}

void LookupThreads::JoinAll()
{
    std::vector<Entry> threads;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        threads.swap(m_threads);
    }
    for (Entry& entry : threads)
        entry.thread.join();
}

namespace {

void Post(const Strand& strand, HostLookup::Done deliver, boost::system::error_code ec, HostLookup::Results results)
{
    net::post(strand, [deliver = std::move(deliver), ec, results = std::move(results)]() mutable {
        deliver(ec, std::move(results));
    });
}

}  // namespace

HostLookup::HostLookup(const Strand& strand, std::shared_ptr<LookupThreads> threads)
    : m_strand(strand), m_threads(std::move(threads))
{
}

HostLookup::~HostLookup()
{
    Cancel();
}

void HostLookup::Start(const std::string& host, const std::string& port, Done done)
{
    Cancel();
    auto abandoned = std::make_shared<bool>(false);
    m_abandoned = abandoned;
    Done deliver = [abandoned, done = std::move(done)](boost::system::error_code ec, Results results) {
        if (!*abandoned)
            done(ec, std::move(results));
    };

    boost::system::error_code ec;
    net::ip::make_address(host, ec);
    if (!ec) {
        // An address and a port number: the system answers without asking
        // anyone, so no thread is needed.
        net::io_context context;
        tcp::resolver resolver(context);
        Results results =
            resolver.resolve(host, port, tcp::resolver::numeric_host | tcp::resolver::numeric_service, ec);
        Post(m_strand, std::move(deliver), ec, std::move(results));
        return;
    }

    struct Lookup {
        Strand strand;
        std::string host;
        std::string port;
        Done deliver;

        void Run()
        {
            // A synchronous lookup starts no thread of Asio's; the
            // io_context only carries the resolver object.
            boost::system::error_code error;
            Results results;
            try {
                net::io_context context;
                tcp::resolver resolver(context);
                results = resolver.resolve(host, port, error);
            } catch (const std::exception&) {
                error = net::error::make_error_code(net::error::no_memory);
            }
            Post(strand, std::move(deliver), error, std::move(results));
        }
    };
    auto lookup = std::make_shared<Lookup>(Lookup{m_strand, host, port, std::move(deliver)});
    const bool started = m_threads->Run([lookup]() mutable {
        try {
            lookup->Run();
        } catch (const std::exception&) {
            // Out of memory: no answer, and the attempt's time-out ends it.
        }
        // Nothing of the io_context's (the strand) may be left on this
        // thread once it counts as done.
        lookup.reset();
    });
    if (!started)
        Post(m_strand, std::move(lookup->deliver), net::error::make_error_code(net::error::no_memory), Results());
}

void HostLookup::Cancel()
{
    if (m_abandoned)
        *m_abandoned = true;
    m_abandoned.reset();
}

}  // namespace Wirelink

#include "pelbo/netcall/HttpsRequest.h"

#include <mutex>

#include "CurlService.h"
#include "pelbo/compat/ProcessEnd.h"

namespace {

// Which service the entry points use. The libcurl service is made on first
// use, so loading the library starts nothing; it lives until the library is
// unloaded (its thread ends on its own when idle).
class ServiceRegistry {
public:
    ~ServiceRegistry()
    {
        Netcall::CurlService* curl = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            curl = m_default;
            m_default = nullptr;
        }
        delete curl;
    }

    Util::HttpsRequest::IHttpsService* Current()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_installed != nullptr) {
            return m_installed;
        }
        if (m_default == nullptr) {
            m_default = new Netcall::CurlService();
        }
        return m_default;
    }

    void Install(Util::HttpsRequest::IHttpsService* service)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_installed = service;
    }

    // A sink may have requests with the libcurl service and with a double
    // installed later; both forget it. Neither is created for this.
    void Detach(IHttpsRequestSink* sink)
    {
        Util::HttpsRequest::IHttpsService* installed = nullptr;
        Netcall::CurlService* curl = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            installed = m_installed;
            curl = m_default;
        }
        // Without the registry lock: the wait below may last while a delivery
        // calls Request, which needs that lock.
        if (installed != nullptr) {
            installed->DetachSink(sink);
        }
        if (curl != nullptr) {
            curl->DetachSink(sink);
        }
    }

    void ShutdownDefault()
    {
        Netcall::CurlService* curl = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            curl = m_default;
        }
        if (curl != nullptr) {
            curl->Shutdown();
        }
    }

private:
    std::mutex m_mutex;
    Util::HttpsRequest::IHttpsService* m_installed = nullptr;
    Netcall::CurlService* m_default = nullptr;
};

ServiceRegistry& Registry()
{
    static Compat::ProcessWide<ServiceRegistry> registry(new ServiceRegistry);
    return *registry;
}

}  // namespace

IHttpsRequestSink::IHttpsRequestSink() = default;

IHttpsRequestSink::IHttpsRequestSink(const IHttpsRequestSink&) {}

IHttpsRequestSink& IHttpsRequestSink::operator=(const IHttpsRequestSink&)
{
    // Pending requests stay with the object that made them.
    return *this;
}

IHttpsRequestSink::~IHttpsRequestSink()
{
    DetachHttpsSink();
}

void IHttpsRequestSink::DetachHttpsSink()
{
    Registry().Detach(this);
}

namespace Util {
namespace HttpsRequest {

IHttpsService::~IHttpsService() = default;

int Request(unsigned& id, IHttpsRequestSink* sink, const ST_HttpsReqInfo& info)
{
    try {
        return Registry().Current()->Request(id, sink, info);
    } catch (...) {
        return 0;
    }
}

void RemoveSink(const unsigned& id)
{
    try {
        Registry().Current()->RemoveSink(id);
    } catch (...) {
        // Nothing was pending under this identifier that could be reached.
    }
}

void SetService(IHttpsService* service)
{
    Registry().Install(service);
}

void Shutdown()
{
    try {
        Registry().ShutdownDefault();
    } catch (...) {
        // Joining failed; the thread ends on its own when the process does.
    }
}

}  // namespace HttpsRequest
}  // namespace Util

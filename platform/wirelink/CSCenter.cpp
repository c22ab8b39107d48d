// The exported functions of the transport: one CTransport per process,
// created by LWS_Init and ended by DoExit.

#include "pelbo/wirelink/CSCenter.h"

#include <memory>
#include <mutex>
#include <vector>

#include "CommandRoute.h"
#include "Transport.h"
#include "pelbo/compat/ProcessEnd.h"
#include "pelbo/corekit/Text.h"

namespace Aux {
namespace CSCenter {
namespace {

struct Holder {
    std::mutex mutex;
    std::shared_ptr<Wirelink::CTransport> current;
    // Transports ended from inside one of their own callbacks: their
    // threads are joined later, from another thread.
    std::vector<std::shared_ptr<Wirelink::CTransport>> retired;
};

Holder& TheHolder()
{
    static Compat::ProcessWide<Holder> holder(new Holder);
    return *holder;
}

std::shared_ptr<Wirelink::CTransport> Current()
{
    Holder& h = TheHolder();
    std::lock_guard<std::mutex> lock(h.mutex);
    return h.current;
}

void JoinRetired()
{
    Holder& h = TheHolder();
    std::vector<std::shared_ptr<Wirelink::CTransport>> joinable;
    {
        std::lock_guard<std::mutex> lock(h.mutex);
        for (auto it = h.retired.begin(); it != h.retired.end();) {
            if ((*it)->OnIoThread()) {
                ++it;
            } else {
                joinable.push_back(std::move(*it));
                it = h.retired.erase(it);
            }
        }
    }
    for (const auto& transport : joinable)
        transport->Join();
}

std::string Utf8(const wchar_t* text)
{
    return text != nullptr ? Util::Convert::W_2_Utf8(text) : std::string();
}

}  // namespace

CConnectSink::~CConnectSink()
{
    DetachConnectSink();
}

void CConnectSink::DetachConnectSink()
{
    try {
        std::vector<std::shared_ptr<Wirelink::CTransport>> transports;
        {
            Holder& h = TheHolder();
            std::lock_guard<std::mutex> lock(h.mutex);
            transports = h.retired;
            if (h.current)
                transports.push_back(h.current);
        }
        for (const auto& transport : transports)
            transport->DetachSink(this);
    } catch (...) {
    }
}

int LWS_Init(int version, LogCallback log, const unsigned& userId, const wchar_t* guid, const wchar_t* reserved)
{
    try {
        if (version != 1)
            return 0;
        JoinRetired();
        Holder& h = TheHolder();
        std::shared_ptr<Wirelink::CTransport> transport;
        bool created = false;
        {
            std::lock_guard<std::mutex> lock(h.mutex);
            if (!h.current) {
                h.current = std::make_shared<Wirelink::CTransport>();
                h.current->Begin();
                created = true;
            }
            transport = h.current;
        }
        transport->SetIdentity(log, userId, Utf8(guid));
        transport->Log(created ? "LWS_Init: user " + std::to_string(userId) : "LWS_Init: identity replaced");
        return 1;
    } catch (...) {
        return 0;
    }
}

int LWS_StartConn(const wchar_t* url, CConnectSink* sink)
{
    try {
        const auto transport = Current();
        return transport && url != nullptr && transport->StartConn(Utf8(url), sink) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int IsLogined()
{
    const auto transport = Current();
    return transport && transport->IsLogined() ? 1 : 0;
}

int LWS_ReConn()
{
    try {
        const auto transport = Current();
        return transport && transport->ReConn() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int LWS_StopConn()
{
    try {
        const auto transport = Current();
        if (!transport)
            return 0;
        transport->StopConn();
        return 1;
    } catch (...) {
        return 0;
    }
}

void DoExit()
{
    try {
        std::shared_ptr<Wirelink::CTransport> transport;
        Holder& h = TheHolder();
        {
            std::lock_guard<std::mutex> lock(h.mutex);
            transport = std::move(h.current);
        }
        if (transport) {
            transport->Log("DoExit");
            if (!transport->Finish()) {
                std::lock_guard<std::mutex> lock(h.mutex);
                h.retired.push_back(std::move(transport));
            }
        }
        JoinRetired();
    } catch (...) {
    }
}

void LWS_SetReplyTimeout(unsigned ms)
{
    Wirelink::Settings::Get().replyMs = ms;
}

void LWS_SetConnectTimeout(unsigned ms)
{
    Wirelink::Settings::Get().phaseMs = ms;
}

void LWS_SetBackoffReset(unsigned ms)
{
    Wirelink::Settings::Get().backoffResetMs = ms;
}

void LWS_SetBackoff(unsigned firstMs, unsigned maxMs)
{
    Wirelink::Settings::Get().backoffFirstMs = firstMs;
    Wirelink::Settings::Get().backoffMaxMs = maxMs;
}

void LWS_SetMaxFrameBytes(unsigned bytes)
{
    Wirelink::Settings::Get().maxFrameBytes = bytes != 0 ? bytes : Wirelink::Settings::kDefaultMaxFrameBytes;
}

namespace Detail {

std::optional<uint64_t> SendCommand(IXData* command, const std::shared_ptr<DeliveryGate>& gate, CSCenterSink* sink)
{
    const auto transport = Current();
    if (!transport)
        return std::nullopt;
    return transport->Send(command, gate, sink);
}

}  // namespace Detail

}  // namespace CSCenter
}  // namespace Aux

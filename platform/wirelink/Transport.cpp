#include "Transport.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <vector>

#include <boost/asio/post.hpp>

#include "WireCodec.h"
#include "pelbo/compat/SentMessages.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Log.h"
#include "pelbo/corekit/Text.h"

namespace Wirelink {
namespace {

namespace net = boost::asio;
using Aux::CSCenter::GatePass;

// A polite close at exit waits this long for the server's close frame.
constexpr std::chrono::milliseconds kExitCloseWait{1000};

std::string CommandName(IXData* command)
{
    CStringW name;
    if (command == nullptr || !command->GetIXDataStr(L"CMDNO", name))
        return std::string();
    return Util::Convert::W_2_Utf8(name.GetString());
}

std::string Masked(const std::string& text)
{
    return Util::Convert::W_2_Utf8(Util::Log::MaskSecrets(Util::Convert::Utf8_2_W(text)));
}

}  // namespace

Settings& Settings::Get()
{
    static Settings settings;
    return settings;
}

CTransport::CTransport()
    : m_strand(m_ioc.LockedExecutor()),
      m_retryTimer(m_strand),
      m_stableTimer(m_strand),
      m_exitTimer(m_strand),
      m_replyTimer(m_strand),
      m_random(std::random_device{}())
{
}

CTransport::~CTransport()
{
    // Finish has run (the owner calls it first); should it not have, the
    // loop is stopped here so that the join below ends.
    m_work.reset();
    {
        std::lock_guard<std::mutex> lock(m_acceptMutex);
        if (m_accepting)
            m_ioc.stop();
    }
    if (m_thread.joinable()) {
        if (OnIoThread())
            m_thread.detach();
        else
            m_thread.join();
    }
    m_lookups->JoinAll();
}

void CTransport::Begin()
{
    m_work.emplace(net::make_work_guard(m_ioc));
    m_thread = std::thread([this] {
        m_threadId = std::this_thread::get_id();
        for (;;) {
            try {
                m_ioc.run();
                m_ioEnded = true;
                return;
            } catch (const std::exception& e) {
                Log(std::string("handler failed: ") + e.what());
            } catch (...) {
                Log("handler failed");
            }
        }
    });
}

void CTransport::SetIdentity(Aux::CSCenter::LogCallback log, unsigned userId, const std::string& guid)
{
    m_log = log;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_userId = userId;
    m_guid = guid;
}

void CTransport::Log(const std::string& line)
{
    const Aux::CSCenter::LogCallback log = m_log.load();
    if (log == nullptr)
        return;
    try {
        log(line.c_str());
    } catch (...) {
    }
}

bool CTransport::StartConn(const std::string& url, Aux::CSCenter::CConnectSink* sink)
{
    WsUrl parsed;
    if (!ParseWsUrl(url, &parsed)) {
        Log("StartConn: not a ws:// or wss:// address: " + Masked(url));
        return false;
    }
    std::shared_ptr<Aux::CSCenter::DeliveryGate> oldGate;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        oldGate = std::move(m_sinkGate);
        m_sink = sink;
        m_sinkGate = std::make_shared<Aux::CSCenter::DeliveryGate>();
    }
    // The previous sink hears nothing more once StartConn returns.
    if (oldGate)
        oldGate->Close();
    {
        std::lock_guard<std::mutex> lock(m_acceptMutex);
        if (!m_accepting)
            return false;
        m_hasUrl = true;
        net::post(m_strand, [self = shared_from_this(), parsed, url] {
            self->Log("StartConn: " + Masked(url));
            self->CloseCurrent();
            self->FailAllPending("a new connection starts");
            self->m_url = parsed;
            self->m_urlKnown = true;
            self->m_attempt = 0;
            self->Connect();
        });
    }
    return true;
}

void CTransport::DetachSink(const Aux::CSCenter::CConnectSink* sink)
{
    std::shared_ptr<Aux::CSCenter::DeliveryGate> gate;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (sink == nullptr || m_sink != sink)
            return;
        m_sink = nullptr;
        gate = std::move(m_sinkGate);
    }
    if (gate)
        gate->Close();
}

bool CTransport::ReConn()
{
    std::lock_guard<std::mutex> lock(m_acceptMutex);
    if (!m_accepting || !m_hasUrl)
        return false;
    net::post(m_strand, [self = shared_from_this()] {
        if (self->m_exiting || !self->m_urlKnown)
            return;
        // A wait between attempts stands: the network monitor asks for a
        // reconnect a few seconds after every failure, and cutting the wait
        // short each time would undo the back-off.
        if (self->m_phase == Phase::Stopped)
            self->Connect();
    });
    return true;
}

void CTransport::StopConn()
{
    std::lock_guard<std::mutex> lock(m_acceptMutex);
    if (!m_accepting)
        return;
    net::post(m_strand, [self = shared_from_this()] {
        self->Log("StopConn");
        const bool wasRunning = self->m_phase != Phase::Stopped;
        self->m_phase = Phase::Stopped;
        self->m_retryTimer.cancel();
        self->CloseCurrent();
        self->FailAllPending("the connection was stopped");
        if (wasRunning)
            self->ReportState(Aux::CSCenter::CONN_STATE_STOPPED);
    });
}

std::optional<uint64_t> CTransport::Send(IXData* command, const std::shared_ptr<Aux::CSCenter::DeliveryGate>& gate,
                                         Aux::CSCenter::CSCenterSink* sink)
{
    Pending pending;
    pending.name = CommandName(command);
    if (pending.name.empty()) {
        Log("Send: a command needs a \"CMDNO\" text");
        return std::nullopt;
    }
    const uint64_t seq = m_nextSeq.fetch_add(1);
    // Encoded now: what was sent is the record as it stood at Send.
    std::string text = EncodeFrame(FrameType::Command, seq, command);
    if (text.empty()) {
        Log("Send: " + pending.name + " cannot be encoded (arrays nested too deep)");
        return std::nullopt;
    }
    command->AddRef();
    pending.command = XDataPtr<IXData>(command);
    pending.gate = gate;
    pending.sink = sink;
    // Held from here when the command goes out from this thread.
    std::unique_lock<std::recursive_mutex> io(m_ioc.Mutex(), std::defer_lock);
    {
        std::lock_guard<std::mutex> lock(m_acceptMutex);
        if (!m_accepting)
            return std::nullopt;
        // The command goes out now when nothing runs on the strand (or this
        // is a callback on it) and nothing posted waits to go out first. Not
        // when it would time out at once: that callback comes after Send has
        // returned, on the I/O thread, as ever.
        bool atOnce = false;
        if (m_queuedSends.load() == 0) {
            if (m_strand.running_in_this_thread())
                atOnce = CanWriteNow();
            else
                atOnce = io.try_lock() && CanWriteNow();
        }
        if (!atOnce) {
            ++m_queuedSends;
            net::post(m_strand, [self = shared_from_this(), seq, p = std::make_shared<Pending>(std::move(pending)),
                                 t = std::move(text)]() mutable {
                --self->m_queuedSends;
                self->SendOnStrand(seq, std::move(*p), std::move(t));
            });
            return seq;
        }
    }
    SendOnStrand(seq, std::move(pending), std::move(text));
    return seq;
}

bool CTransport::CanWriteNow() const
{
    return !m_exiting && m_phase == Phase::Open && m_conn;
}

void CTransport::LogOnStrand(std::string line)
{
    if (!Logging())
        return;
    if (m_strand.running_in_this_thread())
        return Log(line);
    net::post(m_strand, [self = shared_from_this(), line = std::move(line)] { self->Log(line); });
}

void CTransport::SendOnStrand(uint64_t seq, Pending pending, std::string text)
{
    if (m_exiting || m_phase != Phase::Open || !m_conn) {
        Log("Send: " + pending.name + " #" + std::to_string(seq) + " not connected, timed out at once");
        DeliverTimeout(pending);
        return;
    }
    pending.deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(Settings::Get().replyMs.load());
    if (Logging())
        LogOnStrand("Send: " + pending.name + " #" + std::to_string(seq));
    WatchDeadline(pending.deadline);
    m_pending.emplace(seq, std::move(pending));
    m_conn->Write(std::move(text));
}

void CTransport::WatchDeadline(std::chrono::steady_clock::time_point deadline)
{
    // Setting a timer costs a system call; with one command after another
    // the timer set for the first one still runs when the next is sent.
    if (m_replyTimerArmed && m_replyTimer.expiry() <= deadline)
        return;
    m_replyTimerArmed = true;
    m_replyTimer.expires_at(deadline);
    m_replyTimer.async_wait([weak = weak_from_this()](boost::system::error_code ec) {
        if (auto self = weak.lock(); self && !ec)
            self->OnReplyTimer();
    });
}

void CTransport::OnReplyTimer()
{
    m_replyTimerArmed = false;
    const auto now = std::chrono::steady_clock::now();
    std::vector<std::pair<uint64_t, Pending>> due;
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (it->second.deadline <= now) {
            due.emplace_back(it->first, std::move(it->second));
            it = m_pending.erase(it);
        } else {
            ++it;
        }
    }
    std::stable_sort(due.begin(), due.end(),
                     [](const auto& a, const auto& b) { return a.second.deadline < b.second.deadline; });
    for (auto& entry : due) {
        Log("OnTimeout: " + entry.second.name + " #" + std::to_string(entry.first) + " got no reply in time");
        DeliverTimeout(entry.second);
    }
    // What is left, with what the callbacks above sent.
    if (m_pending.empty())
        return;
    auto earliest = m_pending.begin()->second.deadline;
    for (const auto& entry : m_pending)
        earliest = std::min(earliest, entry.second.deadline);
    WatchDeadline(earliest);
}

void CTransport::Connect()
{
    m_retryTimer.cancel();
    CloseCurrent();
    m_phase = Phase::Connecting;
    const Settings& settings = Settings::Get();
    std::shared_ptr<net::ssl::context> tls;
    if (m_url.tls) {
        std::string error;
        tls = WsConnection::MakeTlsContext(Util::Convert::W_2_Utf8(Http::GetCaBundle().GetString()), &error);
        if (!tls) {
            Log("Connect: no TLS set-up: " + error);
            ScheduleRetry();
            ReportState(Aux::CSCenter::CONN_STATE_CONNECT_FAILED);
            return;
        }
    }
    std::vector<std::pair<std::string, std::string>> headers;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        headers.emplace_back("X-User-Id", std::to_string(m_userId));
        if (!m_guid.empty())
            headers.emplace_back("X-Client-Guid", m_guid);
    }
    ConnectionLimits limits;
    limits.phaseMs = settings.phaseMs;
    limits.idleMs = settings.idleMs;
    limits.maxFrameBytes = settings.maxFrameBytes;

    const uint64_t generation = ++m_generation;
    const std::weak_ptr<CTransport> weak = weak_from_this();
    WsConnection::Events events;
    events.opened = [weak, generation] {
        if (auto self = weak.lock())
            self->OnOpened(generation);
    };
    events.text = [weak, generation](std::string&& text) {
        if (auto self = weak.lock())
            self->OnText(generation, std::move(text));
    };
    events.ended = [weak, generation](bool wasOpen, const std::string& why) {
        if (auto self = weak.lock())
            self->OnEnded(generation, wasOpen, why);
    };
    events.log = [weak](const std::string& line) {
        if (auto self = weak.lock())
            self->Log(line);
    };
    Log("Connect: " + m_url.HostHeader() + " attempt " + std::to_string(m_attempt + 1));
    std::optional<ProxyConfig> proxy = ProxyFor(m_url.host);
    if (proxy)
        Log("Connect: through proxy " + proxy->Shown() + (proxy->user.empty() ? "" : " as its user"));
    m_conn = WsConnection::Create(m_strand, m_lookups, std::move(tls), m_url, std::move(proxy), std::move(headers), limits,
                                  std::move(events));
    m_conn->Start();
}

void CTransport::CloseCurrent()
{
    SetLogined(false);
    if (!m_conn)
        return;
    ++m_generation;  // its late events are ignored
    m_conn->Close([] {});
    m_conn.reset();
}

void CTransport::ScheduleRetry()
{
    if (m_exiting || m_phase == Phase::Stopped)
        return;
    const Settings& settings = Settings::Get();
    const unsigned maxMs = std::max(1u, settings.backoffMaxMs.load());
    uint64_t delay = std::max(1u, settings.backoffFirstMs.load());
    for (unsigned i = 0; i < m_attempt && delay < maxMs; ++i)
        delay *= 2;
    delay = std::min<uint64_t>(delay, maxMs);
    // Jitter keeps many clients that lost the server together from coming
    // back in step.
    std::uniform_int_distribution<uint64_t> pick(delay / 2, delay);
    const uint64_t wait = pick(m_random);
    ++m_attempt;
    m_phase = Phase::Waiting;
    Log("Reconnect in " + std::to_string(wait) + " ms");
    m_retryTimer.expires_after(std::chrono::milliseconds(wait));
    m_retryTimer.async_wait([weak = weak_from_this()](boost::system::error_code ec) {
        auto self = weak.lock();
        if (self && !ec && self->m_phase == Phase::Waiting && !self->m_exiting)
            self->Connect();
    });
}

void CTransport::OnOpened(uint64_t generation)
{
    if (generation != m_generation)
        return;
    m_phase = Phase::Open;
    SetLogined(false);
    Log("Connected: " + m_url.HostHeader());
    ReportState(Aux::CSCenter::CONN_STATE_CONNECTED);
}

void CTransport::OnEnded(uint64_t generation, bool wasOpen, const std::string& why)
{
    if (generation != m_generation)
        return;
    m_conn.reset();
    SetLogined(false);
    Log(std::string(wasOpen ? "Connection lost: " : "Cannot connect: ") + why);
    FailAllPending("the connection ended");
    m_phase = Phase::Connecting;
    ScheduleRetry();
    ReportState(wasOpen ? Aux::CSCenter::CONN_STATE_LOST : Aux::CSCenter::CONN_STATE_CONNECT_FAILED);
}

void CTransport::OnText(uint64_t generation, std::string&& text)
{
    if (generation != m_generation)
        return;
    Frame frame;
    std::string error;
    if (!m_decoder.Decode(text, &frame, &error)) {
        // The frame's text may carry secrets; only its size is logged.
        Log("Frame of " + std::to_string(text.size()) + " bytes dropped: " + error);
        return;
    }
    switch (frame.type) {
    case FrameType::Reply:
        HandleReply(frame.seq, frame.data.get());
        return;
    case FrameType::Push:
        if (Logging())
            Log("Push #" + std::to_string(frame.seq));
        ReportSequence(frame.seq);
        return;
    case FrameType::Command:
        Log("Command frame #" + std::to_string(frame.seq) + " from the server dropped");
        return;
    }
}

void CTransport::HandleReply(uint64_t seq, IXData* reply)
{
    const auto it = m_pending.find(seq);
    if (it == m_pending.end()) {
        Log("Reply #" + std::to_string(seq) + " matches no waiting command, dropped");
        return;
    }
    Pending pending = std::move(it->second);
    m_pending.erase(it);
    WatchLogin(pending.name, reply);
    if (Logging())
        Log("OnRecvReply: " + pending.name + " #" + std::to_string(seq));
    DeliverReply(pending, reply);
}

void CTransport::WatchLogin(const std::string& name, IXData* reply)
{
    if (name == "connect" || name == "reconnect") {
        int32_t result = -1;
        const bool accepted = reply->GetIXDataI32(L"Result", result) && result == 0;
        if (!accepted) {
            // One line says why the session did not sign in: the service's
            // result and its text, if it gave one.
            CStringW message;
            reply->GetIXDataStr(L"Msg", message);
            Log("session " + name + " refused: Result " + std::to_string(result) + ", msg \"" +
                Util::Convert::W_2_Utf8(message.Left(200).GetString()) + "\"");
        }
        SetLogined(accepted);
    } else if (name == "disconnect") {
        SetLogined(false);
    }
}

void CTransport::SetLogined(bool logined)
{
    const bool was = m_logined.exchange(logined);
    if (!logined) {
        m_stableTimer.cancel();
        return;
    }
    if (was)
        return;
    // An upgrade alone proves little: a server that accepts and closes again,
    // or two sign-ins of one account cutting each other off, would otherwise
    // bring every client back at the first wait, over and over.
    const unsigned resetMs = Settings::Get().backoffResetMs.load();
    m_stableTimer.expires_after(std::chrono::milliseconds(resetMs));
    const uint64_t generation = m_generation;
    m_stableTimer.async_wait([weak = weak_from_this(), generation, resetMs](boost::system::error_code ec) {
        auto self = weak.lock();
        if (!self || ec || generation != self->m_generation || !self->m_logined.load())
            return;
        self->m_attempt = 0;
        self->Log("Logged in for " + std::to_string(resetMs) + " ms: the back-off starts again");
    });
}

void CTransport::FailAllPending(const char* why)
{
    if (m_pending.empty())
        return;
    std::map<uint64_t, Pending> pending;
    pending.swap(m_pending);
    Log(std::string("Timing out ") + std::to_string(pending.size()) + " waiting commands: " + why);
    for (auto& entry : pending)
        DeliverTimeout(entry.second);
}

void CTransport::DeliverReply(Pending& pending, IXData* reply)
{
    GatePass pass(*pending.gate);
    if (!pass)
        return;
    try {
        pending.sink->OnRecvReply(reply, pending.command.get());
    } catch (...) {
        Log("OnRecvReply: the sink of " + pending.name + " threw");
    }
}

void CTransport::DeliverTimeout(Pending& pending)
{
    GatePass pass(*pending.gate);
    if (!pass)
        return;
    try {
        pending.sink->OnTimeout(pending.command.get());
    } catch (...) {
        Log("OnTimeout: the sink of " + pending.name + " threw");
    }
}

void CTransport::ReportState(int state)
{
    Aux::CSCenter::CConnectSink* sink = nullptr;
    std::shared_ptr<Aux::CSCenter::DeliveryGate> gate;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        sink = m_sink;
        gate = m_sinkGate;
    }
    if (sink == nullptr || !gate)
        return;
    GatePass pass(*gate);
    if (!pass)
        return;
    try {
        sink->OnConnectState(state);
    } catch (...) {
        Log("OnConnectState: the sink threw");
    }
}

void CTransport::ReportSequence(uint64_t sequence)
{
    Aux::CSCenter::CConnectSink* sink = nullptr;
    std::shared_ptr<Aux::CSCenter::DeliveryGate> gate;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        sink = m_sink;
        gate = m_sinkGate;
    }
    if (sink == nullptr || !gate)
        return;
    GatePass pass(*gate);
    if (!pass)
        return;
    try {
        sink->OnSerPsuhLastSeq(sequence);
    } catch (...) {
        Log("OnSerPsuhLastSeq: the sink threw");
    }
}

void CTransport::Shutdown()
{
    m_exiting = true;
    m_phase = Phase::Stopped;
    SetLogined(false);
    m_retryTimer.cancel();
    m_replyTimer.cancel();
    m_replyTimerArmed = false;
    FailAllPending("the transport exits");
    if (!m_conn)
        return;
    std::shared_ptr<WsConnection> conn = std::move(m_conn);
    ++m_generation;
    m_exitTimer.expires_after(kExitCloseWait);
    m_exitTimer.async_wait([conn](boost::system::error_code ec) {
        if (!ec)
            conn->Abort();
    });
    conn->Close([weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->m_exitTimer.cancel();
    });
}

bool CTransport::Finish()
{
    {
        std::lock_guard<std::mutex> lock(m_acceptMutex);
        if (m_accepting) {
            m_accepting = false;
            net::post(m_strand, [self = shared_from_this()] { self->Shutdown(); });
        }
    }
    m_work.reset();
    if (OnIoThread())
        return false;
    Join();
    return true;
}

void CTransport::Join()
{
    if (!m_thread.joinable() || OnIoThread())
        return;
#if defined(_WIN32)
    // A callback still running on the I/O thread may be sending a message to
    // this thread, a user-interface thread that shuts the session down.
    while (!m_ioEnded.load())
        Compat::DispatchSentMessages(2);
#endif
    m_thread.join();
    m_lookups->JoinAll();
}

bool CTransport::OnIoThread() const
{
    return m_threadId.load() == std::this_thread::get_id();
}

}  // namespace Wirelink

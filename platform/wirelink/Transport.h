#pragma once
// CTransport: the one websocket session of the process. It owns the I/O
// thread and its strand; everything below runs on that strand:
// connecting and reconnecting with back-off, the commands waiting for their
// reply (matched by sequence number, each with its own deadline, watched by
// one timer), pushes, and the log-in watch behind IsLogined. Calls from
// other threads post onto the strand; a command goes out from the sending
// thread itself when the strand is idle (see m_ioc).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "DeliveryGate.h"
#include "HostLookup.h"
#include "WireCodec.h"
#include "WsConnection.h"
#include "WsUrl.h"
#include "pelbo/corekit/XData.h"
#include "pelbo/wirelink/CSCenter.h"

namespace Wirelink {

// Tunables, read when they are needed; safe from any thread.
struct Settings {
    std::atomic<unsigned> replyMs{10000};
    std::atomic<unsigned> phaseMs{10000};
    std::atomic<unsigned> idleMs{30000};
    std::atomic<unsigned> backoffResetMs{30000};
    std::atomic<unsigned> backoffFirstMs{500};
    std::atomic<unsigned> backoffMaxMs{30000};
    static constexpr unsigned kDefaultMaxFrameBytes = 1u << 20;
    // Never 0: to Beast that would mean no limit at all.
    std::atomic<unsigned> maxFrameBytes{kDefaultMaxFrameBytes};

    static Settings& Get();
};

class CTransport : public std::enable_shared_from_this<CTransport> {
public:
    CTransport();
    ~CTransport();
    CTransport(const CTransport&) = delete;
    CTransport& operator=(const CTransport&) = delete;

    void Begin();
    void SetIdentity(Aux::CSCenter::LogCallback log, unsigned userId, const std::string& guid);

    bool StartConn(const std::string& url, Aux::CSCenter::CConnectSink* sink);
    // Forgets sink if it is the current one, after waiting for a callback
    // to it running on another thread.
    void DetachSink(const Aux::CSCenter::CConnectSink* sink);
    bool ReConn();
    void StopConn();
    bool IsLogined() const { return m_logined.load(); }

    // The command's sequence number, or nothing when it was not accepted.
    std::optional<uint64_t> Send(IXData* command, const std::shared_ptr<Aux::CSCenter::DeliveryGate>& gate,
                                 Aux::CSCenter::CSCenterSink* sink);

    // Stops accepting, answers what waits, closes and lets the thread end.
    // Joins it unless called on it (false then; Join later).
    bool Finish();
    void Join();
    bool OnIoThread() const;

    void Log(const std::string& line);
    // Whether a log line would go anywhere: lines on the command path are
    // only put together when it would.
    bool Logging() const { return m_log.load() != nullptr; }

private:
    enum class Phase { Stopped, Connecting, Open, Waiting };

    struct Pending {
        XDataPtr<IXData> command;
        std::string name;
        std::shared_ptr<Aux::CSCenter::DeliveryGate> gate;
        Aux::CSCenter::CSCenterSink* sink = nullptr;
        std::chrono::steady_clock::time_point deadline;
    };

    void Connect();
    void CloseCurrent();
    void ScheduleRetry();
    void OnOpened(uint64_t generation);
    void OnText(uint64_t generation, std::string&& text);
    void OnEnded(uint64_t generation, bool wasOpen, const std::string& why);
    bool CanWriteNow() const;
    void SendOnStrand(uint64_t seq, Pending pending, std::string text);
    // A log line of the command path, on the I/O thread as every other.
    void LogOnStrand(std::string line);
    void WatchDeadline(std::chrono::steady_clock::time_point deadline);
    void OnReplyTimer();
    void HandleReply(uint64_t seq, IXData* reply);
    void WatchLogin(const std::string& name, IXData* reply);
    void SetLogined(bool logined);
    void FailAllPending(const char* why);
    void Shutdown();

    void DeliverReply(Pending& pending, IXData* reply);
    void DeliverTimeout(Pending& pending);
    void ReportState(int state);
    void ReportSequence(uint64_t sequence);

    // Its mutex is held by everything that runs on the strand. A sending
    // thread that gets it without waiting writes its command itself: waking
    // the I/O thread to do it would cost a context switch on the way out of
    // every round trip.
    LockedContext m_ioc;
    Strand m_strand;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> m_work;
    std::thread m_thread;
    std::atomic<std::thread::id> m_threadId{};
    // Host name lookups still running post to m_ioc: the end joins them.
    std::shared_ptr<LookupThreads> m_lookups = std::make_shared<LookupThreads>();
    // Set by the I/O thread as it ends; Join waits for it on Windows.
    std::atomic<bool> m_ioEnded{false};

    std::atomic<Aux::CSCenter::LogCallback> m_log{nullptr};
    std::atomic<bool> m_logined{false};
    std::atomic<bool> m_hasUrl{false};
    std::atomic<uint64_t> m_nextSeq{1};

    // Guards the identity and the connection sink, set from any thread.
    std::mutex m_mutex;
    unsigned m_userId = 0;
    std::string m_guid;
    Aux::CSCenter::CConnectSink* m_sink = nullptr;
    std::shared_ptr<Aux::CSCenter::DeliveryGate> m_sinkGate;

    // Held while a command is posted, so none is posted after the shutdown.
    std::mutex m_acceptMutex;
    bool m_accepting = true;
    // Commands posted and not yet sent; while there are any, later ones are
    // posted behind them, so that commands go out in the order of Send.
    std::atomic<unsigned> m_queuedSends{0};

    // Strand only.
    Phase m_phase = Phase::Stopped;
    bool m_exiting = false;
    WsUrl m_url;
    bool m_urlKnown = false;
    std::shared_ptr<WsConnection> m_conn;
    uint64_t m_generation = 0;
    // Waits scheduled since the back-off last started again: at StartConn,
    // or once a connection stayed logged in for the reset time.
    unsigned m_attempt = 0;
    boost::asio::steady_timer m_retryTimer;
    boost::asio::steady_timer m_stableTimer;
    boost::asio::steady_timer m_exitTimer;
    std::map<uint64_t, Pending> m_pending;
    // Armed for the earliest deadline of m_pending, or earlier: a reply
    // leaves it running, and a run that finds nothing due sets it again.
    boost::asio::steady_timer m_replyTimer;
    bool m_replyTimerArmed = false;
    FrameDecoder m_decoder;
    std::mt19937 m_random;
};

}  // namespace Wirelink

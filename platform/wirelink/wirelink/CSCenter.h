#pragma once
// wirelink: the client's command session with the conference server over a
// websocket (ws:// or wss://). One transport per process, driven by one I/O
// thread: it connects, reconnects by itself after a loss, sends command
// records and matches their replies, and hands server pushes on.
//
// Every call here is safe from any thread and throws nothing. Callbacks
// (connection sink, command sinks, the log callback) run on the transport's
// I/O thread; they may call back into wirelink, but DoExit from inside a
// callback cannot wait for that same thread (see DoExit).

#include <cstdint>

#include "pelbo/wirelink/WirelinkExport.h"

struct IXData;

namespace Aux {
namespace CSCenter {

// Transport states reported through CConnectSink::OnConnectState.
enum E_CONN_STATE : int {
    CONN_STATE_CONNECTED = 0,
    CONN_STATE_CONNECT_FAILED = 2,  // an attempt could not connect
    CONN_STATE_LOST = 3,            // an established connection dropped
    CONN_STATE_STOPPED = 4,         // LWS_StopConn ended the connection or the waits between attempts
};

// The connection callbacks of LWS_StartConn.
//
// Lifetime: the destructor calls DetachConnectSink, so the transport never
// calls a destroyed sink, even when the sink goes before DoExit. A class
// deriving from this one calls DetachConnectSink first in its own
// destructor, before its own members go: a callback running on the I/O
// thread is waited for there. From inside its own callback it does not wait
// for itself.
class WIRELINK_API CConnectSink {
public:
    virtual ~CConnectSink();
    virtual void OnConnectState(int state) = 0;
    // The message sequence that a server push carried.
    virtual void OnSerPsuhLastSeq(uint64_t sequence) = 0;

    // Stops every callback to this sink; the transport itself goes on
    // (a later LWS_StartConn names the next sink).
    void DetachConnectSink();
};

// Receives the answer to a command: exactly one of the two, exactly once.
// The records belong to the transport; a receiver that keeps one adds its
// own reference.
class WIRELINK_API CSCenterSink {
public:
    virtual ~CSCenterSink() = default;
    virtual void OnRecvReply(IXData* reply, IXData* command) = 0;
    virtual void OnTimeout(IXData* command) = 0;
};

// Receives the transport's log lines (UTF-8, one line per call, secrets
// already masked).
using LogCallback = void (*)(const char* line);

// Sets the transport up and starts its I/O thread. The first argument is a
// format version and must be 1. The user id and the client GUID travel with
// every connection as the upgrade request's headers. Non-zero on success; a
// second call while set up only replaces the callback and the identity.
WIRELINK_API int LWS_Init(int version, LogCallback log, const unsigned& userId, const wchar_t* guid,
                          const wchar_t* reserved);
// Connects to url (ws:// or wss://) and reports to sink until the next
// StartConn or StopConn. A connection that is open is closed first. Zero
// when not set up or the address cannot be used.
WIRELINK_API int LWS_StartConn(const wchar_t* url, CConnectSink* sink);
// Non-zero while the current connection is logged in: a "connect" or
// "reconnect" command on it was answered with "Result" 0 and no later
// failure or "disconnect" reply undid that.
WIRELINK_API int IsLogined();
// Connects at once after StopConn. While waiting between attempts the wait
// stands (the attempt comes when the back-off allows), and while connected or
// while an attempt runs nothing happens. Non-zero when an address is known.
WIRELINK_API int LWS_ReConn();
// Closes the connection and stops reconnecting; commands waiting for a reply
// are answered with their time-out, then the sink hears CONN_STATE_STOPPED
// (unless it was stopped already). Non-zero when set up.
WIRELINK_API int LWS_StopConn();
// Closes everything and joins the I/O thread; commands waiting for a reply
// get their time-out first. Called from inside a callback it stops the
// transport and the thread is joined by the next LWS_Init or DoExit.
WIRELINK_API void DoExit();

// How long a command waits for its reply (default 10000 ms).
WIRELINK_API void LWS_SetReplyTimeout(unsigned ms);
// Per-phase limits of a connection attempt: TCP connect, TLS handshake and
// websocket upgrade each (default 10000 ms).
WIRELINK_API void LWS_SetConnectTimeout(unsigned ms);
// How long a connection must stay logged in (a "connect" or "reconnect"
// answered with "Result" 0) before the next loss starts again from the first
// wait of LWS_SetBackoff (default 30000 ms).
WIRELINK_API void LWS_SetBackoffReset(unsigned ms);
// Waits between reconnect attempts: the first is firstMs, each further one
// doubles up to maxMs, and each is drawn from 50 % to 100 % of that (default
// 500 ms and 30000 ms). The waits go on growing across connections that open
// and end again before LWS_SetBackoffReset's time.
WIRELINK_API void LWS_SetBackoff(unsigned firstMs, unsigned maxMs);
// Incoming frames larger than this close the connection, refused at their
// header before any of the payload is read (default 1 MiB; 0 sets the
// default again, there is no setting without a limit).
WIRELINK_API void LWS_SetMaxFrameBytes(unsigned bytes);

}  // namespace CSCenter
}  // namespace Aux

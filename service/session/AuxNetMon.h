#pragma once
// The network monitor's exported interfaces. The client runs three network
// channels: Tencent instant messaging (TIM), the command websocket (WS) and
// Tencent real-time audio/video (TRTC). Each channel registers its control
// with the monitor and reports connects and drops through the monitor's
// event interface for it; the monitor keeps one state per channel, asks a
// broken channel to reconnect, and tells every registered window (an
// interaction) the three states after each change.
//
// Channel states: 0 nothing reported yet, 1 reconnecting, 2 broken (the
// monitor's reconnect timer runs), 3 connected (TRTC: with a weak network),
// 4 TRTC connected with a good network.
//
// The monitor may be called from any thread. It calls controls and
// interactions on the thread of the report or timer tick that caused the
// call, never while holding its own lock, so they may call the monitor back.
// Removing an interaction, replacing a control and Exit wait for a call of
// the object that runs on another thread; afterwards it is not called
// again. Called from inside a callback of the library they do not wait (see
// docs/architecture.md, "Callbacks and shutting down").

#include "pelbo/core/ServiceExport.h"

class SERVICE_API CTIMNetControl {
public:
    virtual ~CTIMNetControl() = default;
    virtual void ReConn() = 0;
    virtual void Logout() = 0;
};

class SERVICE_API CWSNetControl {
public:
    virtual ~CWSNetControl() = default;
    virtual int ReConn() = 0;
    virtual void StopConn() = 0;
};

class SERVICE_API CTRTCNetControl {
public:
    virtual ~CTRTCNetControl() = default;
    virtual void ReConn() = 0;
    virtual void ExitRoom() = 0;
    virtual void SwitchRole(const int& anchor) = 0;
};

class SERVICE_API CTIMNetEvent {
public:
    virtual ~CTIMNetEvent() = default;
    virtual void OnTimConnect() = 0;
    // inner_auto_reconnect non-zero: the channel reconnects by itself.
    virtual void OnTimDisconnect(const int& inner_auto_reconnect) = 0;
};

class SERVICE_API CWSNetEvent {
public:
    virtual ~CWSNetEvent() = default;
    virtual void OnWsConnect() = 0;
    virtual void OnWsDisconnect(const int& inner_auto_reconnect) = 0;
};

class SERVICE_API CTRTCNetEvent {
public:
    virtual ~CTRTCNetEvent() = default;
    virtual void OnTrtcConnect(const int& weak) = 0;
    virtual void OnTrtcDisconnect(const int& inner_auto_reconnect) = 0;
    virtual void OnTrtcQuality(const int& weak) = 0;
};

// A window that shows the channel states. Its destructor removes it from the
// monitor when one exists.
class SERVICE_API CInteractionControl {
public:
    virtual ~CInteractionControl();
    // The three states at the moment of the call; the integers belong to the
    // monitor and are valid only during the call.
    virtual void OnNetSummary(int* tim, int* ws, int* trtc) = 0;
};

class SERVICE_API CInteractionEvent {
public:
    virtual ~CInteractionEvent() = default;
};

class SERVICE_API INetMon {
public:
    virtual ~INetMon() = default;
    // A null control deregisters the channel's control.
    virtual void SetTimCtrl(CTIMNetControl* tim) = 0;
    virtual void SetWsCtrl(CWSNetControl* ws) = 0;
    virtual void SetTrtcCtrl(CTRTCNetControl* trtc) = 0;
    virtual CTIMNetEvent* GetTimEvent() = 0;
    virtual CWSNetEvent* GetWsEvent() = 0;
    virtual CTRTCNetEvent* GetTrtcEvent() = 0;
    // Registers ui (a second insertion renews it); a non-zero triggle calls
    // its OnNetSummary at once. A null ui is ignored.
    virtual void InsertInteraction(CInteractionControl* ui, const int& triggle) = 0;
    // The number of registrations removed, 0 or 1.
    virtual int RemoveInteraction(CInteractionControl* ui) = 0;
    // Null pointers are skipped.
    virtual void GetNetStates(int* tim, int* ws, int* trtc) = 0;
};

namespace Aux {
namespace AuxNetMon {

// The monitor, created on the first call; null after Exit, for the rest of
// the process.
SERVICE_API INetMon* GetNetMon();
// Closes the family for good: registered controls and interactions are not
// called after it returns. A pointer GetNetMon gave earlier stays valid for
// the process and reaches a closed monitor, which calls nobody.
SERVICE_API void Exit();

}  // namespace AuxNetMon
}  // namespace Aux

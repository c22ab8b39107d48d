#pragma once
// ServiceEvent: the signals through which the library reports asynchronous
// outcomes. Each accessor returns a process-wide signal that is created on
// first use (safe when several threads get there at once) and lives until
// the library is unloaded. Signals are emitted on the thread on which the
// underlying event arrived; see docs/architecture.md.
//
// Records handed to a receiver (IXData*) are only borrowed for the call; a
// receiver that keeps one adds its own reference.

#include "pelbo/compat/StringW.h"
#include "pelbo/core/EventSignal.h"
#include "pelbo/core/ServiceExport.h"
#include "pelbo/core/UniKey.h"
#include "pelbo/corekit/XData.h"

class SERVICE_API ServiceEvent {
public:
    // Result code, request kind (core/RequestKind.h), result record or null.
    static event::common_signal3<int, unsigned int, IXData*>& HttpsServiceEvent();
    // 1 when the picture was stored, 0 when given up; owner; file path.
    static event::common_signal3<int, UniKey, const wchar_t*>& UpdatePicture();
    // Download result code; query text of the request.
    static event::common_signal2<int, const wchar_t*>& QRCodeDonload();
    static event::common_signal3<int, const wchar_t*, IXData*>& EnterMeeting();
    static event::common_signal2<int, IXData*>& RoomStatusGet();
    static event::common_signal1<int>& ConnectResult();
    static event::common_signal0& DisConnect();
    static event::common_signal1<IXData*>& AddMaterItem();
    static event::common_signal1<unsigned int>& UpdateMaterCount();
    // New version, download address, MD5 digest of the installer.
    static event::common_signal3<CStringW, CStringW, CStringW>& UpdatePelboVersion();
    // For the client's own use; the library never emits it.
    static event::common_signal1<unsigned int>& JoinMeetingSure();
};

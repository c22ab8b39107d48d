#pragma once
// Aux::UserConfig: the per-machine settings in "GloabConfig.ini" in the data
// folder, section "Tarsel_Global_Data". Every call opens the file, reads or
// writes one key and returns; nothing is kept in memory (but "LastMsgID",
// below), so each call sees what the previous one wrote, also from another
// thread or process. A missing or unreadable file reads as the defaults
// below; a failed write is dropped. Text values are written whole but read
// back as at most 259 characters.

#include <cstdint>

#include "pelbo/compat/StringW.h"
#include "pelbo/core/ServiceExport.h"

namespace Aux {
namespace UserConfig {

// "Local_GUID", the installation's GUID; empty when unset.
SERVICE_API CStringW GetLocalGUID();
SERVICE_API void SetLocalGUID(CStringW guid);
// "Auto_Login"; 0 when unset.
SERVICE_API int GetAutoLogin();
SERVICE_API void SetAutoLogin(int autoLogin);
// "Carema_DevName", the chosen camera; empty when unset.
SERVICE_API CStringW GetCaremaDevName();
SERVICE_API void SetCaremaDevName(CStringW name);
// "Micro_DevName", the chosen microphone; empty when unset.
SERVICE_API CStringW GetMicroDevName();
SERVICE_API void SetMicroDevName(CStringW name);
// "Unique_ID", kept as the signed decimal of its 32-bit pattern.
SERVICE_API unsigned GetUniqueID();
SERVICE_API void SetUniqueID(unsigned id);
// "LastMsgID", the last message id from the server, all 64 bits; text that
// does not begin with digits reads 0. It moves with every push from the
// server, so a new value is kept in memory, where this process reads it back
// at once, and written to the file by a thread of its own a few times a
// second. FlushLastMsgID writes it at once and ends that thread (the session
// does at its exit and stop; the process's end does too).
SERVICE_API int64_t GetLastMsgID();
SERVICE_API void SetLastMsgID(int64_t id);
SERVICE_API void FlushLastMsgID();
// "Pelbo_Ver", the newest client version announced.
SERVICE_API CStringW GetPelboVer();
SERVICE_API void SetPelboVer(CStringW version);
// "Pelbo_Json", the manifest that announced it.
SERVICE_API CStringW GetVersionJson();
SERVICE_API void SetVersionJson(CStringW json);
// "Pelbo_Update"; 0 when unset.
SERVICE_API int GetPelboUpdate();
// "Pelbo_ChairMax_Count"; 9 when unset or 0.
SERVICE_API int GetChairmainMaxCount();
// 1 while the material-preview tip is still to be shown ("MaterPreviewTip"
// unset or 0), 0 once ClearMaterPreviewTip stored 1.
SERVICE_API int GetMaterPreviewTip();
SERVICE_API void ClearMaterPreviewTip();

}  // namespace UserConfig
}  // namespace Aux

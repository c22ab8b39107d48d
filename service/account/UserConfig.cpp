#include "pelbo/account/UserConfig.h"

#include <string>

#include "pelbo/account/IniFile.h"
#include "pelbo/account/IniWriteBehind.h"
#include "pelbo/compat/WtoI.h"
#include "pelbo/core/ExportGuard.h"
#include "pelbo/corekit/Path.h"

namespace Aux {
namespace UserConfig {
namespace {

using Account::CIniFile;
using Account::CIniWriteBehind;

constexpr wchar_t kSection[] = L"Tarsel_Global_Data";
constexpr wchar_t kFileName[] = L"GloabConfig.ini";
constexpr wchar_t kLastMsgIdKey[] = L"LastMsgID";
constexpr int kDefaultChairMaxCount = 9;
// The server's message sequence moves with every push, up to thousands a
// second; it is written at most this often.
constexpr unsigned kLastMsgIdWriteMs = 200;

// The path is formed anew on every call: the data folder may change
// between calls (a test or another user root).
std::wstring FilePath()
{
    const CStringW folder = Util::Path::GetDataFolder(0);
    return folder.IsEmpty() ? std::wstring() : (folder + L"/" + kFileName).str();
}

void OpenFile(CIniFile& file)
{
    file.SetPath(FilePath().c_str());
}

CIniWriteBehind& LastMsgIdWriter()
{
    static CIniWriteBehind writer(kLastMsgIdWriteMs);
    return writer;
}

CStringW ReadText(const wchar_t* key)
{
    CIniFile file;
    OpenFile(file);
    return file.ReadString(kSection, key);
}

int ReadInt(const wchar_t* key)
{
    CIniFile file;
    OpenFile(file);
    return file.ReadInt(kSection, key);
}

void WriteText(const wchar_t* key, const CStringW& value)
{
    CIniFile file;
    OpenFile(file);
    file.WriteString(kSection, key, value);
}

void WriteInt(const wchar_t* key, int value)
{
    CIniFile file;
    OpenFile(file);
    file.WriteInt(kSection, key, value);
}

}  // namespace

CStringW GetLocalGUID()
{
    return Frame::GuardExport(L"Aux::UserConfig::GetLocalGUID", CStringW(), [] { return ReadText(L"Local_GUID"); });
}

void SetLocalGUID(CStringW guid)
{
    Frame::GuardExport(L"Aux::UserConfig::SetLocalGUID", [&] { WriteText(L"Local_GUID", guid); });
}

int GetAutoLogin()
{
    return Frame::GuardExport(L"Aux::UserConfig::GetAutoLogin", 0, [] { return ReadInt(L"Auto_Login"); });
}

void SetAutoLogin(int autoLogin)
{
    Frame::GuardExport(L"Aux::UserConfig::SetAutoLogin", [&] { WriteInt(L"Auto_Login", autoLogin); });
}

CStringW GetCaremaDevName()
{
    return Frame::GuardExport(L"Aux::UserConfig::GetCaremaDevName", CStringW(),
                              [] { return ReadText(L"Carema_DevName"); });
}

void SetCaremaDevName(CStringW name)
{
    Frame::GuardExport(L"Aux::UserConfig::SetCaremaDevName", [&] { WriteText(L"Carema_DevName", name); });
}

CStringW GetMicroDevName()
{
    return Frame::GuardExport(L"Aux::UserConfig::GetMicroDevName", CStringW(),
                              [] { return ReadText(L"Micro_DevName"); });
}

void SetMicroDevName(CStringW name)
{
    Frame::GuardExport(L"Aux::UserConfig::SetMicroDevName", [&] { WriteText(L"Micro_DevName", name); });
}

unsigned GetUniqueID()
{
    return Frame::GuardExport(L"Aux::UserConfig::GetUniqueID", 0u,
                              [] { return static_cast<unsigned>(ReadInt(L"Unique_ID")); });
}

void SetUniqueID(unsigned id)
{
    // Written as the signed decimal of the same 32 bits; the reader turns
    // it back.
    Frame::GuardExport(L"Aux::UserConfig::SetUniqueID", [&] { WriteInt(L"Unique_ID", static_cast<int>(id)); });
}

int64_t GetLastMsgID()
{
    return Frame::GuardExport(L"Aux::UserConfig::GetLastMsgID", int64_t{0}, [] {
        std::wstring waiting;
        const CStringW text = LastMsgIdWriter().Peek(FilePath(), kSection, kLastMsgIdKey, &waiting)
                                  ? CStringW(waiting)
                                  : ReadText(kLastMsgIdKey);
        return text.IsEmpty() ? int64_t{0} : static_cast<int64_t>(Compat::WtoI64(text));
    });
}

void SetLastMsgID(int64_t id)
{
    Frame::GuardExport(L"Aux::UserConfig::SetLastMsgID", [&] {
        const std::wstring path = FilePath();
        // Without a usable path the write is refused (and logged) at once.
        if (path.empty() || path.size() >= static_cast<size_t>(CIniFile::kBufferChars))
            return WriteText(kLastMsgIdKey, CStringW(std::to_wstring(id)));
        LastMsgIdWriter().Put(path, kSection, kLastMsgIdKey, std::to_wstring(id));
    });
}

void FlushLastMsgID()
{
    Frame::GuardExport(L"Aux::UserConfig::FlushLastMsgID", [] { LastMsgIdWriter().Flush(); });
}

CStringW GetPelboVer()
{
    return Frame::GuardExport(L"Aux::UserConfig::GetPelboVer", CStringW(), [] { return ReadText(L"Pelbo_Ver"); });
}

void SetPelboVer(CStringW version)
{
    Frame::GuardExport(L"Aux::UserConfig::SetPelboVer", [&] { WriteText(L"Pelbo_Ver", version); });
}

CStringW GetVersionJson()
{
    return Frame::GuardExport(L"Aux::UserConfig::GetVersionJson", CStringW(),
                              [] { return ReadText(L"Pelbo_Json"); });
}

void SetVersionJson(CStringW json)
{
    Frame::GuardExport(L"Aux::UserConfig::SetVersionJson", [&] { WriteText(L"Pelbo_Json", json); });
}

int GetPelboUpdate()
{
    return Frame::GuardExport(L"Aux::UserConfig::GetPelboUpdate", 0, [] { return ReadInt(L"Pelbo_Update"); });
}

int GetChairmainMaxCount()
{
    return Frame::GuardExport(L"Aux::UserConfig::GetChairmainMaxCount", kDefaultChairMaxCount, [] {
        const int stored = ReadInt(L"Pelbo_ChairMax_Count");
        return stored == 0 ? kDefaultChairMaxCount : stored;
    });
}

int GetMaterPreviewTip()
{
    return Frame::GuardExport(L"Aux::UserConfig::GetMaterPreviewTip", 1,
                              [] { return ReadInt(L"MaterPreviewTip") == 0 ? 1 : 0; });
}

void ClearMaterPreviewTip()
{
    Frame::GuardExport(L"Aux::UserConfig::ClearMaterPreviewTip", [] { WriteText(L"MaterPreviewTip", L"1"); });
}

}  // namespace UserConfig
}  // namespace Aux

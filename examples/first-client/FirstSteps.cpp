#include "FirstSteps.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "Awaited.h"
#include "DocumentUpload.h"
#include "pelbo/account/LoginApi.h"
#include "pelbo/account/UserCache.h"
#include "pelbo/core/EventSignal.h"
#include "pelbo/core/RequestKind.h"
#include "pelbo/core/ServiceEvent.h"
#include "pelbo/core/UniKey.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Log.h"
#include "pelbo/corekit/Path.h"
#include "pelbo/corekit/Text.h"
#include "pelbo/keepsafe/Profile.h"
#include "pelbo/meetings/MeetingApi.h"
#include "pelbo/session/WebsocketApi.h"
#include "pelbo/transfers/PicDownloadApi.h"
#include "pelbo/version/VersionApi.h"

namespace {

using std::chrono::seconds;

// How long each wait lasts. A REST result comes within request_timeout_ms
// (30 s unless the settings say otherwise); a session reply within 10 s, a
// connection attempt within a few 10 s phases; uploads and downloads take
// their transfer's time on top of that.
constexpr seconds kRestPatience{35};
constexpr seconds kSessionPatience{35};
constexpr seconds kRoomPatience{15};
constexpr seconds kTransferPatience{90};

// The document the upload step writes and sends: 3 MiB, enough for a few
// progress reports.
constexpr const char* kDocumentName = "first-client-notes.pdf";
constexpr size_t kDocumentBytes = 3u << 20;

// A head picture the local server draws for any picture id.
constexpr uint64_t kPictureId = 7;

// The library takes wide text; the command line and the output are UTF-8.
std::wstring Wide(const std::string& text)
{
    return Util::Convert::Utf8_2_W(text);
}

std::string Narrow(const CStringW& text)
{
    return Util::Convert::W_2_Utf8(text.str());
}

// A token signs in without a password: show no more than its beginning.
std::string Masked(const CStringW& token)
{
    const std::string text = Narrow(token);
    return text.size() <= 4 ? std::string("***") : text.substr(0, 2) + "***";
}

CStringW Str(IXData* record, const wchar_t* key)
{
    CStringW value;
    if (record != nullptr)
        record->GetIXDataStr(key, value);
    return value;
}

uint32_t U32(IXData* record, const wchar_t* key)
{
    uint32_t value = 0;
    if (record != nullptr)
        record->GetIXDataU32(key, value);
    return value;
}

bool Report(bool ok, const char* step, const std::string& text)
{
    std::printf("%-4s %s: %s\n", ok ? "ok" : "FAIL", step, text.c_str());
    std::fflush(stdout);
    return ok;
}

// What a REST result code means for the steps here (docs/errors.md has
// every code).
std::string RestCodeText(int code)
{
    switch (code) {
    case -1:
        return "code -1: no usable answer (check the REST address and the CA bundle; the log line "
               "\"Request <id> to <address> failed\" names the cause)";
    case 1002:
        return "code 1002: the token is missing, unknown or expired";
    case 1003:
        return "code 1003: no account for this phone";
    case 1004:
        return "code 1004: wrong password";
    default:
        return "code " + std::to_string(code) + ": refused by the service";
    }
}

struct RestResult {
    int code = -1;
    XDataPtr<IXData> record;
};

// Sends one REST request with send (non-zero when accepted) and waits for
// its result, which HttpsServiceEvent brings on netcall's I/O thread. The
// record is borrowed for the signal's call: a reference is added to keep it.
// nullopt, with why filled in, when nothing was sent or nothing came in time.
std::optional<RestResult> CallRest(unsigned kind, const std::function<int()>& send, std::string& why)
{
    Awaited<RestResult> result;
    const event::scoped_connection connection =
        ServiceEvent::HttpsServiceEvent().connect([&result, kind](int code, unsigned resultKind, IXData* record) {
            if (resultKind != kind)
                return;
            if (record != nullptr)
                record->AddRef();
            result.Set(RestResult{code, XDataPtr<IXData>(record)});
        });
    if (send() == 0) {
        why = "the request was not sent (the HTTPS service refused it)";
        return std::nullopt;
    }
    std::optional<RestResult> arrived = result.Wait(kRestPatience);
    if (!arrived)
        why = "no result within " + std::to_string(kRestPatience.count()) + " s";
    return arrived;
}

// "YYYY-MM-DD HH:MM:SS" in UTC, the way the service compares start times.
std::wstring UtcTimeText(std::time_t when)
{
    char text[32] = {};
    const std::tm* utc = std::gmtime(&when);
    if (utc == nullptr || std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", utc) == 0)
        return std::wstring();
    return Wide(text);
}

// Bytes that compress badly, like a real document's. The path is UTF-8,
// which u8path keeps on Windows too.
bool WriteDocument(const std::string& path)
{
    std::ofstream out(std::filesystem::u8path(path), std::ios::binary | std::ios::trunc);
    uint32_t value = 2166136261u;
    for (size_t i = 0; i < kDocumentBytes && out; ++i) {
        value = value * 1664525u + 1013904223u;
        out.put(static_cast<char>(value >> 24));
    }
    out.close();
    return static_cast<bool>(out);
}

const char* ConnectResultText(int code)
{
    switch (code) {
    case 0:
        return "logged in";
    case 1004:
        return "the account is logged in elsewhere (Connect(1) takes over)";
    case 10000000:
        return "\"connect\" got no reply in time";
    case 10000001:
        return "\"connect\" refused: above all, the token in the login item is not live";
    case 10000006:
        return "could not connect: check the websocket address and the CA bundle";
    default:
        return "see the session's error table";
    }
}

}  // namespace

FirstSteps::FirstSteps(Options options) : m_options(std::move(options)) {}

bool FirstSteps::ApplySettings()
{
    // First of all the data folder: the library reads its settings file from
    // there and keeps its log, profile store and pictures in it.
    Util::Path::SetRootFolder(Wide(m_options.data).c_str());

    // The local server serves the websocket session at <base>/ws and the
    // version manifest beside its REST routes; a deployment names its own
    // addresses (here or in the settings file, docs/configuration.md).
    const std::string& base = m_options.server;
    const bool tls = base.rfind("https://", 0) == 0;
    const std::string afterScheme = base.substr(base.find("://") + 3);
    const std::string websocket = (tls ? "wss://" : "ws://") + afterScheme + "/ws";
    Http::SetHttpUrlHead(Wide(base).c_str());
    Http::SetWSSUrl(Wide(websocket).c_str());
    Http::SetManifestUrl(Wide(base + "/upgrade/pelbo-version.json").c_str());
    if (!m_options.ca.empty())
        Http::SetCaBundle(Wide(m_options.ca).c_str());

    // The local server keeps the object storage behind its own port, reached
    // as "<endpoint>.localhost:<port>", and with TLS it speaks TLS there too:
    // the documents then travel over https.
    const std::string authority = afterScheme.substr(0, afterScheme.find('/'));
    const size_t colon = authority.rfind(':');
    const bool hasPort = colon != std::string::npos && authority.find(']', colon) == std::string::npos;
    Http::SetOssDomainSuffix(Wide(".localhost" + (hasPort ? authority.substr(colon) : std::string())).c_str());
    if (Http::SetOssScheme(tls ? L"https" : L"http") == 0)
        return Report(false, "settings", "the storage scheme was not taken");
    // Updates come over https only; a local server without TLS needs the
    // development switch for its manifest.
    if (!tls)
        Http::SetAllowHttpUpdates(1);

    return Report(true, "settings",
                  "REST " + Narrow(Http::GetHttpUrlHead()) + ", websocket " + Narrow(Http::GetWSSUrl()) +
                      ", storage " + Narrow(Http::GetOssScheme()) + "://<endpoint>" +
                      Narrow(Http::GetOssDomainSuffix()) + ", CA " +
                      (m_options.ca.empty() ? std::string("the system's store") : Narrow(Http::GetCaBundle())) +
                      ", log " + Util::Convert::W_2_Utf8(Util::Log::GetLogFilePath()));
}

bool FirstSteps::SignIn()
{
    // The password is sent as its MD5; the record comes with the result.
    const std::wstring phone = Wide(m_options.phone);
    const std::wstring password = Wide(m_options.password);
    std::string why;
    const std::optional<RestResult> result = CallRest(
        RequestKind::kAccountLogin, [&] { return LoginApi::AccountLogin(phone.c_str(), password.c_str()); }, why);
    if (!result)
        return Report(false, "sign-in", why);
    if (result->code != 0)
        return Report(false, "sign-in", RestCodeText(result->code));
    IXData* record = result->record.get();
    if (U32(record, L"UserID") == 0 || Str(record, L"Token").IsEmpty())
        return Report(false, "sign-in", "code 0, but the record holds no user id or no token");
    m_signIn = result->record;
    return Report(true, "sign-in",
                  "user " + std::to_string(U32(record, L"UserID")) + " \"" + Narrow(Str(record, L"UserName")) +
                      "\" of corporation " + std::to_string(U32(record, L"CorpID")) + " \"" +
                      Narrow(Str(record, L"CorpName")) + "\", token " + Masked(Str(record, L"Token")));
}

bool FirstSteps::KeepSignedInUser()
{
    // Signing in stores nothing. The session and the uploads read the token
    // (and the user cache every other value) from the user's login item in
    // the profile store, which only the client writes: the keys and types
    // are those of docs/api-user.md, "The login item".
    IXData* signIn = m_signIn.get();
    const uint32_t userId = U32(signIn, L"UserID");
    XDataPtr<IXData> item;
    if (CreateIXData(item.Receive(), 0) == 0 || !item)
        return Report(false, "login item", "no record could be made");
    item->SetIXDataStr(L"name", Str(signIn, L"UserName"));
    item->SetIXDataStr(L"head_url", Str(signIn, L"UserHead"));
    item->SetIXDataStr(L"phone", Str(signIn, L"Phone"));
    item->SetIXDataU32(L"corp_id", U32(signIn, L"CorpID"));
    item->SetIXDataU32(L"cur_corp_id", U32(signIn, L"CorpID"));
    item->SetIXDataStr(L"cur_corp_name", Str(signIn, L"CorpName"));
    item->SetIXDataStr(L"token", Str(signIn, L"Token"));
    item->SetIXDataStr(L"wechat_nick", Str(signIn, L"WeChatNick"));
    if (Aux::Profile::Global::SaveLoginItem(userId, item.get()) == 0)
        return Report(false, "login item", "the profile store did not keep it (the log's CProfileDb lines say why)");
    // The user cache answers for the user whose id it holds; the user's own
    // files (head pictures) go into a folder of the user's own.
    Aux::UserCache::SetUserID(userId, 0);
    Util::Path::SetUserFolderName(std::to_wstring(userId).c_str());

    if (Aux::UserCache::GetUserID() != userId || Aux::UserCache::GetToken() != Str(signIn, L"Token"))
        return Report(false, "login item", "the user cache does not read back the signed-in user");
    return Report(true, "login item",
                  "user " + std::to_string(Aux::UserCache::GetUserID()) + " kept in " +
                      Narrow(Aux::Profile::Global::GetStorePath()) + "; the user cache reads name \"" +
                      Narrow(Aux::UserCache::GetUserNameW()) + "\", corporation " +
                      std::to_string(Aux::UserCache::GetCurCorpID()) + ", token " +
                      Masked(Aux::UserCache::GetToken()));
}

bool FirstSteps::CreateMeeting()
{
    XDataPtr<IXData> meeting;
    if (CreateIXData(meeting.Receive(), 0) == 0 || !meeting)
        return Report(false, "meeting", "no record could be made");
    meeting->SetIXDataU32(L"CorpID", Aux::UserCache::GetCurCorpID());
    meeting->SetIXDataStr(L"MeetingName", L"First client's meeting");
    meeting->SetIXDataStr(L"StartTime", UtcTimeText(std::time(nullptr) + 3600).c_str());
    meeting->SetIXDataU32(L"Duration", 30);
    const CStringW token = Aux::UserCache::GetToken();
    std::string why;
    const std::optional<RestResult> result = CallRest(
        RequestKind::kCreateMeeting, [&] { return MeetingApi::CreateMeeting(token, meeting.get()); }, why);
    if (!result)
        return Report(false, "meeting", why);
    if (result->code != 0)
        return Report(false, "meeting", RestCodeText(result->code));
    m_roomCode = Str(result->record.get(), L"RoomCode");
    if (m_roomCode.IsEmpty())
        return Report(false, "meeting", "code 0, but no room code");
    return Report(true, "meeting",
                  "room " + Narrow(m_roomCode) + " \"" + Narrow(Str(result->record.get(), L"RoomName")) +
                      "\" starts " + Narrow(Str(result->record.get(), L"StartTime")) + " UTC, " +
                      Narrow(Str(result->record.get(), L"RoomURL")));
}

bool FirstSteps::StartSession()
{
    // ConnectResult arrives on wirelink's I/O thread.
    Awaited<int> connected;
    const event::scoped_connection connection =
        ServiceEvent::ConnectResult().connect([&connected](int code) { connected.Set(code); });
    // Init sets the transport up for the user the user cache holds; the
    // "connect" that follows carries the token of the user's login item.
    if (WebsocketApi::Init() == 0)
        return Report(false, "session", "WebsocketApi::Init returned 0: nobody is signed in, or it ran before");
    const int started = WebsocketApi::StartConn(0, 0);
    const std::optional<int> code = connected.Wait(kSessionPatience);
    if (!code)
        return Report(false, "session",
                      started == 0 ? "StartConn returned 0 and nothing came: check the websocket address"
                                   : "no ConnectResult within " + std::to_string(kSessionPatience.count()) + " s");
    if (*code != 0)
        return Report(false, "session", "ConnectResult " + std::to_string(*code) + ": " + ConnectResultText(*code));
    return Report(true, "session",
                  "ConnectResult 0 at " + Narrow(Http::GetWSSUrl()) + ", connection state " +
                      std::to_string(WebsocketApi::GetConnSate()));
}

bool FirstSteps::EnterRoom()
{
    struct Entered {
        int code = -1;
        CStringW roomName;
        bool chairman = false;
    };
    // EnterMeeting arrives on wirelink's I/O thread; the reply record is
    // borrowed for the call, so the values are copied out.
    Awaited<Entered> entered;
    const CStringW roomCode = m_roomCode;
    const event::scoped_connection connection = ServiceEvent::EnterMeeting().connect(
        [&entered, roomCode](int code, const wchar_t* room, IXData* reply) {
            if (room == nullptr || roomCode != room)
                return;
            Entered result;
            result.code = code;
            result.roomName = Str(reply, L"RoomName");
            if (reply != nullptr)
                reply->GetIXDataBool(L"IsChairman", result.chairman);
            entered.Set(result);
        });
    if (MeetingApi::JoinMeeting(Aux::UserCache::GetUserNameW(), roomCode, Aux::UserCache::GetUserHeadURL()) == 0)
        return Report(false, "room", "\"room.join\" was not sent: no session set up");
    const std::optional<Entered> result = entered.Wait(kRoomPatience);
    if (!result)
        return Report(false, "room", "no EnterMeeting within " + std::to_string(kRoomPatience.count()) + " s");
    if (result->code != 0)
        return Report(false, "room",
                      "EnterMeeting " + std::to_string(result->code) +
                          (result->code == -1 ? ": no reply in time" : result->code == 2001 ? ": no such room" : ""));
    return Report(true, "room",
                  "EnterMeeting 0: in \"" + Narrow(result->roomName) + "\" (" + Narrow(roomCode) + ")" +
                      (result->chairman ? " as its chairman" : ""));
}

bool FirstSteps::UploadDocument()
{
    const std::string path = Narrow(Util::Path::GetRootFolder()) + "/" + kDocumentName;
    if (!WriteDocument(path))
        return Report(false, "upload", "cannot write " + path);
    // The ticket request carries the token of the user's login item.
    DocumentUpload upload{CStringW(Wide(path))};
    const int started = upload.Start();
    if (started != 0)
        return Report(false, "upload", "AddUpLoadFile returned " + std::to_string(started) + " for " + path);
    const std::optional<DocumentUpload::Result> result = upload.Wait(kTransferPatience);
    if (!result)
        return Report(false, "upload", "no result within " + std::to_string(kTransferPatience.count()) + " s");
    if (result->code != 0)
        return Report(false, "upload",
                      "OnUploadResult " + std::to_string(result->code) +
                          (result->code == 4   ? ": no upload ticket (is the token in the login item live?)"
                           : result->code == 3 ? ": the transfer failed (storage suffix, scheme, CA bundle)"
                                               : ""));
    if (result->progressReports == 0 || result->sent != kDocumentBytes || result->total != kDocumentBytes)
        return Report(false, "upload", "stored, but the progress reports did not end with the whole file");
    return Report(true, "upload",
                  std::string(kDocumentName) + " (" + std::to_string(kDocumentBytes) + " bytes) stored as file " +
                      std::to_string(result->fileId) + " at " + Narrow(result->fileUrl) + "; " +
                      std::to_string(result->progressReports) + " progress report(s)");
}

bool FirstSteps::DownloadHeadPicture()
{
    CStringW address = Aux::UserCache::GetUserHeadURL();
    if (address.IsEmpty()) {
        // A new account has no head picture. Choosing one changes the
        // profile; the service names the picture's address in the next
        // sign-in's UserHead, which then goes into the login item.
        const CStringW token = Aux::UserCache::GetToken();
        const CStringW name = Aux::UserCache::GetUserNameW();
        std::string why;
        const std::optional<RestResult> changed = CallRest(
            RequestKind::kModifyUserProfile, [&] { return LoginApi::ModifyUserProfile(token, name, kPictureId); },
            why);
        if (!changed || changed->code != 0)
            return Report(false, "head picture",
                          "the profile change failed: " + (changed ? RestCodeText(changed->code) : why));
        if (!SignIn() || !KeepSignedInUser())
            return false;
        address = Aux::UserCache::GetUserHeadURL();
    }
    // An address relative to the REST base would be given up at once:
    // PicDownloadApi takes absolute http(s) addresses only.
    const std::string text = Narrow(address);
    if (text.rfind("http://", 0) != 0 && text.rfind("https://", 0) != 0)
        return Report(false, "head picture", "the service gave no absolute address: \"" + text + "\"");

    struct Picture {
        int result = 0;
        CStringW path;
    };
    // UpdatePicture arrives on fetcher's I/O thread.
    Awaited<Picture> stored;
    const UniKey owner(KEY_TYPE_USER, Aux::UserCache::GetUserID());
    const event::scoped_connection connection = ServiceEvent::UpdatePicture().connect(
        [&stored, owner](int result, UniKey key, const wchar_t* path) {
            if (key == owner)
                stored.Set(Picture{result, CStringW(path != nullptr ? path : L"")});
        });
    PicDownloadApi::AppendTask(owner, address);
    const std::optional<Picture> picture = stored.Wait(kTransferPatience);
    if (!picture)
        return Report(false, "head picture",
                      "no UpdatePicture within " + std::to_string(kTransferPatience.count()) + " s");
    if (picture->result != 1)
        return Report(false, "head picture", "UpdatePicture 0: given up (four failed downloads) for " + text);
    if (Util::Path::IsFileExist(picture->path) == 0)
        return Report(false, "head picture", "UpdatePicture 1, but no file at " + Narrow(picture->path));
    return Report(true, "head picture", text + " stored as " + Narrow(picture->path));
}

bool FirstSteps::CheckVersion()
{
    // UpdatePelboVersion arrives on netcall's I/O thread, only when a newer
    // release is announced: an up-to-date client and a failed check hear
    // nothing (the log's CCheckVersionMgr lines tell them apart).
    Awaited<CStringW> announced;
    const event::scoped_connection connection = ServiceEvent::UpdatePelboVersion().connect(
        [&announced](CStringW version, CStringW, CStringW) { announced.Set(version); });
    Aux::Version::CheckVersion();
    const std::optional<CStringW> version = announced.Wait(kRestPatience);
    if (!version)
        return Report(true, "version",
                      "no newer release announced within " + std::to_string(kRestPatience.count()) +
                          " s (up to date, or the check failed: see the log)");
    // The updater is started with the library's arguments, never the
    // client's own: they carry the installer's size and digests.
    return Report(true, "version",
                  "release " + Narrow(*version) + " announced; the updater would run as: Tidewell " +
                      Narrow(Aux::Version::GetUpdaterArguments()));
}

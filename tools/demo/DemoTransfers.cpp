// Uploads family: a document and the service's log file go into object
// storage with progress bars, and the stored objects are shown.
// Pictures family: the signed-in user's head picture and a meeting QR code
// are downloaded into the data folder, and the stored files are shown.

#include <condition_variable>
#include <cstdio>
#include <iterator>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>

#include "DemoSteps.h"
#include "pelbo/account/UserCache.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/Path.h"
#include "devserver/DevServer.h"
#include "devserver/PictureMaker.h"
#include "devserver/Routes.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Log.h"
#include "devserver/ObjectStore.h"
#include "devserver/State.h"
#include "pelbo/transfers/OssUploadApi.h"
#include "pelbo/transfers/OssUploadLogApi.h"
#include "pelbo/transfers/PicDownloadApi.h"
#include "pelbo/transfers/QRCodeApi.h"

namespace Demo {

namespace {

namespace fs = std::filesystem;

// A QR code of the share page for this room, as the client asks for it.
const wchar_t* const kShareQuery = L"room=123456&from=pc";

// Hears the first UpdatePicture for one owner and the first QRCodeDonload
// for one query, on the download service's thread.
class DownloadWaiter {
public:
    struct Picture {
        int result = 0;
        std::wstring path;
    };

    DownloadWaiter(const UniKey& owner, std::wstring query)
        : m_owner(owner),
          m_query(std::move(query)),
          m_pictures(ServiceEvent::UpdatePicture().connect([this](int result, UniKey key, const wchar_t* path) {
              std::lock_guard<std::mutex> guard(m_lock);
              if (key == m_owner && !m_picture)
                  m_picture = Picture{result, path != nullptr ? path : L""};
              m_arrived.notify_all();
          })),
          m_qrCodes(ServiceEvent::QRCodeDonload().connect([this](int code, const wchar_t* query) {
              std::lock_guard<std::mutex> guard(m_lock);
              if (query != nullptr && m_query == query && !m_qrCode)
                  m_qrCode = code;
              m_arrived.notify_all();
          }))
    {
    }

    std::optional<Picture> WaitPicture(int seconds)
    {
        std::unique_lock<std::mutex> guard(m_lock);
        m_arrived.wait_for(guard, std::chrono::seconds(seconds), [this] { return m_picture.has_value(); });
        return m_picture;
    }

    std::optional<int> WaitQrCode(int seconds)
    {
        std::unique_lock<std::mutex> guard(m_lock);
        m_arrived.wait_for(guard, std::chrono::seconds(seconds), [this] { return m_qrCode.has_value(); });
        return m_qrCode;
    }

private:
    const UniKey m_owner;
    const std::wstring m_query;
    std::mutex m_lock;
    std::condition_variable m_arrived;
    std::optional<Picture> m_picture;
    std::optional<int> m_qrCode;
    event::scoped_connection m_pictures;
    event::scoped_connection m_qrCodes;
};

std::string Utf8(const std::wstring& text)
{
    return ToMultiByte(text.c_str(), CP_UTF8);
}

bool IsHttpAddress(const std::string& url)
{
    return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
}

// Width and height from a PNG file's header; nullopt when it is no PNG.
std::optional<std::pair<uint32_t, uint32_t>> PngSize(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    unsigned char head[24] = {};
    if (!in.read(reinterpret_cast<char*>(head), sizeof(head)))
        return std::nullopt;
    static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (!std::equal(kSignature, kSignature + 8, head))
        return std::nullopt;
    auto be32 = [&head](int at) {
        return static_cast<uint32_t>(head[at]) << 24 | static_cast<uint32_t>(head[at + 1]) << 16 |
               static_cast<uint32_t>(head[at + 2]) << 8 | static_cast<uint32_t>(head[at + 3]);
    };
    return std::make_pair(be32(16), be32(20));
}

bool ShowPng(const char* what, const std::wstring& path)
{
    const auto size = PngSize(fs::path(path));
    if (!size) {
        Fail("%s %s is not a PNG file", what, Utf8(path).c_str());
        return false;
    }
    std::error_code ignored;
    Ok("%s stored: %s (%ux%u PNG, %ju bytes)", what, Utf8(path).c_str(), size->first, size->second,
       static_cast<uintmax_t>(fs::file_size(fs::path(path), ignored)));
    return true;
}

// ---- Uploads (OssUploadApi, OssUploadLogApi) ------------------------------

// One sink for both families: draws a progress bar and hands the result to
// the waiting thread. Called on the upload library's thread.
template <typename Interface>
class UploadWaiter : public Interface {
public:
    struct Result {
        int code = -1;
        unsigned long long fileId = 0;
        std::wstring url;
    };

    UploadWaiter() = default;
    virtual ~UploadWaiter() = default;

    void OnUploadProgress(unsigned long long, CStringW, unsigned long long sent, unsigned long long total,
                          unsigned long long speed) override
    {
        const int percent = total > 0 ? static_cast<int>(sent * 100 / total) : 100;
        std::lock_guard<std::mutex> guard(m_lock);
        // One line at each quarter: the output may go to a file or a CI log.
        if (percent < m_nextQuarter)
            return;
        m_nextQuarter = (percent / 25 + 1) * 25;
        const int filled = percent / 5;
        std::printf("          [%s%s] %3d%%  %7.2f / %.2f MiB  %6.1f MiB/s\n",
                    std::string(static_cast<size_t>(filled), '#').c_str(),
                    std::string(static_cast<size_t>(20 - filled), '.').c_str(), percent, sent / 1048576.0,
                    total / 1048576.0, speed / 1048576.0);
        std::fflush(stdout);
    }

    void OnUploadResult(int code, unsigned long long fileId, CStringW, CStringW url) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_result = Result{code, fileId, url.str()};
        m_arrived.notify_all();
    }

    std::optional<Result> Wait(int seconds)
    {
        std::unique_lock<std::mutex> guard(m_lock);
        m_arrived.wait_for(guard, std::chrono::seconds(seconds), [this] { return m_result.has_value(); });
        return m_result;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_arrived;
    std::optional<Result> m_result;
    int m_nextQuarter = 0;
};

// Bytes of a document that compresses badly, like a real one.
bool MakeDocument(const fs::path& path, size_t size)
{
    std::ofstream out(path, std::ios::binary);
    uint32_t value = 2166136261u;
    for (size_t i = 0; i < size; ++i) {
        value = value * 1664525u + 1013904223u;
        out.put(static_cast<char>(value >> 24));
    }
    return static_cast<bool>(out);
}

template <typename Waiter>
bool ReportUpload(Context& context, Waiter& waiter, const char* what)
{
    const auto result = waiter.Wait(context.options.timeoutSeconds * 4);
    if (!result) {
        Fail("no result for the %s within %d s", what, context.options.timeoutSeconds * 4);
        return false;
    }
    if (result->code != 0) {
        Fail("the %s upload ended with code %d", what, result->code);
        return false;
    }
    Ok("%s stored as file %llu, %s", what, result->fileId, Utf8(result->url).c_str());
    return true;
}

}  // namespace

bool RunUploadsSteps(Context& context)
{
    if (context.localServer == nullptr && !EnsureSignedIn(context))
        return false;
    if (Aux::UserCache::GetToken().IsEmpty() && !context.token.empty())
        Aux::UserCache::SetToken(CStringW(ToWide(context.token.c_str(), CP_UTF8)));
    // The local server's object storage: the settings file names its port
    // and the https scheme, so the documents travel encrypted.
    DevServer::Server* storageServer = context.localServer;

    bool ok = true;
    BeginStep(context, "document upload, 12 MiB in parts (OssUploadApi)");
    const fs::path document = fs::path(context.dataFolder) / "Quarterly report.pdf";
    if (!MakeDocument(document, 12u << 20)) {
        Fail("cannot write %s", document.string().c_str());
        return false;
    }
    UploadWaiter<OssUploadApi::IUploadFileSink> documentSink;
    const CStringW documentPath(document.wstring());
    const int added = OssUploadApi::AddUpLoadFile(documentPath, &documentSink);
    if (added != 0) {
        Fail("AddUpLoadFile answered %d", added);
        ok = false;
    } else {
        ok = ReportUpload(context, documentSink, "document") && ok;
    }

    BeginStep(context, "log file upload (OssUploadLogApi)");
    const CStringW logPath(Util::Log::GetLogFilePath());
    UploadWaiter<OssUploadLogApi::IUploadLogSink> logSink;
    const int logAdded = OssUploadLogApi::AddUploadLog(logPath, &logSink);
    if (logAdded != 0) {
        Fail("AddUploadLog answered %d", logAdded);
        ok = false;
    } else {
        ok = ReportUpload(context, logSink, "log file") && ok;
    }

    if (storageServer != nullptr) {
        BeginStep(context, "stored objects");
        DevServer::ObjectStore& storage = storageServer->GetState().storage;
        for (const char* bucket : {DevServer::ObjectStore::kDocsBucket, DevServer::ObjectStore::kLogsBucket}) {
            Ok("bucket %s", bucket);
            for (const auto& object : storage.ListObjects(bucket))
                std::printf("            %-48s %10ju bytes\n", object.first.c_str(),
                            static_cast<uintmax_t>(object.second));
        }
        std::ifstream in(document, std::ios::binary);
        const std::string local((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        bool same = false;
        for (const auto& object : storage.ListObjects(DevServer::ObjectStore::kDocsBucket)) {
            if (object.first.size() >= 20 && object.first.compare(object.first.size() - 20, 20, "Quarterly report.pdf") == 0)
                same = same || storage.ObjectBytes(DevServer::ObjectStore::kDocsBucket, object.first) == local;
        }
        if (same) {
            Ok("the stored document equals the local file byte for byte");
        } else {
            Fail("the stored document differs from the local file");
            ok = false;
        }
    }
    return ok;
}

namespace {

// The address of the signed-in user's head picture. The local server's
// users have none of their own: the demo puts one there first, as a
// developer does through its development route.
std::optional<std::string> HeadPictureAddress(Context& context, uint32_t userId)
{
    const std::string cached = ToUtf8(Aux::UserCache::GetUserHeadURL());
    if (IsHttpAddress(cached))
        return cached;
    if (context.localServer == nullptr) {
        std::printf("        the signed-in user has no head picture to download\n");
        return std::nullopt;
    }
    const std::string name = std::to_string(userId) + "_portrait.png";
    const std::string path =
        DevServer::PublishPicture(*context.localServer, name, DevServer::MakeHeadPng(128, 128, userId));
    const std::string url = context.localServer->BaseUrl() + path;
    Aux::UserCache::SetUserHeadURL(CStringW(ToWide(url.c_str(), CP_UTF8)));
    Ok("the local server serves the user's head picture at %s", url.c_str());
    return url;
}

}  // namespace

bool RunPicturesSteps(Context& context)
{
    bool ok = true;
    const uint32_t userId = EnsureSignedIn(context) ? Aux::UserCache::GetUserID() : 0;
    BeginStep(context, "head picture of the signed-in user (PicDownloadApi)");
    const UniKey owner(KEY_TYPE_USER, userId);
    DownloadWaiter waiter(owner, kShareQuery);
    if (userId == 0) {
        Fail("nobody is signed in");
        ok = false;
    } else if (const auto url = HeadPictureAddress(context, userId)) {
        PicDownloadApi::AppendTask(owner, CStringW(ToWide(url->c_str(), CP_UTF8)));
        const auto picture = waiter.WaitPicture(context.options.timeoutSeconds);
        if (!picture) {
            Fail("no UpdatePicture within %d s", context.options.timeoutSeconds);
            ok = false;
        } else if (picture->result != 1) {
            Fail("UpdatePicture(%d) for %s: given up", picture->result, Utf8(picture->path).c_str());
            ok = false;
        } else {
            CStringW registered;
            ok = ShowPng("head picture", picture->path) && ok;
            if (Aux::UserCache::IsExistUserHead(userId, registered) == 1) {
                Ok("head-picture cache: user %u has %s", userId, ToUtf8(registered).c_str());
            } else {
                Fail("the head-picture cache does not know the picture");
                ok = false;
            }
        }
    } else {
        // Elsewhere a user without a head picture is no fault.
        ok = context.localServer == nullptr;
    }

    BeginStep(context, "QR code of the meeting share page (QRCodeApi)");
    QRCodeApi::QRCodeDonload(430, kShareQuery);
    const auto code = waiter.WaitQrCode(context.options.timeoutSeconds);
    if (!code) {
        Fail("no QRCodeDonload within %d s", context.options.timeoutSeconds);
        ok = false;
    } else if (*code != 0) {
        Fail("QRCodeDonload(%d, \"%s\")", *code, Utf8(kShareQuery).c_str());
        ok = false;
    } else {
        ok = ShowPng("QR code", QRCodeApi::QRCodeFilePath(kShareQuery).str()) && ok;
    }

    BeginStep(context, "stored pictures");
    for (const CStringW& folder : {Util::Path::GetUserPicFolder(), Util::Path::GetQRCodePath()}) {
        Ok("%s", ToUtf8(folder).c_str());
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(fs::path(folder.str()), error)) {
            std::error_code ignored;
            std::printf("            %-40s %8ju bytes\n", entry.path().filename().u8string().c_str(),
                        static_cast<uintmax_t>(entry.file_size(ignored)));
        }
    }
    return ok;
}

}  // namespace Demo

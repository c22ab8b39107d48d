// example-client: what a client's user interface does to sign in through
// libService. It points the service at a server, connects to the
// HttpsServiceEvent signal, asks for a sign-in by password, waits for the
// result (which arrives on the HTTPS service's thread), keeps the signed-in
// user id in the user cache and shuts the library down with a ShutdownGuard.
// examples/first-client goes on to meetings, the session, uploads, pictures
// and the version check (docs/getting-started.md).
//
// usage: example-client --server URL --phone PHONE --password PASSWORD [--ca FILE] [--data DIR]
//
// --ca names the CA certificate to trust for an https server; --data the
// folder for the library's files (log, profile store) instead of the
// user's data folder.
//
// Against the local server: start `pelbo-devserver --user PHONE:PASSWORD`
// and pass the address it prints.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "pelbo/account/LoginApi.h"
#include "pelbo/account/UserCache.h"
#include "pelbo/compat/StringW.h"
#include "pelbo/core/RequestKind.h"
#include "pelbo/core/ServiceEvent.h"
#include "pelbo/core/ShutdownGuard.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Path.h"
#include "pelbo/corekit/Text.h"
#include "pelbo/corekit/XData.h"

namespace {

struct SignIn {
    int code = 0;
    uint32_t userId = 0;
    std::wstring name;
    std::wstring token;
};

// Receives results on the HTTPS service's thread and hands the sign-in's to
// the waiting main thread. The record is only borrowed for the call, so the
// values are copied out of it.
class SignInWaiter {
public:
    SignInWaiter()
        : m_connection(ServiceEvent::HttpsServiceEvent().connect(
              [this](int code, unsigned kind, IXData* record) { OnResult(code, kind, record); }))
    {
    }

    std::optional<SignIn> Wait(std::chrono::seconds patience)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_arrived.wait_for(lock, patience, [this] { return m_result.has_value(); });
        return m_result;
    }

private:
    void OnResult(int code, unsigned kind, IXData* record)
    {
        if (kind != RequestKind::kAccountLogin)
            return;
        SignIn result;
        result.code = code;
        if (record != nullptr) {
            CStringW text;
            record->GetIXDataU32(L"UserID", result.userId);
            if (record->GetIXDataStr(L"UserName", text))
                result.name = text.GetString();
            if (record->GetIXDataStr(L"Token", text))
                result.token = text.GetString();
        }
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_result = result;
        }
        m_arrived.notify_all();
    }

    std::mutex m_lock;
    std::condition_variable m_arrived;
    std::optional<SignIn> m_result;
    event::scoped_connection m_connection;
};

// Command-line text is UTF-8 here; the library takes wide text.
std::wstring Wide(const char* text)
{
    return Util::Convert::Utf8_2_W(text);
}

std::string Narrow(const std::wstring& text)
{
    return Util::Convert::W_2_Utf8(text);
}

int Usage()
{
    std::fprintf(stderr,
                 "usage: example-client --server URL --phone PHONE --password PASSWORD [--ca FILE] [--data DIR]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* server = nullptr;
    const char* phone = nullptr;
    const char* password = nullptr;
    const char* ca = nullptr;
    const char* data = nullptr;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--server") == 0)
            server = argv[i + 1];
        else if (std::strcmp(argv[i], "--phone") == 0)
            phone = argv[i + 1];
        else if (std::strcmp(argv[i], "--password") == 0)
            password = argv[i + 1];
        else if (std::strcmp(argv[i], "--ca") == 0)
            ca = argv[i + 1];
        else if (std::strcmp(argv[i], "--data") == 0)
            data = argv[i + 1];
        else
            return Usage();
    }
    if (argc % 2 == 0 || server == nullptr || phone == nullptr || password == nullptr)
        return Usage();

    if (data != nullptr)
        Util::Path::SetRootFolder(Wide(data).c_str());
    Http::SetHttpUrlHead(Wide(server).c_str());
    if (ca != nullptr)
        Http::SetCaBundle(Wide(ca).c_str());

    // Declared before anything that listens to the library, so the library
    // ends after them: every family, the network monitor and the HTTPS
    // service, in their order.
    const Aux::Core::ShutdownGuard shutdown;
    int exitCode = 1;
    {
        SignInWaiter waiter;
        if (LoginApi::AccountLogin(Wide(phone).c_str(), Wide(password).c_str()) == 0) {
            std::fprintf(stderr, "sign-in was not sent\n");
        } else if (const auto result = waiter.Wait(std::chrono::seconds(30)); !result) {
            std::fprintf(stderr, "no sign-in result within 30 s\n");
        } else if (result->code != 0) {
            std::fprintf(stderr, "sign-in refused: code %d\n", result->code);
        } else {
            Aux::UserCache::SetUserID(result->userId, 0);
            // A token is a credential: show no more than its beginning.
            std::printf("signed in: user %u \"%s\", token %.2s...\n", Aux::UserCache::GetUserID(),
                        Narrow(result->name).c_str(), Narrow(result->token).c_str());
            exitCode = 0;
        }
    }

    return exitCode;
}

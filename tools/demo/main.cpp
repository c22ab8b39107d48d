// pelbo-demo: drives libService through its exported API as the client
// would, against the local server started in-process (or another
// deployment with --server), and prints each step and its outcome.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>

#include "account/LoginApi.h"
#include "compat/TextConvert.h"
#include "core/CoreApi.h"
#include "core/RequestKind.h"
#include "core/ServiceEvent.h"
#include "corekit/HttpSettings.h"
#include "corekit/Path.h"
#include "devserver/DevServer.h"
#include "devserver/State.h"
#include "netcall/HttpsRequest.h"

namespace {

const char kUsage[] =
    "usage: pelbo-demo [--server URL --token TOKEN [--ca FILE]] [--timeout SECONDS]\n"
    "\n"
    "Without --server the local server is started in-process over HTTPS on\n"
    "127.0.0.1 with a throw-away certificate authority, and a sign-in token is\n"
    "issued by it. With --server the REST service at URL is used and TOKEN is\n"
    "the signed-in user's token; --ca names a PEM file of CA certificates to\n"
    "trust instead of the system's store.\n"
    "\n"
    "Steps: refresh the sign-in token (LoginApi::RefreshToken).\n"
    "Exits 0 when every step succeeded, 1 when one failed, 2 on bad usage.\n";

struct Options {
    std::string server;
    std::string token;
    std::string ca;
    int timeoutSeconds = 30;
};

// Tokens are credentials: only their first two characters are shown.
std::string Mask(const std::string& secret)
{
    if (secret.size() <= 4)
        return "***";
    return secret.substr(0, 2) + "***";
}

// Parses the command line; nullopt after printing why when it is unusable.
std::optional<Options> ParseOptions(int argc, char** argv, bool& help)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "pelbo-demo: %s needs a value\n", arg.c_str());
                return false;
            }
            out = argv[++i];
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            help = true;
            return options;
        }
        std::string timeout;
        if (arg == "--server") {
            if (!value(options.server))
                return std::nullopt;
        } else if (arg == "--token") {
            if (!value(options.token))
                return std::nullopt;
        } else if (arg == "--ca") {
            if (!value(options.ca))
                return std::nullopt;
        } else if (arg == "--timeout") {
            if (!value(timeout))
                return std::nullopt;
            char* end = nullptr;
            const long seconds = std::strtol(timeout.c_str(), &end, 10);
            if (end == timeout.c_str() || *end != '\0' || seconds <= 0 || seconds > 3600) {
                std::fprintf(stderr, "pelbo-demo: --timeout takes 1 to 3600 seconds\n");
                return std::nullopt;
            }
            options.timeoutSeconds = static_cast<int>(seconds);
        } else {
            std::fprintf(stderr, "pelbo-demo: unknown argument %s\n", arg.c_str());
            return std::nullopt;
        }
    }
    if (!options.server.empty() && options.token.empty()) {
        std::fprintf(stderr, "pelbo-demo: --server needs --token\n");
        return std::nullopt;
    }
    return options;
}

struct RestOutcome {
    int code = 0;
    unsigned kind = 0;
    bool hasRecord = false;
    std::string token;
};

// Hears HttpsServiceEvent on the HTTPS service's thread and passes the first
// result of the awaited kind to the main thread.
class ResultWaiter {
public:
    explicit ResultWaiter(unsigned kind)
        : m_kind(kind),
          m_connection(ServiceEvent::HttpsServiceEvent().connect(
              [this](int code, unsigned k, IXData* record) { OnResult(code, k, record); }))
    {
    }

    std::optional<RestOutcome> Wait(int seconds)
    {
        std::unique_lock<std::mutex> guard(m_lock);
        if (!m_arrived.wait_for(guard, std::chrono::seconds(seconds), [this] { return m_outcome.has_value(); }))
            return std::nullopt;
        return m_outcome;
    }

private:
    void OnResult(int code, unsigned kind, IXData* record)
    {
        if (kind != m_kind)
            return;
        RestOutcome outcome;
        outcome.code = code;
        outcome.kind = kind;
        outcome.hasRecord = record != nullptr;
        CStringW token;
        if (record != nullptr && record->GetIXDataStr(L"Token", token))
            outcome.token = ToMultiByte(token, CP_UTF8);
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_outcome) {
            m_outcome = outcome;
            m_arrived.notify_all();
        }
    }

    const unsigned m_kind;
    std::mutex m_lock;
    std::condition_variable m_arrived;
    std::optional<RestOutcome> m_outcome;
    event::scoped_connection m_connection;
};

bool StepRefreshToken(const std::string& token, int timeoutSeconds)
{
    std::printf("step 1  refresh the sign-in token %s\n", Mask(token).c_str());
    ResultWaiter waiter(RequestKind::kRefreshToken);
    if (LoginApi::RefreshToken(ToWide(token.c_str(), CP_UTF8).c_str()) == 0) {
        std::printf("        FAILED: the request was not accepted\n");
        return false;
    }
    const std::optional<RestOutcome> outcome = waiter.Wait(timeoutSeconds);
    if (!outcome) {
        std::printf("        FAILED: no result within %d s\n", timeoutSeconds);
        return false;
    }
    if (outcome->code != 0) {
        std::printf("        FAILED: code %d%s\n", outcome->code,
                    outcome->code == -1 ? " (no usable answer from the service)" : " (refused by the service)");
        return false;
    }
    if (outcome->token.empty()) {
        std::printf("        FAILED: code 0 but the answer held no token\n");
        return false;
    }
    std::printf("        ok: code 0, new token %s\n", Mask(outcome->token).c_str());
    return true;
}

int Run(const Options& options)
{
    const std::filesystem::path root =
        std::filesystem::temp_directory_path() / ("pelbo-demo-" + std::to_string(std::random_device()()));
    std::filesystem::create_directories(root);
    Util::Path::SetRootFolder(root.wstring().c_str());

    std::unique_ptr<DevServer::Server> server;
    std::string token = options.token;
    if (options.server.empty()) {
        DevServer::Options serverOptions;
        serverOptions.tls = true;
        serverOptions.caCertOut = (root / "devserver-ca.pem").string();
        server = std::make_unique<DevServer::Server>(serverOptions);
        std::string error;
        if (!server->Start(&error)) {
            std::fprintf(stderr, "pelbo-demo: the local server did not start: %s\n", error.c_str());
            std::filesystem::remove_all(root);
            return 1;
        }
        Http::SetCaBundle(ToWide(server->CaCertFile().c_str(), CP_UTF8).c_str());
        Http::SetHttpUrlHead(ToWide(server->BaseUrl().c_str(), CP_UTF8).c_str());
        token = server->GetState().IssueToken(1).token;
        std::printf("local server at %s (HTTPS, throw-away CA)\n", server->BaseUrl().c_str());
    } else {
        if (!options.ca.empty())
            Http::SetCaBundle(ToWide(options.ca.c_str(), CP_UTF8).c_str());
        Http::SetHttpUrlHead(ToWide(options.server.c_str(), CP_UTF8).c_str());
        std::printf("service at %s\n", options.server.c_str());
    }
    std::printf("data folder %s\n", root.string().c_str());

    const bool ok = StepRefreshToken(token, options.timeoutSeconds);

    Aux::Core::DoExit();
    // As the client does on shutdown: the HTTPS service's thread and its
    // connections end before the process.
    Util::HttpsRequest::Shutdown();
    server.reset();
    std::printf("%s: %d of 1 step passed\n", ok ? "done" : "failed", ok ? 1 : 0);
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        bool help = false;
        const std::optional<Options> options = ParseOptions(argc, argv, help);
        if (help) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (!options) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        return Run(*options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pelbo-demo: %s\n", e.what());
        return 1;
    }
}

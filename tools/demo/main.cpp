// pelbo-demo: drives libService through its exported API as the client
// would, against the local server started in-process (or another
// deployment with --server), and prints each step and its outcome.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "DemoSteps.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/core/CoreApi.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Log.h"
#include "pelbo/corekit/Path.h"
#include "devserver/DevServer.h"
#include "devserver/State.h"
#include "pelbo/netcall/HttpsRequest.h"
#include "pelbo/transfers/QRCodeApi.h"

namespace {

const char kUsage[] =
    "usage: pelbo-demo [--server URL --phone PHONE --password PASSWORD [--ca FILE] [--settings FILE]]\n"
    "                  [--proxy] [--only FAMILY] [--timeout SECONDS]\n"
    "       pelbo-demo --list | --help\n"
    "\n"
    "Without --server the local server is started in-process over HTTPS on\n"
    "127.0.0.1 with a throw-away certificate authority. With --server the REST\n"
    "service at URL is used, its websocket at the same host under /ws and its\n"
    "manifest under /upgrade/pelbo-version.json, and the account PHONE signs in\n"
    "with PASSWORD; nothing is registered or changed there except what the\n"
    "families make and delete again. --ca names a PEM file of CA certificates to\n"
    "trust instead of the system's store; --settings a settings file to use\n"
    "instead of those addresses (see docs/configuration.md).\n"
    "\n"
    "--proxy (without --server) starts the local server's proxy too, with a\n"
    "user and password, and sends every exchange of the service and the updater\n"
    "through it: HTTP CONNECT tunnels for REST, downloads, uploads and the\n"
    "websocket. The run fails when nothing went through the proxy.\n"
    "\n"
    "--only runs one family's steps; --list names the families in the order\n"
    "they run. The updater family opens a window and needs DISPLAY; without one\n"
    "it is skipped.\n"
    "\n"
    "Each step prints its outcome; a table of the families ends the run. The\n"
    "service's log file is named at the start and kept after the run.\n"
    "\n"
    "Exits 0 when every step succeeded, 1 when one failed, 2 on bad usage.\n";

const std::vector<Demo::Family>& Families()
{
    static const std::vector<Demo::Family> families = {
        {"account", Demo::RunAccountSteps},
        {"user", Demo::RunUserSteps},
        {"meetings", Demo::RunMeetingsSteps},
        {"materials", Demo::RunMaterialsSteps},
        {"session", Demo::RunSessionSteps},
        {"netmon", Demo::RunNetMonSteps},
        {"uploads", Demo::RunUploadsSteps},
        {"pictures", Demo::RunPicturesSteps},
        {"imgconv", Demo::RunImgConvSteps},
        {"version", Demo::RunVersionSteps},
        {"updater", Demo::RunUpdaterSteps},
    };
    return families;
}

// Parses the command line; nullopt after printing why when it is unusable.
std::optional<Demo::Options> ParseOptions(int argc, char** argv, bool& help)
{
    Demo::Options options;
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
        if (arg == "--list") {
            options.list = true;
            continue;
        }
        if (arg == "--proxy") {
            options.proxy = true;
            continue;
        }
        std::string timeout;
        if (arg == "--server") {
            if (!value(options.server))
                return std::nullopt;
        } else if (arg == "--phone") {
            if (!value(options.phone))
                return std::nullopt;
        } else if (arg == "--password") {
            if (!value(options.password))
                return std::nullopt;
        } else if (arg == "--settings") {
            if (!value(options.settings))
                return std::nullopt;
        } else if (arg == "--ca") {
            if (!value(options.ca))
                return std::nullopt;
        } else if (arg == "--only") {
            if (!value(options.only))
                return std::nullopt;
            bool known = false;
            for (const auto& family : Families())
                known = known || options.only == family.name;
            if (!known) {
                std::fprintf(stderr, "pelbo-demo: unknown family %s; families:", options.only.c_str());
                for (const auto& family : Families())
                    std::fprintf(stderr, " %s", family.name);
                std::fprintf(stderr, "\n");
                return std::nullopt;
            }
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
    if (!options.server.empty() && (options.phone.empty() || options.password.empty())) {
        std::fprintf(stderr, "pelbo-demo: --server needs --phone and --password\n");
        return std::nullopt;
    }
    if (options.server.empty() && (!options.phone.empty() || !options.ca.empty() || !options.settings.empty())) {
        std::fprintf(stderr, "pelbo-demo: --phone, --ca and --settings go with --server\n");
        return std::nullopt;
    }
    if (!options.server.empty() && options.proxy) {
        std::fprintf(stderr, "pelbo-demo: --proxy uses the local server's proxy, not with --server\n");
        return std::nullopt;
    }
    return options;
}

// The settings file of a service whose websocket and manifest sit beside
// its REST routes, as the local server's do.
bool WriteSettings(const std::filesystem::path& file, const std::string& restUrl, const std::string& caFile,
                   const std::string& proxyLines = std::string())
{
    const bool tls = restUrl.rfind("https://", 0) == 0;
    const std::string host = restUrl.substr(restUrl.find("://") + 3);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << "; Written by pelbo-demo.\n"
        << "[Service]\n"
        << "rest_url     = " << restUrl << "\n"
        << "wss_url      = " << (tls ? "wss://" : "ws://") << host << "/ws\n"
        << "manifest_url = " << restUrl << "/upgrade/pelbo-version.json\n";
    if (!caFile.empty())
        out << "ca_bundle    = " << caFile << "\n";
    // The local server keeps the object storage behind its own port, reached
    // as "<endpoint>.localhost:<port>"; with TLS the documents travel over it.
    const size_t colon = host.rfind(':');
    if (colon != std::string::npos)
        out << "oss_domain_suffix = .localhost" << host.substr(colon) << "\n";
    out << "oss_scheme   = " << (tls ? "https" : "http") << "\n";
    // A service without TLS serves its manifest and installer over plain
    // http, which only the development switch lets through.
    if (!tls)
        out << "allow_http_updates = 1\n";
    out << proxyLines;
    out.close();
    return static_cast<bool>(out);
}

int Run(const Demo::Options& options)
{
    const std::filesystem::path root =
        std::filesystem::temp_directory_path() / ("pelbo-demo-" + std::to_string(std::random_device()()));
    std::filesystem::create_directories(root);
    Util::Path::SetRootFolder(root.wstring().c_str());

    Demo::Context context;
    context.options = options;
    context.dataFolder = root.string();

    // The service and the updater read their addresses from the data
    // folder's settings file, as at a client's installation.
    const std::filesystem::path settings = root / "ServiceSettings.ini";
    std::unique_ptr<DevServer::Server> server;
    bool settingsWritten = false;
    if (options.server.empty()) {
        DevServer::Options serverOptions;
        serverOptions.tls = true;
        serverOptions.caCertOut = (root / "devserver-ca.pem").string();
        serverOptions.proxy = options.proxy;
        serverOptions.proxyUser = "demo";
        serverOptions.proxyPassword = std::to_string(std::random_device()());
        server = std::make_unique<DevServer::Server>(serverOptions);
        std::string error;
        if (!server->Start(&error)) {
            std::fprintf(stderr, "pelbo-demo: the local server did not start: %s\n", error.c_str());
            std::filesystem::remove_all(root);
            return 1;
        }
        const std::string proxy = "http://127.0.0.1:" + std::to_string(server->ProxyPort());
        const std::string proxyLines = options.proxy ? "proxy          = " + proxy + "\nproxy_user     = " +
                                                           serverOptions.proxyUser + "\nproxy_password = " +
                                                           serverOptions.proxyPassword + "\n"
                                                     : std::string();
        settingsWritten = WriteSettings(settings, server->BaseUrl(), server->CaCertFile(), proxyLines);
        context.localServer = server.get();
        context.token = server->GetState().IssueToken(1).token;
        std::printf("local server at %s (HTTPS, throw-away CA)\n", server->BaseUrl().c_str());
        if (options.proxy)
            std::printf("every exchange through its proxy at %s (user demo)\n", proxy.c_str());
    } else {
        std::error_code copied;
        settingsWritten =
            options.settings.empty()
                ? WriteSettings(settings, options.server,
                                options.ca.empty() ? std::string() : std::filesystem::absolute(options.ca).string())
                : std::filesystem::copy_file(options.settings, settings, copied);
        std::printf("service at %s\n", options.server.c_str());
    }
    if (!settingsWritten || Http::LoadSettingsFile(settings.wstring().c_str()) == 0) {
        std::fprintf(stderr, "pelbo-demo: could not write %s\n", settings.string().c_str());
        server.reset();
        std::filesystem::remove_all(root);
        return 1;
    }
    if (!options.server.empty()) {
        Http::SetHttpUrlHead(ToWide(options.server.c_str(), CP_UTF8).c_str());
        if (!options.ca.empty())
            Http::SetCaBundle(ToWide(std::filesystem::absolute(options.ca).string().c_str(), CP_UTF8).c_str());
    }
    std::printf("settings    %s\n", settings.string().c_str());
    if (Http::GetAllowHttpUpdates() != 0)
        std::printf("development switch allow_http_updates is on: updates over plain http are taken\n");
    std::printf("data folder %s\n", root.string().c_str());
    const std::string logFile = ToMultiByte(Util::Log::GetLogFilePath().c_str(), CP_UTF8);
    std::printf("log file    %s\n\n", logFile.c_str());

    struct Row {
        const char* family;
        int steps;
        double seconds;
        const char* outcome;
    };
    std::vector<Row> rows;
    for (const auto& family : Families()) {
        if (!options.only.empty() && options.only != family.name)
            continue;
        std::printf("== %s\n", family.name);
        const int firstStep = context.stepNumber;
        const auto started = std::chrono::steady_clock::now();
        context.familySkipped = false;
        bool ok = false;
        try {
            ok = family.run(context);
        } catch (const std::exception& e) {
            Demo::Fail("unexpected error: %s", e.what());
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        rows.push_back({family.name, context.stepNumber - firstStep, seconds,
                        !ok ? "FAILED" : context.familySkipped ? "skipped" : "ok"});
        std::printf("\n");
    }

    // The client ends the QR-code family itself; the service-wide exit does not.
    QRCodeApi::DoExit();
    Aux::Core::DoExit();
    // As the client does on shutdown: the HTTPS service's thread and its
    // connections end before the process.
    Util::HttpsRequest::Shutdown();
    const uint64_t tunnels = server && options.proxy ? server->ProxyTunnelCount() : 0;
    server.reset();

    size_t failed = 0;
    size_t skipped = 0;
    std::printf("%-12s %5s %8s  %s\n", "family", "steps", "seconds", "outcome");
    for (const Row& row : rows) {
        std::printf("%-12s %5d %8.1f  %s\n", row.family, row.steps, row.seconds, row.outcome);
        failed += std::strcmp(row.outcome, "FAILED") == 0 ? 1 : 0;
        skipped += std::strcmp(row.outcome, "skipped") == 0 ? 1 : 0;
    }
    const bool proxyUnused = options.proxy && tunnels == 0;
    if (options.proxy)
        std::printf("%llu tunnels through the local proxy%s\n", static_cast<unsigned long long>(tunnels),
                    proxyUnused ? ": nothing went through it" : "");
    std::printf("%s: %zu of %zu families passed", failed == 0 && !proxyUnused ? "done" : "failed",
                rows.size() - failed - skipped, rows.size());
    if (skipped != 0)
        std::printf(", %zu skipped", skipped);
    std::printf("\nlog file %s\n", logFile.c_str());
    if (failed != 0 || proxyUnused) {
        // The log explains what went wrong; it outlives the run.
        std::printf("data folder kept in %s\n", root.string().c_str());
        return 1;
    }
    // Only the log folder outlives a good run, for whoever wants to read it.
    std::error_code ignored;
    const std::filesystem::path logFolder = std::filesystem::path(logFile).parent_path();
    for (const auto& entry : std::filesystem::directory_iterator(root, ignored))
        if (entry.path() != logFolder)
            std::filesystem::remove_all(entry.path(), ignored);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        bool help = false;
        const std::optional<Demo::Options> options = ParseOptions(argc, argv, help);
        if (help) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (options && options->list) {
            for (const auto& family : Families())
                std::printf("%s\n", family.name);
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

// first-client: a client's first day with libService, in the order a client
// takes the steps: the settings, a sign-in by password, the signed-in user
// kept in the user cache and the profile store, a meeting made and joined
// over the websocket session, a document uploaded, the user's head picture
// downloaded, the version check, and the shutdown. docs/getting-started.md
// walks through the same steps.
//
// usage: first-client --server URL [--ca FILE] --phone PHONE --password PASSWORD --data DIR
//
// Against the local server: start `pelbo-devserver --tls --user PHONE:PASSWORD`
// and pass the address it prints first (--server) and the CA certificate it
// names next (--ca). --data is the folder of the library's files: its
// settings file, log, profile store and pictures.
//
// Prints one line per step and exits 0 when every step succeeded, 1 when one
// failed (the steps after it are not tried), 2 on bad usage.

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "FirstSteps.h"
#include "pelbo/core/ShutdownGuard.h"

namespace {

int Usage()
{
    std::fprintf(stderr,
                 "usage: first-client --server URL [--ca FILE] --phone PHONE --password PASSWORD --data DIR\n");
    return 2;
}

std::optional<FirstSteps::Options> ParseOptions(int argc, char** argv)
{
    FirstSteps::Options options;
    if (argc % 2 == 0)
        return std::nullopt;
    for (int i = 1; i + 1 < argc; i += 2) {
        const char* name = argv[i];
        const char* value = argv[i + 1];
        if (std::strcmp(name, "--server") == 0)
            options.server = value;
        else if (std::strcmp(name, "--ca") == 0)
            options.ca = value;
        else if (std::strcmp(name, "--phone") == 0)
            options.phone = value;
        else if (std::strcmp(name, "--password") == 0)
            options.password = value;
        else if (std::strcmp(name, "--data") == 0)
            options.data = value;
        else
            return std::nullopt;
    }
    const bool web = options.server.rfind("http://", 0) == 0 || options.server.rfind("https://", 0) == 0;
    if (!web || options.phone.empty() || options.password.empty() || options.data.empty())
        return std::nullopt;
    // The REST base is given without a trailing "/": request paths are
    // appended to it as they are.
    while (!options.server.empty() && options.server.back() == '/')
        options.server.pop_back();
    return options;
}

}  // namespace

int main(int argc, char** argv)
{
    // Declared first, so it is destroyed last: when main returns, after the
    // steps' receivers and sinks have let go of the library, it ends the
    // library in the order its families need (docs/architecture.md).
    Aux::Core::ShutdownGuard shutdown;

    const std::optional<FirstSteps::Options> options = ParseOptions(argc, argv);
    if (!options)
        return Usage();

    bool ok = false;
    {
        // The steps in a client's order; each needs the ones before it.
        FirstSteps steps(*options);
        ok = steps.ApplySettings() && steps.SignIn() && steps.KeepSignedInUser() && steps.CreateMeeting() &&
             steps.StartSession() && steps.EnterRoom() && steps.UploadDocument() && steps.DownloadHeadPicture() &&
             steps.CheckVersion();
    }
    if (!ok)
        return 1;
    std::printf("ok   shutdown: every step succeeded; Aux::Core::ShutdownGuard ends the library as main returns\n");
    return 0;
}

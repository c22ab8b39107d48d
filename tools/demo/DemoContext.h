#pragma once
// What every demo step shares: the options, the service it talks to, the
// sign-in token, and the small helpers that print a step and wait for a
// signal.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "pelbo/compat/StringW.h"
#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/XData.h"

namespace DevServer {
class Server;
}

namespace Demo {

struct Options {
    std::string server;
    std::string phone;     // the account signed in at --server
    std::string password;
    std::string ca;
    std::string settings;  // a settings file read after the addresses --server implies
    std::string only;
    int timeoutSeconds = 30;
    bool list = false;
    // Every exchange through the local server's proxy, with credentials.
    bool proxy = false;
};

struct Context {
    Options options;
    DevServer::Server* localServer = nullptr;  // null with --server
    std::string dataFolder;
    std::string token;                          // the signed-in user's token
    int stepNumber = 0;
    bool familySkipped = false;                 // set by a family that could not run here
};

// Tokens are credentials: only their first two characters are shown.
std::string Mask(const std::string& secret);

// Prints "step N  title"; the outcome lines follow with Ok / Fail.
void BeginStep(Context& context, const char* title);
void Ok(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The outcome of one REST operation as HttpsServiceEvent reported it. The
// record is kept (with its own reference) for the step to read.
struct RestOutcome {
    int code = 0;
    unsigned kind = 0;
    XDataPtr<IXData> record;
};

// Hears HttpsServiceEvent on the HTTPS service's thread and passes the first
// result of the awaited kind to the waiting thread.
class ResultWaiter {
public:
    explicit ResultWaiter(unsigned kind);
    std::optional<RestOutcome> Wait(int seconds);

private:
    void OnResult(int code, unsigned kind, IXData* record);

    const unsigned m_kind;
    std::mutex m_lock;
    std::condition_variable m_arrived;
    std::optional<RestOutcome> m_outcome;
    event::scoped_connection m_connection;
};

// Sends with send() (non-zero when accepted), waits for the result of kind
// and prints a failure line when it is missing or its code is not 0.
std::optional<RestOutcome> CallRest(Context& context, unsigned kind, const std::function<int()>& send);

std::string ToUtf8(const CStringW& text);


// A family's steps: true when all of them succeeded.
struct Family {
    const char* name;
    std::function<bool(Context&)> run;
};

}  // namespace Demo

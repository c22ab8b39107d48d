// Throughput of netcall against a bare libcurl multi loop: the local server
// over HTTPS (keep-alive), 10,000 small POSTs with 64 in flight through each
// client in turn, five rounds of both; the medians are compared, since a
// single run varies. Prints table rows "path | ours | reference | ratio |
// target" for tools/scripts/bench.sh.

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "pelbo/corekit/HttpSettings.h"
#include "devserver/DevServer.h"
#include "pelbo/netcall/HttpsRequest.h"

bool RunBareCurlClient(const std::string& url, const std::string& caFile, const std::string& body, int total,
                       int inFlight, int* failures);

namespace {

constexpr int kTotal = 10000;
constexpr int kInFlight = 64;
constexpr int kRounds = 5;
const char* const kBody = "{\n   \"token\" : \"bench\"\n}\n";

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// Keeps kInFlight requests open: each result sends the next request from
// inside the callback.
class WindowSink : public IHttpsRequestSink {
public:
    explicit WindowSink(const ST_HttpsReqInfo& info) : m_info(info) {}
    ~WindowSink() override { DetachHttpsSink(); }

    bool Start()
    {
        for (int i = 0; i < kInFlight; ++i) {
            if (!SendNext()) {
                return false;
            }
        }
        return true;
    }

    void OnHttpsReqResult(unsigned&, const std::wstring&, const std::wstring&, int& completed) override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_finished;
            m_failures += completed == 0 ? 1 : 0;
        }
        if (!SendNext()) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_finished = kTotal;
            m_failures = kTotal;
        }
        m_changed.notify_all();
    }

    // Failed requests, or -1 when the run did not finish in time.
    int Wait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_changed.wait_for(lock, std::chrono::minutes(5), [this] { return m_finished >= kTotal; })) {
            return -1;
        }
        return m_failures;
    }

private:
    // True when sent or when all were sent already.
    bool SendNext()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_sent >= kTotal) {
                return true;
            }
            ++m_sent;
        }
        unsigned id = 0;
        return Util::HttpsRequest::Request(id, this, m_info) != 0;
    }

    ST_HttpsReqInfo m_info;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_sent = 0;
    int m_finished = 0;
    int m_failures = 0;
};

struct Run {
    double requestsPerSecond = 0;
    uint64_t connections = 0;
    uint64_t handshakes = 0;
    int failures = 0;
};

template <typename Client>
Run Measure(DevServer::Server& server, Client client)
{
    const uint64_t connections = server.ConnectionCount();
    const uint64_t handshakes = server.TlsHandshakeCount();
    const auto begin = std::chrono::steady_clock::now();
    Run run;
    run.failures = client();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
    run.requestsPerSecond = kTotal / took.count();
    run.connections = server.ConnectionCount() - connections;
    run.handshakes = server.TlsHandshakeCount() - handshakes;
    return run;
}

void Row(const std::string& path, const std::string& ours, const std::string& reference, double ratio,
         const std::string& target)
{
    std::printf("%-48s | %14s | %14s | %7.2f | %s\n", path.c_str(), ours.c_str(), reference.c_str(), ratio,
                target.c_str());
}

std::string PerConnection(const Run& run)
{
    return std::to_string(run.handshakes) + "/" + std::to_string(run.connections);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main()
{
    DevServer::Options options;
    options.tls = true;
    DevServer::Server server(options);
    std::string error;
    if (!server.Start(&error)) {
        std::fprintf(stderr, "bench_netcall: server did not start: %s\n", error.c_str());
        return 1;
    }
    server.Route("POST", "/v1/account/refreshtoken", [](const DevServer::HttpRequest&) {
        DevServer::HttpResponse response;
        response.body = "{\"code\":0,\"data\":{\"token\":\"bench\"}}";
        return response;
    });
    const std::string url = server.BaseUrl() + "/v1/account/refreshtoken";
    Http::SetCaBundle(Widen(server.CaCertFile()).c_str());
    Util::Curl::Init();

    ST_HttpsReqInfo info;
    info.strUrl = Widen(url);
    info.strContent = Widen(kBody);
    info.nOption1 = 3;
    info.nMethod = 1;
    std::vector<double> oursRates;
    std::vector<double> bareRates;
    Run ours;
    Run bare;
    for (int round = 0; round < kRounds; ++round) {
        ours = Measure(server, [&info] {
            WindowSink sink(info);
            return sink.Start() ? sink.Wait() : -1;
        });
        Util::HttpsRequest::Shutdown();
        bare = Measure(server, [&] {
            int failures = 0;
            return RunBareCurlClient(url, server.CaCertFile(), kBody, kTotal, kInFlight, &failures) ? failures : -1;
        });
        if (ours.failures != 0 || bare.failures != 0)
            break;
        oursRates.push_back(ours.requestsPerSecond);
        bareRates.push_back(bare.requestsPerSecond);
    }
    if (ours.failures != 0 || bare.failures != 0) {
        std::fprintf(stderr, "bench_netcall: failed requests: ours %d, reference %d\n", ours.failures,
                     bare.failures);
        return 1;
    }
    const double oursRate = Median(oursRates);
    const double bareRate = Median(bareRates);
    Row("netcall https POST 10k, 64 in flight (req/s)", std::to_string(static_cast<long>(oursRate)),
        std::to_string(static_cast<long>(bareRate)), bareRate > 0 ? oursRate / bareRate : 0,
        ">= 1.00 (median of 5)");
    const auto perConnection = [](const Run& run) {
        return run.connections > 0 ? static_cast<double>(run.handshakes) / static_cast<double>(run.connections) : 0;
    };
    Row("netcall TLS handshakes/connections", PerConnection(ours), PerConnection(bare), perConnection(ours),
        "handshakes <= connections");
    return ours.handshakes <= ours.connections ? 0 : 1;
}

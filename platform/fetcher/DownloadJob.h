#pragma once
// One download as a libcurl easy handle and the temporary file it writes.
// The object owns both, never moves while the handle is in use (libcurl keeps
// a pointer to it), and is driven on the I/O thread only, except for the stop
// flag, which any thread may raise.

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

namespace Fetcher {

struct JobSettings {
    std::string caBundle;  // PEM file (UTF-8 path); empty: the system's store
    long connectTimeoutMs = 0;
    long stallTimeoutMs = 0;  // a transfer that moves no byte this long fails
    unsigned long long maxBytes = 0;  // largest body; 0: no limit
    // A transfer slower than this for this long fails; 0: the stall rule
    // above applies instead.
    long lowSpeedBytesPerSecond = 0;
    long lowSpeedSeconds = 0;
};

class DownloadJob {
public:
    // Called on the I/O thread from inside libcurl with bytes written so far
    // and the announced size; returns false to abort the transfer.
    using ProgressFn = std::function<bool(DownloadJob&, unsigned long long, unsigned long long)>;

    // Null, with the refusal code in refusal, when the temporary file cannot
    // be created or libcurl refuses the set-up.
    static std::unique_ptr<DownloadJob> Create(unsigned long long id, const std::string& utf8Url,
                                               const std::filesystem::path& destination,
                                               const JobSettings& settings, unsigned* refusal, std::string* error);
    ~DownloadJob();  // removes the temporary file unless it was committed
    DownloadJob(const DownloadJob&) = delete;
    DownloadJob& operator=(const DownloadJob&) = delete;

    CURL* Handle() const { return m_easy; }
    static DownloadJob* FromHandle(CURL* easy);
    unsigned long long Id() const { return m_id; }
    const std::string& Url() const { return m_url; }

    void SetProgressFn(ProgressFn fn) { m_progress = std::move(fn); }
    void RequestStop() { m_stop.store(true); }
    bool StopRequested() const { return m_stop.load(); }

    // After libcurl ended the transfer: closes the file and, on success,
    // renames it onto the destination. Returns the result code to report.
    unsigned Finish(CURLcode result);
    std::string Describe(CURLcode result) const;
    unsigned long long BytesWritten() const { return m_written; }

    // What was last reported, for throttling (I/O thread only).
    struct Reported {
        std::chrono::steady_clock::time_point at;
        unsigned long long done = 0;
        bool any = false;
    };
    Reported& LastReport() { return m_reported; }

private:
    DownloadJob() = default;
    bool Setup(const JobSettings& settings, std::string* error);
    static size_t OnData(char* data, size_t size, size_t count, void* self);
    static int OnProgress(void* self, curl_off_t dlTotal, curl_off_t dlNow, curl_off_t ulTotal, curl_off_t ulNow);

    CURL* m_easy = nullptr;
    unsigned long long m_id = 0;
    std::string m_url;
    std::filesystem::path m_destination;
    std::filesystem::path m_temporary;
    std::ofstream m_file;
    bool m_committed = false;
    bool m_writeFailed = false;
    bool m_tooLarge = false;
    unsigned long long m_maxBytes = 0;
    unsigned long long m_written = 0;
    std::atomic<bool> m_stop{false};
    ProgressFn m_progress;
    Reported m_reported;
    char m_error[CURL_ERROR_SIZE] = {};
};

}  // namespace Fetcher

#pragma once
// One download as a libcurl easy handle and the temporary file it writes.
// The object owns both, never moves while the handle is in use (libcurl keeps
// a pointer to it), and is driven on the I/O thread only, except for the stop
// flag, which any thread may raise.
//
// A resumable job writes "<path>.partial" and its record (PartialRecord.h)
// instead, reads the head of each answer to learn whether the server sent
// the rest or the whole file, and keeps both files when the transfer breaks.

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "transfer/Policy.h"

namespace Fetcher {

struct JobSettings {
    unsigned long long maxBytes = 0;  // largest body; 0: no limit
    // A transfer slower than this for this long fails; 0: one that moves no
    // byte for the settings' request time-out fails.
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
                                               const std::filesystem::path& destination, bool resumable,
                                               const JobSettings& settings, unsigned* refusal, std::string* error);
    // Removes the temporary file unless it was committed or, for a resumable
    // job, is worth continuing; then runs the release function.
    ~DownloadJob();
    DownloadJob(const DownloadJob&) = delete;
    DownloadJob& operator=(const DownloadJob&) = delete;

    CURL* Handle() const { return m_easy; }
    static DownloadJob* FromHandle(CURL* easy);
    unsigned long long Id() const { return m_id; }
    const std::string& Url() const { return m_url; }

    void SetProgressFn(ProgressFn fn) { m_progress = std::move(fn); }
    // Run last by the destructor, once the files are settled.
    void SetReleaseFn(std::function<void()> fn) { m_release = std::move(fn); }
    void RequestStop() { m_stop.store(true); }
    bool StopRequested() const { return m_stop.load(); }

    // After libcurl ended the transfer of a resumable job whose range the
    // server refused (416) or answered with a part that does not fit: empties
    // the partial file and sets the handle up to ask for the whole file,
    // once. True when the caller is to add the handle again.
    bool StartOver(CURLcode result);
    // After libcurl ended the transfer: closes the file and, on success,
    // renames it onto the destination. Returns the result code to report.
    unsigned Finish(CURLcode result);
    std::string Describe(CURLcode result) const;
    // Bytes of the file so far, those of an earlier attempt included.
    unsigned long long BytesWritten() const { return m_base + m_written; }

    // What was last reported, for throttling (I/O thread only).
    struct Reported {
        std::chrono::steady_clock::time_point at;
        unsigned long long done = 0;
        bool any = false;
    };
    Reported& LastReport() { return m_reported; }

private:
    // The head of the answer being read (the last one, after redirects).
    struct Head {
        long status = 0;
        bool decided = false;  // its body is known to be the file, or refused
        long long contentLength = -1;
        std::string contentRange;
        std::string etag;
        std::string lastModified;
    };

    DownloadJob() = default;
    bool Setup(const JobSettings& settings, std::string* error);
    bool OpenPartial();
    bool EmptyPartial();
    bool TakeHeaderLine(const std::string& line);
    bool TakeWholeAnswer();
    bool TakePartialAnswer();
    unsigned Outcome(CURLcode result, bool flushed) const;
    void LogStartOver(const std::string& why) const;
    static size_t OnData(char* data, size_t size, size_t count, void* self);
    static size_t OnHeader(char* data, size_t size, size_t count, void* self);
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
    std::function<void()> m_release;
    Reported m_reported;
    char m_error[CURL_ERROR_SIZE] = {};

    // Resumable jobs only.
    bool m_resumable = false;
    std::filesystem::path m_record;
    std::string m_addressDigest;
    std::string m_validator;          // sent in If-Range
    unsigned long long m_resumeFrom = 0;  // the first byte asked for; 0: the whole file
    unsigned long long m_base = 0;    // bytes in the file before this answer's body
    unsigned long long m_total = 0;   // the whole file's size; 0: unknown
    bool m_haveRecord = false;        // the record on disk describes the partial file
    bool m_discard = false;           // the partial file is not worth continuing
    bool m_unaskedPart = false;       // a partial answer to a request for the whole file
    bool m_startedOver = false;
    std::string m_startOverWhy;       // why this answer cannot be appended
    curl_slist* m_requestHeaders = nullptr;
    Head m_head;
    Transfer::Policy m_policy;
};

}  // namespace Fetcher

#pragma once
// One upload: its file, its S3 requests and where it stands. Built on the
// caller's thread, then driven on the I/O thread only. The job never moves
// while its requests run (libcurl keeps pointers to them and to it).
//
// A file up to the threshold goes up in one PUT. A larger one: initiate
// (POST ?uploads=), parts (PUT ?partNumber=N&uploadId=...), a few at a time,
// each read from the file while it is sent, then complete (POST ?uploadId=).
// Every request is tried again after a growing pause when it timed out, lost
// its connection or got a 5xx status.

#include <curl/curl.h>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "S3Signing.h"
#include "pelbo/bucketput/OssUpload.h"
#include "transfer/Engine.h"
#include "transfer/Policy.h"

namespace Bucketput {

using Clock = std::chrono::steady_clock;

struct JobSettings {
    std::string objectUrl;  // without query
    std::string accessKeyId;
    std::string secret;
    std::string token;
    std::string contentType;
    Util::OssUpload::CUploadTuning tuning;
    bool multipartAllowed = true;
    bool retries = true;
};

class UploadJob;

// One HTTP request of an upload, with everything its easy handle points at.
struct S3Request {
    enum class Kind { Single, Initiate, Part, Complete, Abort };

    S3Request() = default;
    ~S3Request();
    S3Request(const S3Request&) = delete;
    S3Request& operator=(const S3Request&) = delete;

    static S3Request* FromHandle(CURL* easy);
    long Status() const;

    Kind kind = Kind::Single;
    UploadJob* job = nullptr;  // null for an abort that outlives its job
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    size_t part = 0;            // index into the job's parts
    unsigned long long offset = 0;
    unsigned long long length = 0;
    unsigned long long position = 0;  // bytes handed to libcurl
    unsigned long long inFlight = 0;  // bytes libcurl reports as sent
    bool fileError = false;
    std::string url;
    std::string body;
    std::string response;
    std::string etag;
    char error[CURL_ERROR_SIZE] = {};
    // For an initiate cut off by Stop: the abort of the upload it may still
    // open at the storage, sent once its answer names the upload id.
    std::unique_ptr<S3Request> abortAfter;
    // What signing the request again (with a new address) takes.
    std::string method;
    std::string typeLine;
    SigningKeys keys;
    Transfer::Limits limits;
    Transfer::Policy policy;
};

class UploadJob {
public:
    // Null with the refusal code (kRefused*) when the file cannot be opened.
    static std::unique_ptr<UploadJob> Create(unsigned long long id, const Util::OssUpload::CFileObjExt& record,
                                             const JobSettings& settings, unsigned* refusal, std::string* error);
    ~UploadJob();
    UploadJob(const UploadJob&) = delete;
    UploadJob& operator=(const UploadJob&) = delete;

    unsigned long long Id() const { return m_id; }
    bool Multipart() const { return m_multipart; }
    unsigned long long TotalBytes() const { return m_total; }
    // Bytes acknowledged or in flight; never decreases.
    unsigned long long SentBytes();

    // Starts the requests that are due, within the parallel limit.
    void Pump(Transfer::Loop& loop, Clock::time_point now);
    // A request of this job ended; the handle is already out of the loop.
    // The request is destroyed here.
    void OnDone(S3Request* request, CURLcode result, Clock::time_point now);
    bool Ended() const { return m_ended; }
    int EndCode() const { return m_endCode; }
    // When the next waiting retry is due; max() when none waits.
    Clock::time_point NextDue() const;
    // Takes the running requests out of the loop. Returns the request that
    // aborts a started multipart upload at the storage (not yet added), or
    // a running initiate (left in the loop) that carries that abort.
    std::unique_ptr<S3Request> Cancel(Transfer::Loop& loop);
    // The abort an initiate cut off by Stop carries, completed with the
    // upload id of its answer; null when the storage opened nothing.
    static std::unique_ptr<S3Request> AbortAfterInitiate(S3Request& initiate, CURLcode result);
    // The record with the progress figures and upload id of this moment.
    Util::OssUpload::CFileObjExt Snapshot(unsigned long long sent, Clock::time_point now) const;
    std::string Describe() const { return m_failure; }

    // Throttling of progress events (I/O thread).
    Clock::time_point lastReport;
    unsigned long long reportedBytes = 0;

private:
    struct Part {
        unsigned number = 0;
        unsigned long long offset = 0;
        unsigned long long length = 0;
        unsigned tries = 0;
        Clock::time_point due;
        bool running = false;
        bool done = false;
        std::string etag;
    };
    enum class Phase { Single, Initiate, Parts, Complete };

    UploadJob() = default;
    bool StartRequest(Transfer::Loop& loop, S3Request::Kind kind, size_t part);
    std::unique_ptr<S3Request> MakeRequest(S3Request::Kind kind, size_t part);
    void Fail(int code, const std::string& why);
    unsigned MaxTries() const;
    Clock::duration Backoff(unsigned tries) const;

    static size_t OnRead(char* buffer, size_t size, size_t count, void* self);
    static int OnSeek(void* self, curl_off_t offset, int origin);
    static size_t OnData(char* data, size_t size, size_t count, void* self);
    static size_t OnHeader(char* data, size_t size, size_t count, void* self);
    static int OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow);

    unsigned long long m_id = 0;
    Util::OssUpload::CFileObjExt m_record;
    JobSettings m_settings;
    std::ifstream m_file;
    unsigned long long m_total = 0;
    bool m_multipart = false;
    Clock::time_point m_started;

    Phase m_phase = Phase::Single;
    // The single PUT, initiate and complete are tracked as parts[0] of their
    // own: tries and due time of the phase's one request.
    Part m_step;
    std::vector<Part> m_parts;
    std::string m_uploadId;
    unsigned long long m_doneBytes = 0;
    unsigned long long m_sentMax = 0;
    std::map<S3Request*, std::unique_ptr<S3Request>> m_running;
    bool m_ended = false;
    int m_endCode = 0;
    std::string m_failure;
};

}  // namespace Bucketput

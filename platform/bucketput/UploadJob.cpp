#include "UploadJob.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "S3Text.h"

namespace Bucketput {
namespace {

using namespace Util::OssUpload;

// Storage answers to uploads are short XML documents; more means a broken peer.
constexpr size_t kMaxResponseBytes = 1u << 20;
// S3 allows at most this many parts; a larger file gets larger parts.
constexpr unsigned long long kMaxParts = 10000;
constexpr unsigned long long kMinPartSize = 64u << 10;
// libcurl reads the body in pieces of this size: large enough for speed,
// small enough that parallel parts cost little memory.
constexpr long kUploadBufferBytes = 512L << 10;

bool Retryable(CURLcode result, long status)
{
    if (result == CURLE_OK)
        return status >= 500 || status == 408 || status == 429 || status == 0;
    switch (result) {
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return true;
    default:
        return false;
    }
}

std::string Trim(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    const size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// Signs the request as it stands (its address, type and this moment) and
// applies the network rules. The headers are built anew, so a request whose
// address changed is signed again.
bool SignAndApplyPolicy(S3Request& request)
{
    std::vector<std::string> extra;
    if (!request.typeLine.empty())
        extra.push_back(request.typeLine);
    std::vector<std::string> signedLines;
    std::string error;
    // Bodies are streamed from disk: hashing them first would read every
    // byte twice.
    if (!SignedHeaderLines(request.method, request.url, extra, "UNSIGNED-PAYLOAD", request.keys, AmzDateNow(),
                           &signedLines, &error))
        return false;
    curl_slist_free_all(request.headers);
    request.headers = nullptr;
    extra.insert(extra.end(), signedLines.begin(), signedLines.end());
    for (const std::string& line : extra) {
        curl_slist* grown = curl_slist_append(request.headers, line.c_str());
        if (grown == nullptr)
            return false;
        request.headers = grown;
    }
    return request.policy.Apply(request.easy, request.limits, &request.headers, &error) == CURLE_OK;
}

}  // namespace


S3Request::~S3Request()
{
    if (easy != nullptr)
        curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
}

S3Request* S3Request::FromHandle(CURL* easy)
{
    char* self = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIVATE, &self);
    return reinterpret_cast<S3Request*>(self);
}

long S3Request::Status() const
{
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

std::unique_ptr<UploadJob> UploadJob::Create(unsigned long long id, const CFileObjExt& record,
                                             const JobSettings& settings, unsigned* refusal, std::string* error)
{
    std::unique_ptr<UploadJob> job(new UploadJob());
    job->m_id = id;
    job->m_record = record;
    job->m_record.ullUploadID = id;
    job->m_settings = settings;
    const std::filesystem::path path(record.strLocalPath);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        *refusal = kRefusedFile;
        *error = "not a readable file";
        return nullptr;
    }
    job->m_total = std::filesystem::file_size(path, ec);
    if (ec) {
        *refusal = kRefusedFile;
        *error = "size unreadable: " + ec.message();
        return nullptr;
    }
    // Opened once for the whole upload: parts and retries read through this
    // handle, so the bytes sent are those of the file as it was opened.
    job->m_file.open(path, std::ios::binary);
    if (!job->m_file) {
        *refusal = kRefusedFile;
        *error = "cannot open the file";
        return nullptr;
    }
    CUploadTuning& tuning = job->m_settings.tuning;
    tuning.partSize = std::max(tuning.partSize, kMinPartSize);
    tuning.parallelParts = std::max(tuning.parallelParts, 1u);
    job->m_multipart = settings.multipartAllowed && job->m_total > tuning.multipartThreshold;
    if (job->m_multipart) {
        const unsigned long long partSize =
            std::max(tuning.partSize, (job->m_total + kMaxParts - 1) / kMaxParts);
        for (unsigned long long offset = 0; offset < job->m_total; offset += partSize) {
            Part part;
            part.number = static_cast<unsigned>(job->m_parts.size() + 1);
            part.offset = offset;
            part.length = std::min(partSize, job->m_total - offset);
            job->m_parts.push_back(part);
        }
        job->m_phase = Phase::Initiate;
    }
    job->m_started = Clock::now();
    job->lastReport = job->m_started;
    return job;
}

UploadJob::~UploadJob() = default;

unsigned UploadJob::MaxTries() const
{
    return m_settings.retries ? std::max(m_settings.tuning.maxTries, 1u) : 1u;
}

Clock::duration UploadJob::Backoff(unsigned tries) const
{
    const unsigned shift = std::min(tries > 0 ? tries - 1 : 0u, 10u);
    return std::chrono::milliseconds(static_cast<long long>(m_settings.tuning.backoffMs) << shift);
}

unsigned long long UploadJob::SentBytes()
{
    unsigned long long sent = m_doneBytes;
    for (const auto& entry : m_running)
        sent += entry.second->inFlight;
    m_sentMax = std::min(std::max(m_sentMax, sent), m_total);
    return m_sentMax;
}

CFileObjExt UploadJob::Snapshot(unsigned long long sent, Clock::time_point now) const
{
    CFileObjExt record = m_record;
    record.ullProgress1 = sent;
    record.ullProgress2 = m_total;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - m_started).count();
    record.ullProgress3 = ms > 0 ? sent * 1000ull / static_cast<unsigned long long>(ms) : 0;
    return record;
}

Clock::time_point UploadJob::NextDue() const
{
    auto next = Clock::time_point::max();
    if (m_ended)
        return next;
    if (m_phase == Phase::Parts) {
        for (const Part& part : m_parts) {
            if (!part.done && !part.running && part.tries > 0)
                next = std::min(next, part.due);
        }
    } else if (!m_step.running && m_step.tries > 0) {
        next = m_step.due;
    }
    return next;
}

void UploadJob::Pump(Transfer::Loop& loop, Clock::time_point now)
{
    if (m_ended)
        return;
    if (m_phase != Phase::Parts) {
        if (m_step.running || m_step.due > now)
            return;
        const S3Request::Kind kind = m_phase == Phase::Single     ? S3Request::Kind::Single
                                     : m_phase == Phase::Initiate ? S3Request::Kind::Initiate
                                                                  : S3Request::Kind::Complete;
        if (StartRequest(loop, kind, 0))
            m_step.running = true;
        return;
    }
    size_t running = 0;
    for (const Part& part : m_parts)
        running += part.running ? 1 : 0;
    for (size_t i = 0; i < m_parts.size() && running < m_settings.tuning.parallelParts && !m_ended; ++i) {
        Part& part = m_parts[i];
        if (part.done || part.running || part.due > now)
            continue;
        if (!StartRequest(loop, S3Request::Kind::Part, i))
            return;
        part.running = true;
        ++running;
    }
}

std::unique_ptr<S3Request> UploadJob::MakeRequest(S3Request::Kind kind, size_t partIndex)
{
    auto request = std::make_unique<S3Request>();
    request->kind = kind;
    request->job = this;
    request->part = partIndex;
    request->easy = curl_easy_init();
    if (request->easy == nullptr)
        return nullptr;
    const std::string encodedId = AwsUriEncode(m_uploadId, false);
    // Queries are written in their canonical form (sorted, "name=value"), so
    // what libcurl signs is what the storage recomputes.
    switch (kind) {
    case S3Request::Kind::Single:
        request->url = m_settings.objectUrl;
        request->length = m_total;
        break;
    case S3Request::Kind::Initiate:
        request->url = m_settings.objectUrl + "?uploads=";
        break;
    case S3Request::Kind::Part:
        request->url = m_settings.objectUrl + "?partNumber=" + std::to_string(m_parts[partIndex].number) +
                       "&uploadId=" + encodedId;
        request->offset = m_parts[partIndex].offset;
        request->length = m_parts[partIndex].length;
        break;
    case S3Request::Kind::Complete: {
        std::vector<std::pair<unsigned, std::string>> list;
        list.reserve(m_parts.size());
        for (const Part& part : m_parts)
            list.emplace_back(part.number, part.etag);
        request->body = CompleteMultipartBody(list);
        request->url = m_settings.objectUrl + "?uploadId=" + encodedId;
        break;
    }
    case S3Request::Kind::Abort:
        request->url = m_settings.objectUrl + "?uploadId=" + encodedId;
        break;
    }

    const bool carriesType = kind == S3Request::Kind::Single || kind == S3Request::Kind::Initiate;
    if (carriesType && !m_settings.contentType.empty())
        request->typeLine = "Content-Type: " + m_settings.contentType;
    else if (kind == S3Request::Kind::Complete)
        request->typeLine = "Content-Type: application/xml";
    request->method = kind == S3Request::Kind::Initiate || kind == S3Request::Kind::Complete ? "POST"
                      : kind == S3Request::Kind::Abort                                        ? "DELETE"
                                                                                              : "PUT";
    request->keys.accessKeyId = m_settings.accessKeyId;
    request->keys.secret = m_settings.secret;
    request->keys.token = m_settings.token;

    CURL* easy = request->easy;
    CURLcode rc = CURLE_OK;
    auto set = [&rc](CURLcode result) {
        if (rc == CURLE_OK)
            rc = result;
    };
    set(curl_easy_setopt(easy, CURLOPT_URL, request->url.c_str()));
    set(curl_easy_setopt(easy, CURLOPT_PRIVATE, request.get()));
    set(curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, request->error));
    set(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &UploadJob::OnData));
    set(curl_easy_setopt(easy, CURLOPT_WRITEDATA, request.get()));
    set(curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &UploadJob::OnHeader));
    set(curl_easy_setopt(easy, CURLOPT_HEADERDATA, request.get()));
    switch (kind) {
    case S3Request::Kind::Single:
    case S3Request::Kind::Part:
        set(curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L));
        set(curl_easy_setopt(easy, CURLOPT_READFUNCTION, &UploadJob::OnRead));
        set(curl_easy_setopt(easy, CURLOPT_READDATA, request.get()));
        set(curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &UploadJob::OnSeek));
        set(curl_easy_setopt(easy, CURLOPT_SEEKDATA, request.get()));
        set(curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(request->length)));
        set(curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferBytes));
        set(curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L));
        set(curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &UploadJob::OnProgress));
        set(curl_easy_setopt(easy, CURLOPT_XFERINFODATA, request.get()));
        break;
    case S3Request::Kind::Initiate:
    case S3Request::Kind::Complete:
        set(curl_easy_setopt(easy, CURLOPT_POST, 1L));
        set(curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request->body.size())));
        set(curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request->body.c_str()));
        break;
    case S3Request::Kind::Abort:
        set(curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "DELETE"));
        break;
    }
    if (rc != CURLE_OK)
        return nullptr;
    request->limits.lowSpeedSeconds = std::max(1L, static_cast<long>(m_settings.tuning.stallTimeoutMs / 1000));
    request->limits.maxBodyBytes = static_cast<curl_off_t>(kMaxResponseBytes);
    // An abort is a last courtesy to the storage, often sent while the
    // client shuts down: it must not hold anything up for long.
    if (kind == S3Request::Kind::Abort)
        request->limits.totalTimeoutMs = 10000;
    if (!SignAndApplyPolicy(*request))
        return nullptr;
    return request;
}

bool UploadJob::StartRequest(Transfer::Loop& loop, S3Request::Kind kind, size_t part)
{
    std::unique_ptr<S3Request> request = MakeRequest(kind, part);
    if (!request) {
        Fail(kEndTransport, "the request could not be set up");
        return false;
    }
    if (loop.Add(request->easy) != CURLM_OK) {
        Fail(kEndTransport, "the request could not be started");
        return false;
    }
    S3Request* key = request.get();
    m_running.emplace(key, std::move(request));
    return true;
}

void UploadJob::Fail(int code, const std::string& why)
{
    if (m_ended)
        return;
    m_ended = true;
    m_endCode = code;
    m_failure = why;
}

void UploadJob::OnDone(S3Request* request, CURLcode result, Clock::time_point now)
{
    auto node = m_running.extract(request);
    if (node.empty())
        return;
    const std::unique_ptr<S3Request> owned = std::move(node.mapped());
    Part& state = request->kind == S3Request::Kind::Part ? m_parts[request->part] : m_step;
    state.running = false;
    if (m_ended)
        return;
    const long status = request->Status();
    bool ok = result == CURLE_OK && status >= 200 && status < 300;
    // S3 may answer a complete with 200 and an error document.
    if (ok && request->kind == S3Request::Kind::Complete &&
        request->response.find("<Error>") != std::string::npos)
        ok = false;
    if (request->fileError) {
        Fail(kEndFile, "the file ended early or became unreadable");
        return;
    }
    if (!ok) {
        ++state.tries;
        std::string why = result != CURLE_OK ? std::string(curl_easy_strerror(result))
                                             : "HTTP status " + std::to_string(status);
        if (request->error[0] != '\0')
            why += std::string(": ") + request->error;
        if (Retryable(result, status) && state.tries < MaxTries()) {
            state.due = now + Backoff(state.tries);
            return;
        }
        const bool refused = result == CURLE_OK && status >= 400 && status < 500;
        Fail(refused ? kEndRefused : kEndTransport, why);
        return;
    }
    switch (request->kind) {
    case S3Request::Kind::Single:
        m_doneBytes = m_total;
        m_ended = true;
        m_endCode = kEndOk;
        break;
    case S3Request::Kind::Initiate:
        m_uploadId = XmlElementText(request->response, "UploadId");
        if (m_uploadId.empty()) {
            Fail(kEndProtocol, "the storage named no upload id");
            return;
        }
        m_phase = Phase::Parts;
        break;
    case S3Request::Kind::Part: {
        Part& part = m_parts[request->part];
        if (request->etag.empty()) {
            Fail(kEndProtocol, "the storage gave part " + std::to_string(part.number) + " no ETag");
            return;
        }
        part.etag = request->etag;
        part.done = true;
        m_doneBytes += part.length;
        const bool all = std::all_of(m_parts.begin(), m_parts.end(), [](const Part& p) { return p.done; });
        if (all) {
            m_phase = Phase::Complete;
            m_step = Part();
        }
        break;
    }
    case S3Request::Kind::Complete:
        m_ended = true;
        m_endCode = kEndOk;
        break;
    case S3Request::Kind::Abort:
        break;
    }
}

std::unique_ptr<S3Request> UploadJob::Cancel(Transfer::Loop& loop)
{
    std::unique_ptr<S3Request> initiate;
    for (auto& entry : m_running) {
        if (entry.second->kind == S3Request::Kind::Initiate && m_uploadId.empty())
            initiate = std::move(entry.second);
        else
            loop.Remove(entry.second->easy);
    }
    m_running.clear();
    if (initiate) {
        // The storage may open the upload after this Stop: the initiate runs
        // on by itself, and the upload its answer names is aborted.
        m_ended = true;
        initiate->job = nullptr;
        initiate->abortAfter = MakeRequest(S3Request::Kind::Abort, 0);
        if (!initiate->abortAfter) {
            loop.Remove(initiate->easy);
            return nullptr;
        }
        initiate->abortAfter->job = nullptr;
        return initiate;
    }
    const bool open = m_multipart && !m_uploadId.empty() && !(m_ended && m_endCode == kEndOk);
    m_ended = true;
    if (!open)
        return nullptr;
    std::unique_ptr<S3Request> abort = MakeRequest(S3Request::Kind::Abort, 0);
    if (abort)
        abort->job = nullptr;
    return abort;
}

std::unique_ptr<S3Request> UploadJob::AbortAfterInitiate(S3Request& initiate, CURLcode result)
{
    if (!initiate.abortAfter || result != CURLE_OK || initiate.Status() / 100 != 2)
        return nullptr;
    const std::string uploadId = XmlElementText(initiate.response, "UploadId");
    if (uploadId.empty())
        return nullptr;
    std::unique_ptr<S3Request> abort = std::move(initiate.abortAfter);
    abort->url += AwsUriEncode(uploadId, false);
    if (curl_easy_setopt(abort->easy, CURLOPT_URL, abort->url.c_str()) != CURLE_OK || !SignAndApplyPolicy(*abort))
        return nullptr;
    return abort;
}

size_t UploadJob::OnRead(char* buffer, size_t size, size_t count, void* self)
{
    auto* request = static_cast<S3Request*>(self);
    UploadJob* job = request->job;
    const unsigned long long left = request->length - request->position;
    const size_t want = static_cast<size_t>(std::min<unsigned long long>(left, size * count));
    if (want == 0)
        return 0;
    // Parts share the file handle, and all run on this one thread: each read
    // says where it starts.
    job->m_file.clear();
    job->m_file.seekg(static_cast<std::streamoff>(request->offset + request->position));
    job->m_file.read(buffer, static_cast<std::streamsize>(want));
    const auto got = static_cast<size_t>(job->m_file.gcount());
    if (got != want) {
        request->fileError = true;
        return CURL_READFUNC_ABORT;
    }
    request->position += got;
    return got;
}

int UploadJob::OnSeek(void* self, curl_off_t offset, int origin)
{
    auto* request = static_cast<S3Request*>(self);
    if (origin != SEEK_SET || offset < 0 || static_cast<unsigned long long>(offset) > request->length)
        return CURL_SEEKFUNC_CANTSEEK;
    request->position = static_cast<unsigned long long>(offset);
    return CURL_SEEKFUNC_OK;
}

size_t UploadJob::OnData(char* data, size_t size, size_t count, void* self)
{
    auto* request = static_cast<S3Request*>(self);
    const size_t bytes = size * count;
    if (request->response.size() + bytes > kMaxResponseBytes)
        return 0;
    request->response.append(data, bytes);
    return bytes;
}

size_t UploadJob::OnHeader(char* data, size_t size, size_t count, void* self)
{
    auto* request = static_cast<S3Request*>(self);
    const size_t bytes = size * count;
    const std::string line(data, bytes);
    if (line.compare(0, 5, "HTTP/") == 0) {
        request->etag.clear();
    } else if (line.size() > 5) {
        std::string name = line.substr(0, 5);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (name == "etag:")
            request->etag = Trim(line.substr(5));
    }
    return bytes;
}

int UploadJob::OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow)
{
    auto* request = static_cast<S3Request*>(self);
    if (ulnow > 0)
        request->inFlight = std::min(static_cast<unsigned long long>(ulnow), request->length);
    return 0;
}

}  // namespace Bucketput

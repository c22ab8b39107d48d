#include "DownloadJob.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <system_error>

#include "DownloadLog.h"
#include "PartialRecord.h"
#include "pelbo/corekit/Text.h"
#include "pelbo/fetcher/HttpDownload.h"

namespace Fetcher {

namespace HD = Util::HttpDownload;

namespace {

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::unique_ptr<DownloadJob> DownloadJob::Create(unsigned long long id, const std::string& utf8Url,
                                                 const std::filesystem::path& destination, bool resumable,
                                                 const JobSettings& settings, unsigned* refusal, std::string* error)
{
    std::unique_ptr<DownloadJob> job(new DownloadJob());
    job->m_id = id;
    job->m_url = utf8Url;
    job->m_destination = destination;
    if (resumable) {
        job->m_resumable = true;
        job->m_temporary = PartialPath(destination);
        job->m_record = RecordPath(destination);
        job->m_addressDigest = Util::MD5::BufferToMD5(utf8Url.data(), utf8Url.size());
        job->OpenPartial();
    } else {
        job->m_temporary = destination;
        job->m_temporary += "." + std::to_string(id) + ".part";
        job->m_file.open(job->m_temporary, std::ios::binary | std::ios::trunc);
    }
    if (!job->m_file.is_open()) {
        *refusal = HD::kRefusedFile;
        *error = "cannot create " + job->m_temporary.u8string();
        return nullptr;
    }
    if (!job->Setup(settings, error)) {
        *refusal = HD::kRefusedUnavailable;
        return nullptr;
    }
    return job;
}

DownloadJob::~DownloadJob()
{
    if (m_easy != nullptr) {
        curl_easy_cleanup(m_easy);
    }
    curl_slist_free_all(m_requestHeaders);
    if (m_file.is_open()) {
        m_file.close();
    }
    // A partial file is worth keeping only with its record, and only when it
    // holds something and nothing showed it to be of no use.
    const bool keep = m_resumable && m_haveRecord && !m_discard && BytesWritten() > 0;
    if (!m_committed && !keep) {
        std::error_code ignored;
        // The fixed name may be taken by a folder of the user's, which
        // remove() would take away when empty.
        if (!m_resumable || !std::filesystem::is_directory(m_temporary, ignored)) {
            std::filesystem::remove(m_temporary, ignored);
        }
        if (m_resumable) {
            std::filesystem::remove(m_record, ignored);
        }
    }
    if (m_release) {
        m_release();
    }
}

// Continues the partial file of an earlier attempt when its record says how,
// or else starts it afresh. Leaves m_file open on success.
bool DownloadJob::OpenPartial()
{
    std::error_code ec;
    const auto status = std::filesystem::status(m_temporary, ec);
    if (!std::filesystem::exists(status)) {
        return EmptyPartial();
    }
    const bool regular = std::filesystem::is_regular_file(status);
    const unsigned long long size = regular ? std::filesystem::file_size(m_temporary, ec) : 0;
    PartialRecord record;
    std::string why;
    if (!regular || ec) {
        why = "the partial file cannot be read";
    } else if (!ReadPartialRecord(m_record, &record)) {
        why = "the partial file has no usable record";
    } else if (record.addressDigest != m_addressDigest) {
        why = "the partial file is of another address";
    } else if (size == 0 || size >= record.total) {
        why = "the partial file holds " + std::to_string(size) + " of " + std::to_string(record.total) + " bytes";
    }
    if (!why.empty()) {
        LogStartOver(why);
        return EmptyPartial();
    }
    m_resumeFrom = size;
    m_base = size;
    m_total = record.total;
    m_validator = record.validator;
    m_haveRecord = true;
    m_file.open(m_temporary, std::ios::binary | std::ios::app);
    return m_file.is_open();
}

// The record goes first: a partial file never outlives the answer it
// describes with a record that still vouches for it.
bool DownloadJob::EmptyPartial()
{
    std::error_code ignored;
    std::filesystem::remove(m_record, ignored);
    m_haveRecord = false;
    if (m_file.is_open()) {
        m_file.close();
    }
    m_file.clear();
    m_file.open(m_temporary, std::ios::binary | std::ios::trunc);
    return m_file.is_open();
}

void DownloadJob::LogStartOver(const std::string& why) const
{
    Util::Log::Info(kLogTag, L"Download %llu from %s: starting over: %S", m_id, MaskedUrl(m_url).c_str(),
                    why.c_str());
}

DownloadJob* DownloadJob::FromHandle(CURL* easy)
{
    char* self = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIVATE, &self);
    return reinterpret_cast<DownloadJob*>(self);
}

bool DownloadJob::Setup(const JobSettings& settings, std::string* error)
{
    m_easy = curl_easy_init();
    if (m_easy == nullptr) {
        *error = "curl_easy_init failed";
        return false;
    }
    CURLcode rc = CURLE_OK;
    auto set = [&rc](CURLcode result) {
        if (rc == CURLE_OK) {
            rc = result;
        }
    };
    set(curl_easy_setopt(m_easy, CURLOPT_URL, m_url.c_str()));
    set(curl_easy_setopt(m_easy, CURLOPT_PRIVATE, this));
    set(curl_easy_setopt(m_easy, CURLOPT_ERRORBUFFER, m_error));
    // A refusal's body is an error page, not the file.
    set(curl_easy_setopt(m_easy, CURLOPT_FAILONERROR, 1L));
    // OnData holds the size limit for a body whose size was not announced.
    m_maxBytes = settings.maxBytes;
    if (m_resumable) {
        set(curl_easy_setopt(m_easy, CURLOPT_HEADERFUNCTION, &DownloadJob::OnHeader));
        set(curl_easy_setopt(m_easy, CURLOPT_HEADERDATA, this));
    }
    if (m_resumeFrom > 0) {
        set(curl_easy_setopt(m_easy, CURLOPT_RANGE, (std::to_string(m_resumeFrom) + "-").c_str()));
        m_requestHeaders = curl_slist_append(nullptr, ("If-Range: " + m_validator).c_str());
        if (m_requestHeaders == nullptr) {
            *error = "out of memory";
            return false;
        }
    }
    // Fewer, larger writes for big files; as large as the curl tool's.
    set(curl_easy_setopt(m_easy, CURLOPT_BUFFERSIZE, 128L * 1024));
    set(curl_easy_setopt(m_easy, CURLOPT_WRITEFUNCTION, &DownloadJob::OnData));
    set(curl_easy_setopt(m_easy, CURLOPT_WRITEDATA, this));
    set(curl_easy_setopt(m_easy, CURLOPT_XFERINFOFUNCTION, &DownloadJob::OnProgress));
    set(curl_easy_setopt(m_easy, CURLOPT_XFERINFODATA, this));
    set(curl_easy_setopt(m_easy, CURLOPT_NOPROGRESS, 0L));
    if (rc != CURLE_OK) {
        *error = std::string("set-up refused: ") + curl_easy_strerror(rc);
        return false;
    }
    // No limit on the whole transfer (an installer is large and the line may
    // be slow), only on its speed.
    Transfer::Limits limits;
    limits.followRedirects = true;
    if (settings.lowSpeedBytesPerSecond > 0 && settings.lowSpeedSeconds > 0) {
        limits.lowSpeedBytesPerSecond = settings.lowSpeedBytesPerSecond;
        limits.lowSpeedSeconds = settings.lowSpeedSeconds;
    }
    // An announced size over the limit fails before the body comes. libcurl
    // would measure only the rest of a resumed file: the head of its answer
    // is checked here instead (TakeWholeAnswer, TakePartialAnswer).
    if (!m_resumable) {
        limits.maxBodyBytes = static_cast<curl_off_t>(m_maxBytes);
    }
    return m_policy.Apply(m_easy, limits, &m_requestHeaders, error) == CURLE_OK;
}

size_t DownloadJob::OnData(char* data, size_t size, size_t count, void* self)
{
    auto* job = static_cast<DownloadJob*>(self);
    const size_t bytes = size * count;
    if (job->StopRequested()) {
        return 0;
    }
    // The body of an answer that is not the file (a status that is no
    // success): the result reports the status, the partial file stays clean.
    if (job->m_resumable && !job->m_head.decided) {
        return bytes;
    }
    const unsigned long long have = job->BytesWritten();
    if (job->m_maxBytes > 0 && (have > job->m_maxBytes || bytes > job->m_maxBytes - have)) {
        job->m_tooLarge = true;
        return 0;
    }
    job->m_file.write(data, static_cast<std::streamsize>(bytes));
    if (!job->m_file) {
        job->m_writeFailed = true;
        return 0;  // libcurl ends the transfer with a write error
    }
    job->m_written += bytes;
    return bytes;
}

int DownloadJob::OnProgress(void* self, curl_off_t dlTotal, curl_off_t, curl_off_t, curl_off_t)
{
    auto* job = static_cast<DownloadJob*>(self);
    if (job->StopRequested()) {
        return 1;
    }
    // Bytes on disk rather than libcurl's count: the two differ for an
    // encoded body, and the caller cares about the file.
    unsigned long long total = dlTotal > 0 ? static_cast<unsigned long long>(dlTotal) : 0;
    if (job->m_resumable) {
        // libcurl knows only this answer's body, the rest of the file.
        total = job->m_total != 0 ? job->m_total : (total > 0 ? job->m_base + total : 0);
    }
    if (job->m_progress && !job->m_progress(*job, job->BytesWritten(), total)) {
        return 1;
    }
    // A stop asked for from inside the report takes effect at once.
    return job->StopRequested() ? 1 : 0;
}

size_t DownloadJob::OnHeader(char* data, size_t size, size_t count, void* self)
{
    auto* job = static_cast<DownloadJob*>(self);
    const size_t bytes = size * count;
    std::string line(data, bytes);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    return job->TakeHeaderLine(line) ? bytes : 0;
}

// False ends the transfer (libcurl reports a write error).
bool DownloadJob::TakeHeaderLine(const std::string& line)
{
    if (StopRequested()) {
        return false;
    }
    if (line.compare(0, 5, "HTTP/") == 0) {
        // Each answer of a redirect chain (and each interim one) starts
        // with its status line: only the last one's head counts.
        m_head = Head();
        const size_t space = line.find(' ');
        unsigned long long status = 0;
        if (space != std::string::npos && ParseDecimal(line.substr(space + 1, 3), &status)) {
            m_head.status = static_cast<long>(status);
        }
        return true;
    }
    if (m_head.decided) {
        return true;  // trailers after a body
    }
    if (line.empty()) {
        if (m_head.status < 200 || m_head.status >= 300) {
            return true;
        }
        m_head.decided = true;
        return m_head.status == 206 ? TakePartialAnswer() : TakeWholeAnswer();
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos) {
        return true;
    }
    const std::string name = Lower(line.substr(0, colon));
    const std::string value = Trimmed(line.substr(colon + 1));
    if (name == "content-length") {
        unsigned long long length = 0;
        m_head.contentLength = ParseDecimal(value, &length) && length <= static_cast<unsigned long long>(LLONG_MAX)
                                   ? static_cast<long long>(length)
                                   : -1;
    } else if (name == "content-range") {
        m_head.contentRange = value;
    } else if (name == "etag") {
        m_head.etag = value;
    } else if (name == "last-modified") {
        m_head.lastModified = value;
    }
    return true;
}

// The body is the whole file: it replaces whatever the partial file holds.
bool DownloadJob::TakeWholeAnswer()
{
    if (m_resumeFrom > 0) {
        LogStartOver("the server sent the whole file (it changed, or ranges are not served)");
        m_resumeFrom = 0;
        if (!EmptyPartial()) {
            m_writeFailed = true;
            return false;
        }
    }
    m_base = 0;
    m_total = m_head.contentLength > 0 ? static_cast<unsigned long long>(m_head.contentLength) : 0;
    if (m_maxBytes > 0 && m_total > m_maxBytes) {
        m_tooLarge = true;
        return false;
    }
    PartialRecord record;
    record.addressDigest = m_addressDigest;
    record.validator = ChooseValidator(m_head.etag, m_head.lastModified);
    record.total = m_total;
    // Without a validator and a size a later attempt could not tell whether
    // the partial file still belongs to the file on the server.
    m_haveRecord = !record.validator.empty() && record.total > 0 && WritePartialRecord(m_record, record);
    return true;
}

// The body is the rest of the file, to be appended, provided it starts
// exactly where the partial file ends and belongs to a file of its size.
bool DownloadJob::TakePartialAnswer()
{
    if (m_resumeFrom == 0) {
        m_unaskedPart = true;
        m_discard = true;
        return false;
    }
    unsigned long long first = 0, last = 0, total = 0;
    const bool parsed = ParseContentRange(m_head.contentRange, &first, &last, &total);
    const bool lengthFits =
        m_head.contentLength < 0 || static_cast<unsigned long long>(m_head.contentLength) == total - first;
    const bool fits = parsed && first == m_resumeFrom && total == m_total && last + 1 == total && lengthFits;
    if (!fits) {
        m_startOverWhy =
            "the server's partial answer does not fit (Content-Range \"" + Printable(m_head.contentRange) + "\")";
        return false;
    }
    if (m_maxBytes > 0 && total > m_maxBytes) {
        m_tooLarge = true;
        return false;
    }
    Util::Log::Info(kLogTag, L"Download %llu from %s: resuming at %llu of %llu bytes", m_id, MaskedUrl(m_url).c_str(),
                    m_resumeFrom, total);
    return true;
}

bool DownloadJob::StartOver(CURLcode result)
{
    if (!m_resumable || m_resumeFrom == 0 || m_startedOver || StopRequested()) {
        return false;
    }
    std::string why = m_startOverWhy;
    if (why.empty()) {
        long status = 0;
        curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &status);
        if (result != CURLE_HTTP_RETURNED_ERROR || status != 416) {
            return false;
        }
        why = "the server cannot serve the range (416)";
    }
    m_startedOver = true;
    m_startOverWhy.clear();
    LogStartOver(why);
    m_resumeFrom = 0;
    m_base = 0;
    m_total = 0;
    m_written = 0;
    m_head = Head();
    m_error[0] = '\0';
    if (!EmptyPartial()) {
        m_writeFailed = true;
        return false;
    }
    const bool reset = curl_easy_setopt(m_easy, CURLOPT_RANGE, static_cast<const char*>(nullptr)) == CURLE_OK &&
                       curl_easy_setopt(m_easy, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr)) == CURLE_OK;
    curl_slist_free_all(m_requestHeaders);
    m_requestHeaders = nullptr;
    return reset;
}

unsigned DownloadJob::Outcome(CURLcode result, bool flushed) const
{
    if (m_stop.load()) {
        return HD::kDownStopped;
    }
    if (m_tooLarge || result == CURLE_FILESIZE_EXCEEDED) {
        return HD::kDownTooLarge;
    }
    if (m_writeFailed || !flushed) {
        return HD::kDownFile;
    }
    long status = 0;
    curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &status);
    if (result == CURLE_HTTP_RETURNED_ERROR || (result == CURLE_OK && (status < 200 || status >= 300))) {
        return status > 0 ? static_cast<unsigned>(status) : HD::kDownTransport;
    }
    if (result != CURLE_OK || m_unaskedPart || !m_startOverWhy.empty()) {
        return HD::kDownTransport;
    }
    // A body without an announced length ends when the connection does:
    // only the size from the head tells whether all of it came.
    if (m_resumable && m_total != 0 && BytesWritten() != m_total) {
        return HD::kDownTransport;
    }
    return HD::kDownOk;
}

unsigned DownloadJob::Finish(CURLcode result)
{
    m_file.flush();
    const bool flushed = static_cast<bool>(m_file);
    m_file.close();
    unsigned code = Outcome(result, flushed);
    if (code == HD::kDownOk) {
        std::error_code ec;
        std::filesystem::rename(m_temporary, m_destination, ec);
        if (ec) {
            code = HD::kDownFile;
        } else {
            m_committed = true;
            if (m_resumable) {
                std::filesystem::remove(m_record, ec);
            }
        }
    }
    // Only a broken line or a stop leaves a partial file worth continuing.
    if (code != HD::kDownOk && code != HD::kDownTransport && code != HD::kDownStopped) {
        m_discard = true;
    }
    return code;
}

std::string DownloadJob::Describe(CURLcode result) const
{
    if (m_policy.RefusedDowngrade()) {
        return "redirect from https to http refused";
    }
    if (m_writeFailed) {
        return "writing " + m_temporary.u8string() + " failed";
    }
    if (!m_startOverWhy.empty()) {
        return m_startOverWhy;
    }
    if (m_unaskedPart) {
        return "a partial answer to a request for the whole file";
    }
    if (m_resumable && result == CURLE_OK && m_total != 0 && BytesWritten() != m_total) {
        return "the body ended at " + std::to_string(BytesWritten()) + " of " + std::to_string(m_total) + " bytes";
    }
    if (m_tooLarge || result == CURLE_FILESIZE_EXCEEDED) {
        return "the body exceeds the limit of " + std::to_string(m_maxBytes) + " bytes";
    }
    std::string text = curl_easy_strerror(result);
    if (m_error[0] != '\0') {
        text += ": ";
        text += m_error;
    }
    long status = 0;
    curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &status);
    return text + " (HTTP status " + std::to_string(status) + ")";
}

}  // namespace Fetcher

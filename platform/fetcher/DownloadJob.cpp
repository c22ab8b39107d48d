#include "DownloadJob.h"

#include <algorithm>
#include <system_error>

#include "UrlScheme.h"
#include "fetcher/HttpDownload.h"

namespace Fetcher {

namespace HD = Util::HttpDownload;

std::unique_ptr<DownloadJob> DownloadJob::Create(unsigned long long id, const std::string& utf8Url,
                                                 const std::filesystem::path& destination,
                                                 const JobSettings& settings, unsigned* refusal, std::string* error)
{
    std::unique_ptr<DownloadJob> job(new DownloadJob());
    job->m_id = id;
    job->m_url = utf8Url;
    job->m_destination = destination;
    job->m_temporary = destination;
    job->m_temporary += "." + std::to_string(id) + ".part";
    job->m_file.open(job->m_temporary, std::ios::binary | std::ios::trunc);
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
    if (m_file.is_open()) {
        m_file.close();
    }
    if (!m_committed) {
        std::error_code ignored;
        std::filesystem::remove(m_temporary, ignored);
    }
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
    set(curl_easy_setopt(m_easy, CURLOPT_NOSIGNAL, 1L));
    set(curl_easy_setopt(m_easy, CURLOPT_PROTOCOLS_STR, "http,https"));
    // A download asked for over https never goes on over plain http: a
    // redirect must not strip the protection the caller chose.
    set(curl_easy_setopt(m_easy, CURLOPT_REDIR_PROTOCOLS_STR, SchemeOf(m_url) == UrlScheme::kHttps ? "https" : "http,https"));
    set(curl_easy_setopt(m_easy, CURLOPT_FOLLOWLOCATION, 1L));
    set(curl_easy_setopt(m_easy, CURLOPT_MAXREDIRS, 5L));
    // A refusal's body is an error page, not the file.
    set(curl_easy_setopt(m_easy, CURLOPT_FAILONERROR, 1L));
    set(curl_easy_setopt(m_easy, CURLOPT_SSL_VERIFYPEER, 1L));
    set(curl_easy_setopt(m_easy, CURLOPT_SSL_VERIFYHOST, 2L));
    if (!settings.caBundle.empty()) {
        set(curl_easy_setopt(m_easy, CURLOPT_CAINFO, settings.caBundle.c_str()));
    }
#if defined(_WIN32)
    else {
        // OpenSSL knows no store of its own on Windows: the system's roots serve.
        set(curl_easy_setopt(m_easy, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NATIVE_CA)));
    }
#endif
    set(curl_easy_setopt(m_easy, CURLOPT_CONNECTTIMEOUT_MS, settings.connectTimeoutMs));
    // No limit on the whole transfer (an installer is large and the line may
    // be slow), only on its speed.
    if (settings.lowSpeedBytesPerSecond > 0 && settings.lowSpeedSeconds > 0) {
        set(curl_easy_setopt(m_easy, CURLOPT_LOW_SPEED_LIMIT, settings.lowSpeedBytesPerSecond));
        set(curl_easy_setopt(m_easy, CURLOPT_LOW_SPEED_TIME, settings.lowSpeedSeconds));
    } else if (settings.stallTimeoutMs > 0) {
        set(curl_easy_setopt(m_easy, CURLOPT_LOW_SPEED_LIMIT, 1L));
        set(curl_easy_setopt(m_easy, CURLOPT_LOW_SPEED_TIME, std::max(1L, settings.stallTimeoutMs / 1000)));
    }
    // An announced size over the limit fails before the body comes; OnData
    // holds the limit for a body whose size was not announced.
    m_maxBytes = settings.maxBytes;
    if (m_maxBytes > 0) {
        set(curl_easy_setopt(m_easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(m_maxBytes)));
    }
    set(curl_easy_setopt(m_easy, CURLOPT_TCP_KEEPALIVE, 1L));
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
    return true;
}

size_t DownloadJob::OnData(char* data, size_t size, size_t count, void* self)
{
    auto* job = static_cast<DownloadJob*>(self);
    const size_t bytes = size * count;
    if (job->StopRequested()) {
        return 0;
    }
    if (job->m_maxBytes > 0 && bytes > job->m_maxBytes - job->m_written) {
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
    const unsigned long long total = dlTotal > 0 ? static_cast<unsigned long long>(dlTotal) : 0;
    if (job->m_progress && !job->m_progress(*job, job->m_written, total)) {
        return 1;
    }
    // A stop asked for from inside the report takes effect at once.
    return job->StopRequested() ? 1 : 0;
}

unsigned DownloadJob::Finish(CURLcode result)
{
    m_file.flush();
    const bool flushed = static_cast<bool>(m_file);
    m_file.close();
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
    if (result != CURLE_OK) {
        return HD::kDownTransport;
    }
    std::error_code ec;
    std::filesystem::rename(m_temporary, m_destination, ec);
    if (ec) {
        return HD::kDownFile;
    }
    m_committed = true;
    return HD::kDownOk;
}

std::string DownloadJob::Describe(CURLcode result) const
{
    if (m_writeFailed) {
        return "writing " + m_temporary.u8string() + " failed";
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

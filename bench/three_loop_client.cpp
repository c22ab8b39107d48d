// The reference of bench_mixed: the same work on three separate libcurl
// loops, one thread and one multi handle each, the way REST requests,
// downloads and uploads ran before they shared one engine. The upload loop
// signs with libcurl and, as before, lets libcurl announce each body and
// waits at most 50 ms for "100 Continue".

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "MixedWork.h"

bool RunBareCurlClient(const std::string& url, const std::string& caFile, const std::string& body, int total,
                       int inFlight, int* failures);

namespace {

size_t Keep(char* data, size_t size, size_t count, void* text)
{
    static_cast<std::string*>(text)->append(data, size * count);
    return size * count;
}

size_t Discard(char*, size_t size, size_t count, void*)
{
    return size * count;
}

void Secure(CURL* easy, const std::string& caFile)
{
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
}

// Runs every handle to its end on one multi handle; false when one failed.
bool RunAll(CURLM* multi, size_t count)
{
    bool ok = true;
    size_t done = 0;
    while (done < count) {
        int running = 0;
        curl_multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
            if (message->msg != CURLMSG_DONE)
                continue;
            long status = 0;
            curl_easy_getinfo(message->easy_handle, CURLINFO_RESPONSE_CODE, &status);
            ok = ok && message->data.result == CURLE_OK && status < 400;
            curl_multi_remove_handle(multi, message->easy_handle);
            ++done;
        }
        if (done < count)
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    return ok;
}

bool DownloadLoop(const MixedWork& work)
{
    CURLM* multi = curl_multi_init();
    std::vector<CURL*> handles;
    for (const std::string& url : work.pictureUrls) {
        CURL* easy = curl_easy_init();
        Secure(easy, work.caFile);
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Discard);
        curl_multi_add_handle(multi, easy);
        handles.push_back(easy);
    }
    const bool ok = RunAll(multi, handles.size());
    for (CURL* easy : handles)
        curl_easy_cleanup(easy);
    curl_multi_cleanup(multi);
    return ok;
}

struct Part {
    std::string bytes;
    size_t sent = 0;
    std::string head;
    CURL* easy = nullptr;
};

size_t ReadPart(char* buffer, size_t size, size_t count, void* self)
{
    auto* part = static_cast<Part*>(self);
    const size_t n = std::min(size * count, part->bytes.size() - part->sent);
    part->bytes.copy(buffer, n, part->sent);
    part->sent += n;
    return n;
}

CURL* StorageRequest(const MixedWork& work, const std::string& url, curl_slist* headers)
{
    CURL* easy = curl_easy_init();
    Secure(easy, work.caFile);
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_AWS_SIGV4, "aws:amz:us-east-1:s3");
    curl_easy_setopt(easy, CURLOPT_USERNAME, work.accessKeyId.c_str());
    curl_easy_setopt(easy, CURLOPT_PASSWORD, work.secret.c_str());
    curl_easy_setopt(easy, CURLOPT_EXPECT_100_TIMEOUT_MS, 50L);
    return easy;
}

std::string Between(const std::string& text, const std::string& open, const std::string& close)
{
    const size_t start = text.find(open);
    if (start == std::string::npos)
        return std::string();
    const size_t end = text.find(close, start + open.size());
    return end == std::string::npos ? std::string() : text.substr(start + open.size(), end - start - open.size());
}

// Initiate, the parts four at a time, complete.
bool UploadLoop(const MixedWork& work)
{
    curl_slist* headers = curl_slist_append(nullptr, ("x-amz-security-token: " + work.token).c_str());
    headers = curl_slist_append(headers, "x-amz-content-sha256: UNSIGNED-PAYLOAD");
    CURLM* multi = curl_multi_init();
    std::string answer;
    CURL* initiate = StorageRequest(work, work.objectUrl + "?uploads=", headers);
    curl_easy_setopt(initiate, CURLOPT_POSTFIELDS, "");
    curl_easy_setopt(initiate, CURLOPT_WRITEFUNCTION, &Keep);
    curl_easy_setopt(initiate, CURLOPT_WRITEDATA, &answer);
    curl_multi_add_handle(multi, initiate);
    bool ok = RunAll(multi, 1);
    curl_easy_cleanup(initiate);
    const std::string uploadId = Between(answer, "<UploadId>", "</UploadId>");
    ok = ok && !uploadId.empty();

    const size_t partCount = (work.uploadBytes + work.partBytes - 1) / work.partBytes;
    std::vector<Part> parts(partCount);
    for (size_t first = 0; ok && first < partCount; first += 4) {
        const size_t last = std::min(partCount, first + 4);
        for (size_t i = first; i < last; ++i) {
            Part& part = parts[i];
            part.bytes.assign(std::min(work.partBytes, work.uploadBytes - i * work.partBytes), 'u');
            part.easy = StorageRequest(
                work, work.objectUrl + "?partNumber=" + std::to_string(i + 1) + "&uploadId=" + uploadId, headers);
            curl_easy_setopt(part.easy, CURLOPT_UPLOAD, 1L);
            curl_easy_setopt(part.easy, CURLOPT_READFUNCTION, &ReadPart);
            curl_easy_setopt(part.easy, CURLOPT_READDATA, &part);
            curl_easy_setopt(part.easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(part.bytes.size()));
            curl_easy_setopt(part.easy, CURLOPT_HEADERFUNCTION, &Keep);
            curl_easy_setopt(part.easy, CURLOPT_HEADERDATA, &part.head);
            curl_easy_setopt(part.easy, CURLOPT_WRITEFUNCTION, &Discard);
            curl_multi_add_handle(multi, part.easy);
        }
        ok = RunAll(multi, last - first);
        for (size_t i = first; i < last; ++i) {
            curl_easy_cleanup(parts[i].easy);
            std::string().swap(parts[i].bytes);
        }
    }
    std::string body = "<CompleteMultipartUpload>";
    for (size_t i = 0; ok && i < partCount; ++i) {
        std::string etag = Between(parts[i].head, "ETag: ", "\r\n");
        if (etag.empty())
            etag = Between(parts[i].head, "etag: ", "\r\n");
        body += "<Part><PartNumber>" + std::to_string(i + 1) + "</PartNumber><ETag>" + etag + "</ETag></Part>";
    }
    body += "</CompleteMultipartUpload>";
    if (ok) {
        CURL* complete = StorageRequest(work, work.objectUrl + "?uploadId=" + uploadId, headers);
        curl_easy_setopt(complete, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(complete, CURLOPT_WRITEFUNCTION, &Discard);
        curl_multi_add_handle(multi, complete);
        ok = RunAll(multi, 1);
        curl_easy_cleanup(complete);
    }
    curl_multi_cleanup(multi);
    curl_slist_free_all(headers);
    return ok;
}

}  // namespace

bool RunThreeLoops(const MixedWork& work)
{
    std::atomic<bool> ok{true};
    std::thread rest([&] {
        int failures = 0;
        if (!RunBareCurlClient(work.restUrl, work.caFile, work.restBody, work.restRequests, work.restInFlight,
                               &failures) ||
            failures != 0)
            ok = false;
    });
    std::thread downloads([&] {
        if (!DownloadLoop(work))
            ok = false;
    });
    std::thread upload([&] {
        if (!UploadLoop(work))
            ok = false;
    });
    rest.join();
    downloads.join();
    upload.join();
    return ok;
}

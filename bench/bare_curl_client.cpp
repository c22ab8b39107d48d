// The reference client of bench_netcall: the same requests through a plain
// libcurl multi loop with no service around it, the way a program that owns
// its event loop would send them. Each of the inFlight slots keeps one easy
// handle and sends its next request as soon as the previous one ends.

#include <curl/curl.h>

#include <string>
#include <vector>

namespace {

size_t Discard(char*, size_t size, size_t count, void* received)
{
    static_cast<std::string*>(received)->append(size * count, '\0');
    return size * count;
}

struct Slot {
    CURL* easy = nullptr;
    std::string received;
};

}  // namespace

// Sends total POSTs of body to url, inFlight at a time; counts the failed
// ones (transport error or status >= 400) into *failures. Returns false when
// libcurl could not be set up.
bool RunBareCurlClient(const std::string& url, const std::string& caFile, const std::string& body, int total,
                       int inFlight, int* failures)
{
    *failures = 0;
    CURLM* multi = curl_multi_init();
    if (multi == nullptr) {
        return false;
    }
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json; charset=utf-8");
    headers = curl_slist_append(headers, "Expect:");
    std::vector<Slot> slots(static_cast<size_t>(inFlight));
    int started = 0;
    auto start = [&](Slot& slot) {
        slot.received.clear();
        curl_multi_add_handle(multi, slot.easy);
        ++started;
    };
    bool ok = true;
    for (Slot& slot : slots) {
        slot.easy = curl_easy_init();
        if (slot.easy == nullptr) {
            ok = false;
            break;
        }
        curl_easy_setopt(slot.easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(slot.easy, CURLOPT_PRIVATE, &slot);
        curl_easy_setopt(slot.easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(slot.easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
        curl_easy_setopt(slot.easy, CURLOPT_PIPEWAIT, 1L);
        curl_easy_setopt(slot.easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(slot.easy, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(slot.easy, CURLOPT_CAINFO, caFile.c_str());
        curl_easy_setopt(slot.easy, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(slot.easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(slot.easy, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(slot.easy, CURLOPT_WRITEFUNCTION, &Discard);
        curl_easy_setopt(slot.easy, CURLOPT_WRITEDATA, &slot.received);
    }
    if (ok) {
        for (Slot& slot : slots) {
            if (started < total) {
                start(slot);
            }
        }
        int finished = 0;
        while (finished < total) {
            int running = 0;
            if (curl_multi_perform(multi, &running) != CURLM_OK) {
                ok = false;
                break;
            }
            int left = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
                if (msg->msg != CURLMSG_DONE) {
                    continue;
                }
                CURL* easy = msg->easy_handle;
                const CURLcode result = msg->data.result;
                long status = 0;
                curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
                if (result != CURLE_OK || status >= 400) {
                    ++*failures;
                }
                char* slot = nullptr;
                curl_easy_getinfo(easy, CURLINFO_PRIVATE, &slot);
                curl_multi_remove_handle(multi, easy);
                ++finished;
                if (started < total) {
                    start(*reinterpret_cast<Slot*>(slot));
                }
            }
            if (finished < total) {
                curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
            }
        }
    }
    for (Slot& slot : slots) {
        if (slot.easy != nullptr) {
            curl_multi_remove_handle(multi, slot.easy);
            curl_easy_cleanup(slot.easy);
        }
    }
    curl_multi_cleanup(multi);
    curl_slist_free_all(headers);
    return ok;
}

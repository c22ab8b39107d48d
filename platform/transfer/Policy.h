#pragma once
// The network rules every exchange of the library follows, in one place:
// http and https only, also for redirects; never from https back to http; at
// most five redirects; certificates always verified; the connect and
// low-speed time-outs from the settings; a size limit for each use; no
// "Expect: 100-continue"; proxies only from the settings, never from the
// environment.
//
// A job owns one Policy per easy handle and applies it after setting the
// handle up: the redirect check keeps its state here, so the object must
// stay where it is while the handle runs.

#include <curl/curl.h>

#include <string>

#include "TransferExport.h"

namespace Transfer {

// What one use of the engine allows.
struct Limits {
    // Longest the whole exchange may take; 0: no such limit.
    long totalTimeoutMs = 0;
    // The exchange ends when fewer than lowSpeedBytesPerSecond bytes a
    // second flow for lowSpeedSeconds; 0 seconds: the settings' request
    // time-out as the longest silence.
    long lowSpeedBytesPerSecond = 1;
    long lowSpeedSeconds = 0;
    // Largest answer body (after decoding); 0: no limit. An announced
    // length over it is refused before any of the body is read; the job
    // counts what actually arrives.
    curl_off_t maxBodyBytes = 0;
    bool followRedirects = false;
};

class TRANSFER_API Policy {
public:
    Policy() = default;
    Policy(const Policy&) = delete;
    Policy& operator=(const Policy&) = delete;

    // Applies the rules to easy. headers is the job's own header list: a
    // line that removes "Expect" joins it and it becomes the handle's list.
    // CURLE_OK, or the option libcurl refused; error says which.
    CURLcode Apply(CURL* easy, const Limits& limits, curl_slist** headers, std::string* error);

    // Whether the transfer ended because a redirect went from https to http.
    bool RefusedDowngrade() const { return m_refusedDowngrade; }

private:
    static int OnRequest(void* self, char* primaryIp, char* localIp, int primaryPort, int localPort);

    CURL* m_easy = nullptr;
    bool m_wentHttps = false;
    bool m_refusedDowngrade = false;
};

}  // namespace Transfer

#pragma once
// The work bench_mixed gives the library and its three-loop reference at
// once: REST requests, picture downloads and one large multipart upload, all
// to one local server over https.

#include <cstddef>
#include <string>
#include <vector>

struct MixedWork {
    std::string caFile;
    std::string restUrl;
    std::string restBody;
    int restRequests = 0;
    int restInFlight = 0;
    std::vector<std::string> pictureUrls;
    // "https://oss-local.localhost:PORT/bucket/key", path-style.
    std::string objectUrl;
    std::string accessKeyId;
    std::string secret;
    std::string token;
    size_t uploadBytes = 0;
    size_t partBytes = 0;
};

// The reference: one thread and one libcurl multi handle per family. False
// when any exchange failed.
bool RunThreeLoops(const MixedWork& work);

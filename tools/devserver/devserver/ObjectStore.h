#pragma once
// S3-compatible object storage of the local server, for the upload tickets
// it issues. Every request must carry a valid AWS Signature V4 made with
// temporary credentials that a ticket handed out, and their session token in
// "x-amz-security-token"; credentials expire. Objects are stored in a
// temporary folder (removed with the store), so a large upload does not
// stay in memory.
//
// Operations (path-style "/<bucket>/<key>", or virtual-hosted with the
// bucket as the first label of the host):
//   PUT    ...                         store an object
//   POST   ...?uploads                 start a multipart upload
//   PUT    ...?partNumber=N&uploadId=U store a part
//   POST   ...?uploadId=U              complete (XML list of parts and ETags)
//   DELETE ...?uploadId=U              abort
//   GET    ...                         read an object back (no signature
//                                      needed: the buckets are public-read)
// Errors are S3 XML documents ("SignatureDoesNotMatch", "ExpiredToken",
// "InvalidAccessKeyId", "InvalidToken", "AccessDenied", "NoSuchUpload",
// "InvalidPart", "NoSuchKey", "RequestTimeTooSkewed").

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "devserver/DevServer.h"

namespace DevServer {

class ObjectStore {
public:
    static constexpr const char* kEndPoint = "oss-local";
    static constexpr const char* kDocsBucket = "pelbo-docs";
    static constexpr const char* kLogsBucket = "pelbo-logs";
    static constexpr const char* kRegion = "us-east-1";
    static constexpr std::chrono::seconds kCredentialLifetime{900};

    struct Credentials {
        std::string accessKeyId;
        std::string secret;
        std::string token;
        std::string expiration;  // ISO 8601, UTC
    };

    ObjectStore();
    ~ObjectStore();
    ObjectStore(const ObjectStore&) = delete;
    ObjectStore& operator=(const ObjectStore&) = delete;

    // Fresh credentials that may write under keyPrefix in the bucket.
    Credentials Issue(const std::string& bucket, const std::string& keyPrefix);
    uint64_t NextFileId();

    // Whether the request is for the storage (a known bucket by host or
    // first path segment).
    bool IsStorageRequest(const HttpRequest& request) const;
    HttpResponse Handle(const HttpRequest& request);

    // Switches for tests and developers.
    // Lifetime of credentials issued from now on (0: already expired).
    void SetCredentialLifetime(std::chrono::seconds lifetime);
    // Credentials issued from now on carry a secret the store does not know,
    // so every signature made with them is wrong.
    void SetIssueWrongSecret(bool wrong);
    // The next count part or object PUTs are answered 500 (count < 0: all).
    void FailNextPuts(int count);

    // What is stored, for tests and the demo.
    std::optional<std::string> ObjectBytes(const std::string& bucket, const std::string& key) const;
    std::map<std::string, uint64_t> ListObjects(const std::string& bucket) const;  // key -> size
    size_t OpenMultipartUploads() const;
    uint64_t RejectedRequests() const;

private:
    struct Grant {
        std::string secret;
        std::string token;
        std::string bucket;
        std::string keyPrefix;
        std::chrono::system_clock::time_point expires;
    };
    struct Object {
        std::filesystem::path file;
        uint64_t size = 0;
        std::string etag;
    };
    struct Upload {
        std::string bucket;
        std::string key;
        std::map<unsigned, Object> parts;
    };
    struct Target {
        std::string bucket;
        std::string key;
        std::string query;  // raw
    };

    bool ParseTarget(const HttpRequest& request, Target* target) const;
    // Empty when the request is properly signed for the target; else the
    // error response.
    std::optional<HttpResponse> Authenticate(const HttpRequest& request, const Target& target);
    HttpResponse PutObject(const Target& target, const HttpRequest& request);
    HttpResponse Initiate(const Target& target);
    HttpResponse PutPart(const Target& target, const HttpRequest& request);
    HttpResponse Complete(const Target& target, const HttpRequest& request);
    HttpResponse Abort(const Target& target);
    HttpResponse GetObject(const Target& target) const;
    bool TakePutFault();
    std::filesystem::path NewFilePath();
    bool WriteFile(const std::filesystem::path& path, const std::string& bytes);

    mutable std::mutex m_mutex;
    std::filesystem::path m_folder;
    uint64_t m_fileCounter = 0;
    uint64_t m_nextFileId = 1000;
    uint64_t m_nextUpload = 1;
    uint64_t m_rejected = 0;
    std::map<std::string, Grant> m_grants;  // by access key id
    std::map<std::string, std::map<std::string, Object>> m_objects;  // bucket -> key -> object
    std::map<std::string, Upload> m_uploads;                         // by upload id
    std::chrono::seconds m_lifetime = kCredentialLifetime;
    bool m_wrongSecret = false;
    int m_failPuts = 0;
};

}  // namespace DevServer

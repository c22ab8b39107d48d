#pragma once
// bucketput: upload of one local file into S3-compatible object storage with
// temporary credentials (access key, secret and session token).
//
// Requests are signed with AWS Signature Version 4 (service "s3", region
// kRegion); the session token travels in "x-amz-security-token". A file up to
// the multipart threshold goes up in one PUT; a larger one as a multipart
// upload whose parts are read from disk while they are sent, a few at a time,
// so memory does not grow with the file. Every request that times out, loses
// its connection or is answered with a 5xx status is tried again after a
// growing pause; a multipart upload that fails for good or is stopped is
// aborted at the storage.
//
// Addressing: the record's endpoint ("http://host[:port]" or https) names the
// storage service. Path-style ("<endpoint>/<bucket>/<key>") or
// virtual-hosted ("<scheme>://<bucket>.<host>/<key>") as Http::GetOssPathStyle
// says. TLS certificates are always verified (Http::GetCaBundle or the system
// store).
//
// Guarantees:
//  1. The upload id is written before any event of the upload is delivered
//     and is never 0 for an accepted upload.
//  2. Exactly one end event (kind 2) per accepted upload, unless Stop was
//     called for it or its event object was destroyed first.
//  3. Progress events (kind 1) come at most about ten times a second, plus
//     one with the whole size just before a successful end; the bytes sent
//     never go backwards.
//  4. After Stop returns, nothing more is delivered for that upload, and
//     after an event object's destructor returns nothing more reaches it
//     (from inside a delivery: nothing after that delivery returns).
//  5. Events are delivered on the library's transfer thread without any lock held,
//     so an event object may start or stop uploads from its callback.
//  6. Credentials are never written to the log.

#include <string>

#include "pelbo/bucketput/BucketputExport.h"

namespace Util {
namespace OssUpload {

// The file record: filled by the caller for Start, handed back (with the
// progress figures filled) with every event.
struct CFileObjExt {
    unsigned long long ullFileID = 0;
    std::wstring strLocalPath;
    std::wstring strBucket;
    // Object key; a leading "/" is not part of it.
    std::wstring strObjectPath;
    std::wstring strAccessKeyId;
    std::wstring strAccessKeySecret;
    std::wstring strSecurityToken;
    // "http://host[:port]" or "https://host[:port]".
    std::wstring strEndPoint;
    // Kept with the record only: the library stores nothing on disk.
    std::wstring strUserFolder;
    // Non-zero: a file above the multipart threshold goes up in parts;
    // 0: always one PUT.
    int nOption1 = 0;
    // Non-zero: failed requests are tried again (see CUploadTuning::maxTries);
    // 0: every request is tried once.
    int nOption2 = 0;
    std::wstring strFileUrl;
    // "Content-Type" of the stored object; empty: none is sent.
    std::wstring strContentType;
    // Progress figures, filled by the library in every event:
    // 1: bytes sent so far (acknowledged parts and bytes in flight),
    // 2: total bytes of the file,
    // 3: average speed since the start, bytes per second.
    unsigned long long ullProgress1 = 0;
    unsigned long long ullProgress2 = 0;
    unsigned long long ullProgress3 = 0;
    // The upload the event belongs to (set by the library).
    unsigned long long ullUploadID = 0;
};

// Event kinds.
constexpr int kEventProgress = 1;
constexpr int kEventEnd = 2;

// Results of Start. 0 and 2 mean the upload is under way.
constexpr unsigned kStartedSingle = 0;
// Under way as a multipart upload.
constexpr unsigned kStartedMultipart = 2;
// Null event, empty path, bucket, key, endpoint or access key, or an endpoint
// that is not http(s).
constexpr unsigned kRefusedArgument = 1;
// The file cannot be opened or its size read.
constexpr unsigned kRefusedFile = 3;
// libcurl or the transfer thread could not be set up.
constexpr unsigned kRefusedUnavailable = 4;

// Codes of the end event.
constexpr int kEndOk = 0;
// The file could not be read to its end (it shrank or became unreadable).
constexpr int kEndFile = 1;
// The storage refused a request (a 4xx status: bad signature, expired or
// unknown credentials, no such bucket).
constexpr int kEndRefused = 2;
// Transport failure or 5xx status, still failing after the retries.
constexpr int kEndTransport = 3;
// The storage answered something unusable (a multipart answer without its
// upload id or a part without its ETag).
constexpr int kEndProtocol = 4;

// Region of the signature's credential scope.
constexpr const char* kRegion = "us-east-1";

class BUCKETPUT_API CUploadEvent {
public:
    CUploadEvent();
    virtual ~CUploadEvent();
    // kind: kEventProgress or kEventEnd; reserved: always 0; code: 0 with
    // progress, an end code (kEnd*) with the end.
    virtual void OnFileEvent(int& kind, int& reserved, int& code, const CFileObjExt& file) = 0;

protected:
    CUploadEvent(const CUploadEvent&);
    CUploadEvent& operator=(const CUploadEvent&);
    // Does now what the destructor does (stops the object's uploads, waits for
    // a delivery to it running on the transfer thread). A derived class whose
    // callback uses its own members calls this first in its destructor.
    void DetachUploadEvent();
};

// kStartedSingle or kStartedMultipart with uploadId set, or a refusal.
BUCKETPUT_API unsigned Start(const CFileObjExt& file, unsigned long long& uploadId, CUploadEvent* event);
// Stops an upload (aborting a multipart upload at the storage); nothing more
// is delivered for it. Unknown or finished ids are ignored.
BUCKETPUT_API void Stop(const unsigned long long& uploadId);
// Stops every upload and, when nothing else runs, the transfer thread; a
// later Start starts it again.
BUCKETPUT_API void Shutdown();

// How uploads are cut up and retried; applies to uploads started later.
struct CUploadTuning {
    // Files larger than this go up in parts (when nOption1 asks for it).
    unsigned long long multipartThreshold = 8ull << 20;
    // Size of each part but the last; at least 64 KiB (the storage may ask
    // for more: S3 wants 5 MiB).
    unsigned long long partSize = 8ull << 20;
    // Parts sent at the same time.
    unsigned parallelParts = 4;
    // Tries of one request in all (when nOption2 asks for retries).
    unsigned maxTries = 4;
    // Pause before the second try; doubled for each further one.
    unsigned backoffMs = 500;
    // A request that moves fewer than 1 byte per second for this long is
    // cut off and counts as a time-out.
    unsigned stallTimeoutMs = 30000;
};
BUCKETPUT_API void SetTuning(const CUploadTuning& tuning);
BUCKETPUT_API CUploadTuning GetTuning();

}  // namespace OssUpload
}  // namespace Util

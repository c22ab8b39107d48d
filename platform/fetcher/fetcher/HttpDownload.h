#pragma once
// fetcher: HTTP(S) download of one file into a local path.
//
// Downloads run on the library's one transfer thread (shared with REST
// requests and uploads), many at a time. TLS certificates are always
// verified against the configured CA bundle (Http::GetCaBundle) or the system
// store; at most five redirects are followed, to http and https addresses
// only, and never from https back to http.
//
// Guarantees:
//  1. A download writes into a temporary file beside the destination
//     ("<path>.<id>.part", at most kTemporarySuffixMaxBytes longer) and
//     renames it onto the destination only when the whole body arrived. A
//     failed or stopped download removes its temporary file and never
//     touches the destination.
//  2. The download id is written through id before anything can be delivered
//     for it, and is never 0 for an accepted download.
//  3. Exactly one OnHttpDownResult per accepted download (a stopped one
//     included), unless its event was destroyed first.
//  4. Progress reports come at most about ten times a second, plus one when
//     the body is complete; done never goes backwards.
//  5. Nothing is delivered to an event after its destructor has returned:
//     the destructor stops the event's downloads and waits for a delivery to
//     it that runs on the transfer thread (not when it runs inside that
//     delivery).
//  6. Results and progress are delivered on the transfer thread, without any lock
//     held, so an event may start or stop downloads from its callbacks.
//
// E_SAVE_RESUME changes 1 and 4, so that a large file survives a broken
// line or the end of the process:
//  R1. The body goes into "<path>.partial" (a fixed name, so a later process
//      finds it, and never the destination's extension), and the server's
//      validator of the file (its strong ETag, else Last-Modified), the whole
//      size it announced and a digest of the address go into
//      "<path>.partial.meta" beside it, written under a temporary name and
//      renamed into place. Both names add at most kTemporarySuffixMaxBytes.
//  R2. A download that finds a partial file of N bytes (0 < N < the recorded
//      size) with the record of the same address asks for the rest only
//      (Range and If-Range). A partial answer that fits exactly is appended;
//      a whole answer (the file changed, or the server serves no ranges)
//      replaces the partial file from byte 0. A range the server refuses
//      (416) or a partial answer that does not fit starts the download over
//      from byte 0 within the same call. Without a validator and a size from
//      the server nothing is kept for a later attempt.
//  R3. A transport failure and a stop keep the partial file and its record;
//      a refusal by the server, a size over the limit and a file error
//      remove both. Success renames the partial file onto the destination
//      and removes the record.
//  R4. done counts the resumed bytes too and total is the whole file's size;
//      done goes back only when the server makes the download start over
//      from byte 0.
//  R5. Only one download at a time may resume a given destination in a
//      process: a second one is refused with kRefusedFile. Two processes
//      must not resume the same destination at once.

#include "pelbo/fetcher/FetcherExport.h"

#include <cstddef>

namespace Util {
namespace HttpDownload {

// ".<id>.part" with the longest id: what the temporary file's name adds to
// the destination's, so a caller can keep both within a name's limit.
constexpr size_t kTemporarySuffixMaxBytes = 26;

// How the file is stored. In both modes the finished file replaces whatever
// is at the destination.
enum EFileSaveMode {
    // A download that does not finish leaves nothing (guarantee 1).
    E_SAVE_REPLACE = 1,
    // A download that breaks off is continued by a later one (R1-R5).
    E_SAVE_RESUME = 2,
};

// Results of Download.
constexpr unsigned kAccepted = 0;
// Null id or event, an empty destination, an address that is not http(s),
// an unknown save mode.
constexpr unsigned kRefusedArgument = 1;
// The temporary file beside the destination cannot be created (or, with
// E_SAVE_RESUME, another download of this process resumes the destination).
constexpr unsigned kRefusedFile = 2;
// The transfer could not be set up (libcurl or the transfer thread failed).
constexpr unsigned kRefusedUnavailable = 3;

// Codes of OnHttpDownResult.
constexpr unsigned kDownOk = 0;
// Connection, TLS or name failure, a time-out, a body that broke off.
constexpr unsigned kDownTransport = 1;
// Stop was called (or the service shut down).
constexpr unsigned kDownStopped = 2;
// Writing the temporary file or renaming it into place failed.
constexpr unsigned kDownFile = 3;
// The body was larger than the caller's size limit (announced or served).
constexpr unsigned kDownTooLarge = 4;
// Any other value is the HTTP status (400 and above, or another status that
// is not a success after redirects) with which the server refused.

}  // namespace HttpDownload
}  // namespace Util

namespace Util {
namespace HttpDownload {

class FETCHER_API CHttpDownloadEvent {
public:
    virtual ~CHttpDownloadEvent();
    // Bytes written so far and the size the server announced (0 when it
    // announced none).
    virtual void OnHttpDownProgress(const unsigned long long& id, const unsigned long long& done,
                                    const unsigned long long& total);
    virtual void OnHttpDownResult(const unsigned long long& id, const unsigned int& code) = 0;

protected:
    CHttpDownloadEvent();
    CHttpDownloadEvent(const CHttpDownloadEvent&);
    CHttpDownloadEvent& operator=(const CHttpDownloadEvent&);
    // Does now what the destructor does. By the time the base destructor
    // runs the derived part is gone; a derived class whose callbacks use its
    // own members calls this first in its destructor. Harmless twice.
    void DetachDownloadEvent();
};

// What the caller allows one download. A field left 0 leaves that limit to
// the caller-independent default: no size limit, and a transfer that moves
// no byte for the request time-out (Http::GetRequestTimeoutMs) fails. A
// download that breaks a limit fails and leaves no file behind.
struct CDownloadLimits {
    // Largest body in bytes: a larger announced size fails before the body
    // comes, a body that grows beyond it fails as it does (kDownTooLarge).
    // With E_SAVE_RESUME it bounds the whole file, resumed bytes included.
    unsigned long long maxBytes = 0;
    // A transfer slower than lowSpeedBytesPerSecond for lowSpeedSeconds in a
    // row fails (kDownTransport); both must be set.
    unsigned lowSpeedBytesPerSecond = 0;
    unsigned lowSpeedSeconds = 0;
};

// 0 (kAccepted) with *id set, or one of the refusal codes above, after which
// nothing is delivered. The trailing integers are reserved (pass 0); the
// download runs without caller limits.
FETCHER_API unsigned Download(const wchar_t* url, const wchar_t* path, CHttpDownloadEvent* sink,
                              unsigned long long* id, EFileSaveMode mode, int reserved1, int reserved2);
// The same within the caller's limits.
FETCHER_API unsigned Download(const wchar_t* url, const wchar_t* path, CHttpDownloadEvent* sink,
                              unsigned long long* id, EFileSaveMode mode, const CDownloadLimits& limits);
// Stops an accepted download; its result (kDownStopped) follows unless it had
// already ended. Non-zero when the id belonged to a running download.
FETCHER_API unsigned Stop(const unsigned long long& id);
// Stops every download (nothing more is delivered) and, when nothing else
// runs, the transfer thread; a later Download starts it again.
FETCHER_API void Shutdown();

}  // namespace HttpDownload
}  // namespace Util

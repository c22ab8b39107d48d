#pragma once
// The download service the picture and QR-code managers start their
// downloads on: fetcher, unless a test put a stand-in in its place.

#include "pelbo/fetcher/HttpDownload.h"

namespace Transfers {

class IDownloadPort {
public:
    virtual ~IDownloadPort() = default;
    // fetcher's Download with the save mode and reserved values the managers
    // always pass: 0 with *id set when accepted, else the refusal code.
    virtual unsigned Download(const wchar_t* url, const wchar_t* path, Util::HttpDownload::CHttpDownloadEvent* sink,
                              unsigned long long* id) = 0;
    virtual void Stop(unsigned long long id) = 0;
};

IDownloadPort& DownloadPort();
// Null puts fetcher back. The stand-in must outlive every manager using it.
void SetDownloadPort(IDownloadPort* port);

// The limits of the managers' downloads through fetcher. A head picture or
// a QR code is a few KiB: a body over 8 MiB is not one, and a server that
// sends under 64 bytes a second for 15 s would hold a download (and the
// picture queue behind it) for ever.
Util::HttpDownload::CDownloadLimits PictureLimits();
// Tests shorten the limits; the defaults above come back with
// DefaultPictureLimits.
void SetPictureLimits(const Util::HttpDownload::CDownloadLimits& limits);
Util::HttpDownload::CDownloadLimits DefaultPictureLimits();

// True for a refusal that the same arguments meet every time (an empty
// destination, an address that is not http(s)), false for one that can go
// away on its own (the file system or the service was not ready).
bool IsLastingRefusal(unsigned refusal);

}  // namespace Transfers

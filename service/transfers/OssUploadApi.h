#pragma once
// OssUploadApi: documents into object storage. Each file first gets an upload
// ticket from the REST service ("/v1/account/ramupload": file id, storage
// endpoint, bucket, object key, public URL and temporary credentials), then
// the upload library (bucketput) transfers it and reports progress and the
// end. Uploads are keyed by the local path: while a file is in flight, a
// second request for it joins the first.
//
// Result codes of OnUploadResult:
//   0  the file is in storage (file id and URL from the ticket)
//   3  the transfer failed, or could not start (file id 0, empty URL)
//   4  the ticket request failed: no usable answer, an answer that is not
//      JSON, or the service's "code" was not 0 (file id 0, empty URL)
//
// Threads: the functions may be called from any thread. Sinks are called on
// the thread of the HTTPS service (ticket failures) or of the upload library
// (progress, results), never with a lock held, so a sink may call these
// functions from its callbacks. A sink removed with StopUploadFile hears
// nothing more once the call returns (from inside its own callback: once that
// callback returns). See docs/api-uploads.md.

#include "pelbo/compat/StringW.h"
#include "pelbo/core/ServiceExport.h"

namespace OssUploadApi {

class SERVICE_API IUploadFileSink {
public:
    // Progress figures: bytes sent, total bytes, average bytes per second.
    virtual void OnUploadProgress(unsigned long long fileId, CStringW path, unsigned long long sent,
                                  unsigned long long total, unsigned long long speed) = 0;
    virtual void OnUploadResult(int code, unsigned long long fileId, CStringW path, CStringW fileUrl) = 0;

protected:
    // Sinks are never deleted through this interface.
    ~IUploadFileSink() = default;
};

// 0: the sink now waits for the file (a new upload or one in flight); 2: this
// sink already waits for it; 1: nothing was sent (empty path, missing file,
// the HTTPS service refused the request). A null sink is accepted: the file
// goes up and nobody is told.
SERVICE_API int AddUpLoadFile(CStringW path, IUploadFileSink* sink);
// Removes the sink from the file's list; with a null sink, or when the last
// sink of a transferring file goes, the transfer stops and the file's sinks
// are forgotten.
SERVICE_API void StopUploadFile(CStringW path, IUploadFileSink* sink);
// Forgets every sink and stops every transfer.
SERVICE_API void StopAllUploadFile();
// Destroys the manager (stopping everything first); the next call makes a new one.
SERVICE_API void DoExit();

}  // namespace OssUploadApi

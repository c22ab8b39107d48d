#pragma once
// PicDownloadApi: head pictures fetched into the user picture folder.
//
// AppendTask queues the picture of an owner; a few download at a time, each
// is tried up to four times, and every picture is reported once through
// ServiceEvent::UpdatePicture: (1, key, path) when stored and registered in
// the head-picture cache, (0, key, path) when given up. A user's picture
// (key type 1) is stored as "<user picture folder>/<id>_<file title>.png";
// a key of another type has no file and is given up at once with an empty
// path. Results are reported on the download service's thread.

#include "pelbo/core/ServiceExport.h"
#include "pelbo/core/UniKey.h"

namespace PicDownloadApi {

// Queues the owner's picture; ignored while the key is queued already (the
// first address is kept) and for good after DoExit.
SERVICE_API void AppendTask(UniKey key, const wchar_t* url);
// Drops the queue without reports, stops the running downloads and closes
// the family for the rest of the process.
SERVICE_API void DoExit();

}  // namespace PicDownloadApi

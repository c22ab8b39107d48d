#pragma once
// QRCodeApi: pictures of the QR code that opens the meeting share page of
// the mini program, rendered by the account service.
//
// Every QRCodeDonload call starts a download of its own into the QR-code
// folder and ends in one ServiceEvent::QRCodeDonload(code, query) on the
// download service's thread: code 0 when the picture is stored, otherwise
// the download's failure code (fetcher/HttpDownload.h: a transport or file
// failure, or the HTTP status of a refusal). A download that cannot start
// is not reported.

#include "pelbo/compat/StringW.h"
#include "pelbo/core/ServiceExport.h"

namespace QRCodeApi {

// Asks for the picture of the share page with this query (sent as given)
// and width in pixels.
SERVICE_API void QRCodeDonload(int width, const wchar_t* query);
// Where the picture of a query is stored: "<QR-code folder>/<name>.png",
// the name being the query with every character that a file name may not
// hold on Windows or Linux replaced by "_" (so a query cannot reach outside
// the folder), shortened with a digest when it is very long.
SERVICE_API CStringW QRCodeFilePath(const wchar_t* query);
// Destroys the manager, stopping its downloads in flight (they are not
// reported); the next QRCodeDonload creates a fresh one.
SERVICE_API void DoExit();

}  // namespace QRCodeApi

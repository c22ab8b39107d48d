// "/download/...": files to download, with the route faults of the server
// ("close_mid_response" cuts a transfer off half-way, "status":404 refuses).
// They answer one range of bytes ("Range: bytes=N-", "bytes=N-M", "bytes=-K")
// with 206, a range past the end with 416, and carry a strong ETag (the
// quoted MD5 of the body) that If-Range is compared with.
//
//   GET  /download/installer              the installer of the update flow
//   GET  /download/file?name=NAME         a file put on the shelf
//   GET  /download/file?size=N            N bytes of a fixed pattern
//   POST /_dev/download?name=NAME         puts the request body on the shelf
//   GET  /_dev/download/md5?name=NAME     {"code":0,"md5":"..."}
//   GET  /pictures/NAME                   a head picture put there by
//                                         POST /_dev/picture?name=NAME[&width=W&height=H]
//                                         (the body, or a generated PNG when empty)
//   GET  /v1/account/wechat/mini/qr?page=P&width=W&query=Q
//                                         a QR-code PNG of "P?Q"; Q is the rest
//                                         of the address, "&" included

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <functional>

#include "devserver/JsonHelpers.h"
#include "devserver/PictureMaker.h"
#include "devserver/Routes.h"
#include "devserver/State.h"

namespace DevServer {
namespace {

HttpResponse NotFound(const std::string& what)
{
    HttpResponse response;
    response.status = 404;
    response.contentType = "text/plain";
    response.body = what + " not found\n";
    return response;
}

HttpResponse FileResponse(const std::shared_ptr<const std::string>& body)
{
    HttpResponse response;
    response.contentType = "application/octet-stream";
    response.body = *body;
    return response;
}

std::string QueryValue(const HttpRequest& request, const char* name)
{
    auto it = request.query.find(name);
    return it == request.query.end() ? std::string() : it->second;
}

std::string HeaderValue(const HttpRequest& request, const char* name)
{
    auto it = request.headers.find(name);
    return it == request.headers.end() ? std::string() : it->second;
}

bool ParseOffset(const std::string& text, unsigned long long* value)
{
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

enum class RangeAsked { Whole, Part, PastTheEnd };

// One range of a "bytes=" Range header within a body of size bytes. What
// this server does not serve (several ranges, another unit, a malformed or
// backwards range) is ignored, as a server may: the whole body goes out.
RangeAsked ReadRange(const std::string& header, std::size_t size, std::size_t* first, std::size_t* last)
{
    if (header.size() < 6 || header.find(',') != std::string::npos)
        return RangeAsked::Whole;
    std::string unit = header.substr(0, 6);
    for (char& c : unit)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string bounds = header.substr(6);
    const std::size_t dash = bounds.find('-');
    if (unit != "bytes=" || dash == std::string::npos)
        return RangeAsked::Whole;
    const std::string from = bounds.substr(0, dash);
    const std::string to = bounds.substr(dash + 1);
    unsigned long long a = 0;
    unsigned long long b = 0;
    if (from.empty()) {
        // The last b bytes.
        if (!ParseOffset(to, &b))
            return RangeAsked::Whole;
        if (b == 0 || size == 0)
            return RangeAsked::PastTheEnd;
        *first = size - static_cast<std::size_t>(std::min<unsigned long long>(b, size));
        *last = size - 1;
        return RangeAsked::Part;
    }
    if (!ParseOffset(from, &a) || (!to.empty() && (!ParseOffset(to, &b) || b < a)))
        return RangeAsked::Whole;
    if (a >= size)
        return RangeAsked::PastTheEnd;
    *first = static_cast<std::size_t>(a);
    *last = to.empty() ? size - 1 : static_cast<std::size_t>(std::min<unsigned long long>(b, size - 1));
    return RangeAsked::Part;
}

// A file of "/download/": the range asked for, unless If-Range names
// another version of the file, which then goes out whole.
HttpResponse RangedFile(const HttpRequest& request, const std::string& body, const std::string& md5)
{
    HttpResponse response;
    response.contentType = "application/octet-stream";
    const std::string etag = "\"" + md5 + "\"";
    response.headers["ETag"] = etag;
    response.headers["Accept-Ranges"] = "bytes";
    const std::string range = HeaderValue(request, "range");
    const auto ifRange = request.headers.find("if-range");
    std::size_t first = 0;
    std::size_t last = 0;
    const RangeAsked asked = range.empty() || (ifRange != request.headers.end() && ifRange->second != etag)
                                 ? RangeAsked::Whole
                                 : ReadRange(range, body.size(), &first, &last);
    switch (asked) {
    case RangeAsked::Whole:
        response.body = body;
        break;
    case RangeAsked::Part:
        response.status = 206;
        response.headers["Content-Range"] =
            "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(body.size());
        response.body = body.substr(first, last - first + 1);
        break;
    case RangeAsked::PastTheEnd:
        response.status = 416;
        response.contentType = "text/plain";
        response.headers["Content-Range"] = "bytes */" + std::to_string(body.size());
        response.body = "range not satisfiable\n";
        break;
    }
    return response;
}

HttpResponse ShelfFile(const DownloadShelf& shelf, const HttpRequest& request, const std::string& name,
                       const std::string& what)
{
    const DownloadShelf::File file = shelf.Find(name);
    return file.body ? RangedFile(request, *file.body, file.md5) : NotFound(what);
}

// A decimal size within the shelf's limit; false for anything else.
bool ParseSize(const std::string& text, std::size_t* size)
{
    if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (value > DownloadShelf::kMaxGeneratedBytes)
        return false;
    *size = static_cast<std::size_t>(value);
    return true;
}

HttpResponse ServeFile(const DownloadShelf& shelf, const HttpRequest& request)
{
    const std::string name = QueryValue(request, "name");
    if (!name.empty())
        return ShelfFile(shelf, request, name, "file \"" + name + "\"");
    std::size_t size = 0;
    if (!ParseSize(QueryValue(request, "size"), &size))
        return JsonError(400, ResultCode::BadRequest, "need \"name\" or a \"size\" up to 256 MiB");
    const std::string pattern = DownloadShelf::Pattern(size);
    return RangedFile(request, pattern, DownloadShelf::Md5Of(pattern));
}

HttpResponse PutFile(DownloadShelf& shelf, const HttpRequest& request)
{
    const std::string name = QueryValue(request, "name");
    if (name.empty())
        return JsonError(400, ResultCode::BadRequest, "need \"name\"");
    shelf.Put(name, request.body);
    Json::Value answer(Json::objectValue);
    answer["code"] = ResultCode::Ok;
    answer["md5"] = shelf.Md5(name);
    return JsonResponse(answer);
}

HttpResponse FileMd5(const DownloadShelf& shelf, const HttpRequest& request)
{
    const std::string name = QueryValue(request, "name");
    const std::string md5 = shelf.Md5(name);
    if (md5.empty())
        return JsonError(404, ResultCode::BadRequest, "no file \"" + name + "\"");
    Json::Value answer(Json::objectValue);
    answer["code"] = ResultCode::Ok;
    answer["md5"] = md5;
    return JsonResponse(answer);
}

HttpResponse PngResponse(const std::shared_ptr<const std::string>& body)
{
    HttpResponse response = FileResponse(body);
    response.contentType = "image/png";
    return response;
}

bool IsPictureName(const std::string& name)
{
    return !name.empty() && name.size() <= 200 && name.find_first_of("/\\") == std::string::npos && name != "." &&
           name != "..";
}

unsigned SideOrDefault(const std::string& text, unsigned fallback)
{
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos)
        return fallback;
    const unsigned value = static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10));
    return value >= 1 && value <= 2048 ? value : fallback;
}

int HexValue(char ch)
{
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

// %XX escapes decoded; anything else, "+" included, kept as it is.
std::string PercentDecoded(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// The client puts its query last and unescaped, so an "&" in it splits it
// into parameters of its own: the query is the raw rest of the target.
HttpResponse QrCode(const HttpRequest& request)
{
    const std::string page = QueryValue(request, "page");
    const size_t at = request.target.find("&query=");
    if (page.empty() || at == std::string::npos)
        return JsonError(400, ResultCode::BadRequest, "need \"page\" and a trailing \"query\"");
    const std::string query = PercentDecoded(request.target.substr(at + 7));
    const unsigned width = SideOrDefault(QueryValue(request, "width"), 430);
    std::string error;
    std::string png = MakeQrPng(page + "?" + query, width, &error);
    if (png.empty())
        return JsonError(400, ResultCode::BadRequest, error);
    return PngResponse(std::make_shared<const std::string>(std::move(png)));
}

HttpResponse PublishFromRequest(Server& server, const HttpRequest& request)
{
    const std::string name = QueryValue(request, "name");
    if (!IsPictureName(name))
        return JsonError(400, ResultCode::BadRequest, "need a \"name\" without a path separator");
    std::string bytes = request.body;
    if (bytes.empty()) {
        const unsigned width = SideOrDefault(QueryValue(request, "width"), 96);
        const unsigned height = SideOrDefault(QueryValue(request, "height"), width);
        bytes = MakeHeadPng(width, height, static_cast<uint32_t>(std::hash<std::string>()(name)));
    }
    const std::string path = PublishPicture(server, name, std::move(bytes));
    Json::Value answer(Json::objectValue);
    answer["code"] = ResultCode::Ok;
    answer["url"] = server.BaseUrl() + path;
    return JsonResponse(answer);
}

}  // namespace

std::string PublishPicture(Server& server, const std::string& name, std::string bytes)
{
    DownloadShelf& shelf = server.GetState().downloads;
    const std::string path = "/pictures/" + name;
    shelf.Put(path, std::move(bytes));
    server.Route("GET", path, [&shelf, path](const HttpRequest&) {
        const auto body = shelf.Get(path);
        return body ? PngResponse(body) : NotFound("picture");
    });
    return path;
}

void RegisterDownloadsRoutes(Server& server)
{
    DownloadShelf& shelf = server.GetState().downloads;
    server.Route("GET", "/download/installer", [&shelf](const HttpRequest& request) {
        return ShelfFile(shelf, request, DownloadShelf::kInstaller, "installer");
    });
    server.Route("GET", "/download/file", [&shelf](const HttpRequest& request) { return ServeFile(shelf, request); });
    server.Route("POST", "/_dev/download", [&shelf](const HttpRequest& request) { return PutFile(shelf, request); });
    server.Route("GET", "/_dev/download/md5",
                 [&shelf](const HttpRequest& request) { return FileMd5(shelf, request); });
    server.Route("POST", "/_dev/picture",
                 [&server](const HttpRequest& request) { return PublishFromRequest(server, request); });
    server.Route("GET", "/v1/account/wechat/mini/qr", [](const HttpRequest& request) { return QrCode(request); });
}

}  // namespace DevServer

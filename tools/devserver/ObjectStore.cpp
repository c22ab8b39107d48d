#include "devserver/ObjectStore.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <random>
#include <sstream>
#include <system_error>
#include <vector>

#include <openssl/evp.h>

#include "devserver/SigV4.h"

namespace DevServer {
namespace {

// Requests signed further from the server's clock than this are refused.
constexpr std::chrono::minutes kAllowedSkew{15};

std::string RandomHex(size_t bytes)
{
    static const char kHex[] = "0123456789abcdef";
    thread_local std::mt19937_64 engine{std::random_device()()};
    std::string out;
    for (size_t i = 0; i < bytes; ++i) {
        const auto byte = static_cast<unsigned>(engine() & 0xFF);
        out.push_back(kHex[byte >> 4]);
        out.push_back(kHex[byte & 0x0F]);
    }
    return out;
}

std::string Md5Raw(const std::string& bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string Hex(const std::string& raw)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char ch : raw) {
        const auto c = static_cast<unsigned char>(ch);
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0x0F]);
    }
    return out;
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string XmlEscape(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out.push_back(c); break;
        }
    }
    return out;
}

std::string XmlUnescape(const std::string& text)
{
    std::string out = text;
    const std::pair<const char*, const char*> entities[] = {
        {"&quot;", "\""}, {"&apos;", "'"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}};
    for (const auto& entity : entities) {
        for (size_t pos = out.find(entity.first); pos != std::string::npos;
             pos = out.find(entity.first, pos + 1))
            out.replace(pos, std::char_traits<char>::length(entity.first), entity.second);
    }
    return out;
}

std::string StripQuotes(std::string text)
{
    text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
    return text;
}

HttpResponse Xml(int status, const std::string& body)
{
    HttpResponse response;
    response.status = status;
    response.contentType = "application/xml";
    response.body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + body;
    return response;
}

HttpResponse XmlError(int status, const std::string& code, const std::string& message)
{
    return Xml(status, "<Error><Code>" + code + "</Code><Message>" + XmlEscape(message) + "</Message></Error>");
}

std::string QueryValue(const std::string& rawQuery, const std::string& name, bool* present)
{
    *present = false;
    std::istringstream pieces(rawQuery);
    std::string piece;
    while (std::getline(pieces, piece, '&')) {
        const size_t eq = piece.find('=');
        if (piece.substr(0, eq) != name)
            continue;
        *present = true;
        return eq == std::string::npos ? std::string() : piece.substr(eq + 1);
    }
    return std::string();
}

std::time_t UtcToTime(std::tm* tm)
{
#if defined(_WIN32)
    return _mkgmtime(tm);
#else
    return timegm(tm);
#endif
}

// "YYYYMMDDTHHMMSSZ" as a time; false when malformed.
bool ParseAmzDate(const std::string& text, std::chrono::system_clock::time_point* out)
{
    if (text.size() != 16 || text[8] != 'T' || text[15] != 'Z')
        return false;
    std::tm tm{};
    std::istringstream in(text);
    in >> std::get_time(&tm, "%Y%m%dT%H%M%SZ");
    if (in.fail())
        return false;
    *out = std::chrono::system_clock::from_time_t(UtcToTime(&tm));
    return true;
}

std::string Iso8601(std::chrono::system_clock::time_point when)
{
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

}  // namespace

ObjectStore::ObjectStore() = default;

ObjectStore::~ObjectStore()
{
    if (!m_folder.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }
}

ObjectStore::Credentials ObjectStore::Issue(const std::string& bucket, const std::string& keyPrefix)
{
    Credentials credentials;
    credentials.accessKeyId = "STS." + RandomHex(10);
    credentials.secret = RandomHex(20);
    credentials.token = "tok-" + RandomHex(32);
    std::lock_guard<std::mutex> lock(m_mutex);
    Grant grant;
    grant.secret = m_wrongSecret ? RandomHex(20) : credentials.secret;
    grant.token = credentials.token;
    grant.bucket = bucket;
    grant.keyPrefix = keyPrefix;
    grant.expires = std::chrono::system_clock::now() + m_lifetime;
    credentials.expiration = Iso8601(grant.expires);
    // Expired grants go, so a long-running server does not collect them.
    const auto now = std::chrono::system_clock::now();
    for (auto it = m_grants.begin(); it != m_grants.end();)
        it = it->second.expires + std::chrono::hours(1) < now ? m_grants.erase(it) : std::next(it);
    m_grants[credentials.accessKeyId] = grant;
    return credentials;
}

uint64_t ObjectStore::NextFileId()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return ++m_nextFileId;
}

void ObjectStore::SetCredentialLifetime(std::chrono::seconds lifetime)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lifetime = lifetime;
}

void ObjectStore::SetIssueWrongSecret(bool wrong)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_wrongSecret = wrong;
}

void ObjectStore::FailNextPuts(int count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failPuts = count;
}

bool ObjectStore::TakePutFault()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_failPuts == 0)
        return false;
    if (m_failPuts > 0)
        --m_failPuts;
    return true;
}

bool ObjectStore::ParseTarget(const HttpRequest& request, Target* target) const
{
    auto hostIt = request.headers.find("host");
    std::string host = hostIt == request.headers.end() ? std::string() : Lower(hostIt->second);
    const size_t colon = host.rfind(':');
    if (colon != std::string::npos && host.find(']') == std::string::npos)
        host.resize(colon);
    const size_t mark = request.target.find('?');
    target->query = mark == std::string::npos ? std::string() : request.target.substr(mark + 1);
    const std::string label = host.substr(0, host.find('.'));
    if (host.find('.') != std::string::npos && (label == kDocsBucket || label == kLogsBucket)) {
        target->bucket = label;
        target->key = request.path.size() > 1 ? request.path.substr(1) : std::string();
        return true;
    }
    const size_t slash = request.path.find('/', 1);
    const std::string first = request.path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    if (first != kDocsBucket && first != kLogsBucket)
        return false;
    target->bucket = first;
    target->key = slash == std::string::npos ? std::string() : request.path.substr(slash + 1);
    return true;
}

bool ObjectStore::IsStorageRequest(const HttpRequest& request) const
{
    Target target;
    return ParseTarget(request, &target);
}

std::optional<HttpResponse> ObjectStore::Authenticate(const HttpRequest& request, const Target& target)
{
    auto header = [&request](const char* name) {
        auto it = request.headers.find(name);
        return it == request.headers.end() ? std::string() : it->second;
    };
    auto refuse = [this](int status, const char* code, const std::string& message) {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_rejected;
        return std::optional<HttpResponse>(XmlError(status, code, message));
    };
    SigV4::Authorization auth;
    const std::string authorization = header("authorization");
    if (authorization.empty())
        return refuse(403, "AccessDenied", "the request is not signed");
    if (!SigV4::ParseAuthorization(authorization, &auth))
        return refuse(400, "AuthorizationHeaderMalformed", "the Authorization header is malformed");
    Grant grant;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_grants.find(auth.accessKeyId);
        if (it == m_grants.end()) {
            ++m_rejected;
            return XmlError(403, "InvalidAccessKeyId", "the access key id is unknown");
        }
        grant = it->second;
    }
    if (std::chrono::system_clock::now() > grant.expires)
        return refuse(403, "ExpiredToken", "the provided token has expired");
    const std::vector<std::string>& signed_ = auth.signedHeaders;
    auto isSigned = [&signed_](const char* name) {
        return std::find(signed_.begin(), signed_.end(), name) != signed_.end();
    };
    if (!SigV4::SameText(header("x-amz-security-token"), grant.token) || !isSigned("x-amz-security-token"))
        return refuse(403, "InvalidToken", "the security token is missing, unsigned or wrong");
    if (!isSigned("host") || !isSigned("x-amz-date") || !isSigned("x-amz-content-sha256"))
        return refuse(403, "AccessDenied", "host, x-amz-date and x-amz-content-sha256 must be signed");
    const std::string amzDate = header("x-amz-date");
    std::chrono::system_clock::time_point signedAt;
    if (!ParseAmzDate(amzDate, &signedAt) || amzDate.compare(0, 8, auth.date) != 0 || auth.region != kRegion ||
        auth.service != "s3" || auth.terminator != "aws4_request")
        return refuse(403, "SignatureDoesNotMatch", "the credential scope does not fit the request");
    const auto now = std::chrono::system_clock::now();
    if (signedAt > now + kAllowedSkew || signedAt < now - kAllowedSkew)
        return refuse(403, "RequestTimeTooSkewed", "the request time is too far from the server's");
    const std::string payloadHash = header("x-amz-content-sha256");
    if (payloadHash != "UNSIGNED-PAYLOAD" && payloadHash != SigV4::Sha256Hex(request.body))
        return refuse(400, "XAmzContentSHA256Mismatch", "the body does not match x-amz-content-sha256");
    std::string canonical;
    if (!SigV4::CanonicalRequest(request.method, request.target, request.headers, auth.signedHeaders, payloadHash,
                                 &canonical))
        return refuse(403, "SignatureDoesNotMatch", "a signed header is missing");
    const std::string scope = auth.date + "/" + auth.region + "/" + auth.service + "/" + auth.terminator;
    const std::string expected = SigV4::Signature(grant.secret, auth.date, auth.region, auth.service,
                                                  SigV4::StringToSign(amzDate, scope, canonical));
    if (!SigV4::SameText(expected, auth.signature))
        return refuse(403, "SignatureDoesNotMatch", "the signature does not match");
    if (target.bucket != grant.bucket || target.key.compare(0, grant.keyPrefix.size(), grant.keyPrefix) != 0)
        return refuse(403, "AccessDenied", "the credentials do not cover this object");
    return std::nullopt;
}

HttpResponse ObjectStore::Handle(const HttpRequest& request)
{
    Target target;
    if (!ParseTarget(request, &target))
        return XmlError(404, "NoSuchBucket", "the bucket does not exist");
    if (target.key.empty())
        return XmlError(400, "InvalidRequest", "the request names no object");
    if (request.method == "GET")
        return GetObject(target);
    if (auto refusal = Authenticate(request, target))
        return *refusal;
    bool uploads = false;
    bool hasUploadId = false;
    QueryValue(target.query, "uploads", &uploads);
    QueryValue(target.query, "uploadId", &hasUploadId);
    if (request.method == "PUT" && hasUploadId)
        return PutPart(target, request);
    if (request.method == "PUT")
        return PutObject(target, request);
    if (request.method == "POST" && uploads)
        return Initiate(target);
    if (request.method == "POST" && hasUploadId)
        return Complete(target, request);
    if (request.method == "DELETE" && hasUploadId)
        return Abort(target);
    return XmlError(405, "MethodNotAllowed", "the operation is not supported");
}

std::filesystem::path ObjectStore::NewFilePath()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_folder.empty()) {
        std::error_code ec;
        m_folder = std::filesystem::temp_directory_path(ec) / ("pelbo-oss-" + RandomHex(8));
        std::filesystem::create_directories(m_folder, ec);
    }
    return m_folder / ("f" + std::to_string(++m_fileCounter));
}

bool ObjectStore::WriteFile(const std::filesystem::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

HttpResponse ObjectStore::PutObject(const Target& target, const HttpRequest& request)
{
    if (TakePutFault())
        return XmlError(500, "InternalError", "fault switch: failing puts");
    Object object;
    object.file = NewFilePath();
    object.size = request.body.size();
    object.etag = "\"" + Hex(Md5Raw(request.body)) + "\"";
    if (!WriteFile(object.file, request.body))
        return XmlError(500, "InternalError", "the object could not be written");
    HttpResponse response = Xml(200, "");
    response.headers["ETag"] = object.etag;
    std::filesystem::path replaced;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Object& slot = m_objects[target.bucket][target.key];
        replaced = slot.file;
        slot = object;
    }
    std::error_code ignored;
    if (!replaced.empty())
        std::filesystem::remove(replaced, ignored);
    return response;
}

HttpResponse ObjectStore::Initiate(const Target& target)
{
    std::string id;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        id = "up" + std::to_string(m_nextUpload++) + "-" + RandomHex(6);
        Upload& upload = m_uploads[id];
        upload.bucket = target.bucket;
        upload.key = target.key;
    }
    return Xml(200, "<InitiateMultipartUploadResult><Bucket>" + XmlEscape(target.bucket) + "</Bucket><Key>" +
                        XmlEscape(target.key) + "</Key><UploadId>" + id + "</UploadId></InitiateMultipartUploadResult>");
}

HttpResponse ObjectStore::PutPart(const Target& target, const HttpRequest& request)
{
    bool present = false;
    const std::string id = QueryValue(target.query, "uploadId", &present);
    const std::string numberText = QueryValue(target.query, "partNumber", &present);
    if (numberText.empty() || numberText.size() > 5 || numberText.find_first_not_of("0123456789") != std::string::npos)
        return XmlError(400, "InvalidArgument", "partNumber must be 1 to 10000");
    const unsigned number = static_cast<unsigned>(std::stoul(numberText));
    if (number < 1 || number > 10000)
        return XmlError(400, "InvalidArgument", "partNumber must be 1 to 10000");
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_uploads.find(id);
        if (it == m_uploads.end() || it->second.bucket != target.bucket || it->second.key != target.key)
            return XmlError(404, "NoSuchUpload", "the upload does not exist");
    }
    if (TakePutFault())
        return XmlError(500, "InternalError", "fault switch: failing puts");
    Object part;
    part.file = NewFilePath();
    part.size = request.body.size();
    part.etag = "\"" + Hex(Md5Raw(request.body)) + "\"";
    if (!WriteFile(part.file, request.body))
        return XmlError(500, "InternalError", "the part could not be written");
    std::filesystem::path replaced;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_uploads.find(id);
        if (it == m_uploads.end()) {
            std::error_code ignored;
            std::filesystem::remove(part.file, ignored);
            return XmlError(404, "NoSuchUpload", "the upload was aborted");
        }
        Object& slot = it->second.parts[number];
        replaced = slot.file;
        slot = part;
    }
    std::error_code ignored;
    if (!replaced.empty())
        std::filesystem::remove(replaced, ignored);
    HttpResponse response = Xml(200, "");
    response.headers["ETag"] = part.etag;
    return response;
}

HttpResponse ObjectStore::Complete(const Target& target, const HttpRequest& request)
{
    bool present = false;
    const std::string id = QueryValue(target.query, "uploadId", &present);
    // The listed parts, in order.
    std::vector<std::pair<unsigned, std::string>> listed;
    for (size_t pos = request.body.find("<Part>"); pos != std::string::npos;
         pos = request.body.find("<Part>", pos + 1)) {
        const size_t end = request.body.find("</Part>", pos);
        if (end == std::string::npos)
            return XmlError(400, "MalformedXML", "a Part element is not closed");
        const std::string part = request.body.substr(pos, end - pos);
        auto element = [&part](const std::string& name) {
            const size_t start = part.find("<" + name + ">");
            const size_t stop = part.find("</" + name + ">");
            if (start == std::string::npos || stop == std::string::npos || stop < start)
                return std::string();
            return part.substr(start + name.size() + 2, stop - start - name.size() - 2);
        };
        const std::string number = element("PartNumber");
        if (number.empty() || number.size() > 5 || number.find_first_not_of("0123456789") != std::string::npos)
            return XmlError(400, "MalformedXML", "a part has no valid PartNumber");
        listed.emplace_back(static_cast<unsigned>(std::stoul(number)), StripQuotes(XmlUnescape(element("ETag"))));
    }
    if (listed.empty())
        return XmlError(400, "MalformedXML", "no parts listed");
    Upload upload;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_uploads.find(id);
        if (it == m_uploads.end() || it->second.bucket != target.bucket || it->second.key != target.key)
            return XmlError(404, "NoSuchUpload", "the upload does not exist");
        unsigned previous = 0;
        for (const auto& entry : listed) {
            auto part = it->second.parts.find(entry.first);
            if (entry.first <= previous)
                return XmlError(400, "InvalidPartOrder", "parts must be listed in ascending order");
            if (part == it->second.parts.end() || StripQuotes(part->second.etag) != entry.second)
                return XmlError(400, "InvalidPart", "part " + std::to_string(entry.first) + " is missing or differs");
            previous = entry.first;
        }
        upload = it->second;
        m_uploads.erase(it);
    }
    Object object;
    object.file = NewFilePath();
    std::string md5s;
    {
        std::ofstream out(object.file, std::ios::binary | std::ios::trunc);
        std::vector<char> buffer(1 << 20);
        for (const auto& entry : listed) {
            const Object& part = upload.parts[entry.first];
            std::ifstream in(part.file, std::ios::binary);
            while (in) {
                in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
                out.write(buffer.data(), in.gcount());
            }
            object.size += part.size;
            std::string raw;
            const std::string hex = StripQuotes(part.etag);
            for (size_t i = 0; i + 1 < hex.size(); i += 2)
                raw.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
            md5s += raw;
        }
        out.close();
        if (!out)
            return XmlError(500, "InternalError", "the object could not be written");
    }
    for (const auto& part : upload.parts) {
        std::error_code ignored;
        std::filesystem::remove(part.second.file, ignored);
    }
    object.etag = "\"" + Hex(Md5Raw(md5s)) + "-" + std::to_string(listed.size()) + "\"";
    std::filesystem::path replaced;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Object& slot = m_objects[target.bucket][target.key];
        replaced = slot.file;
        slot = object;
    }
    std::error_code ignored;
    if (!replaced.empty())
        std::filesystem::remove(replaced, ignored);
    return Xml(200, "<CompleteMultipartUploadResult><Bucket>" + XmlEscape(target.bucket) + "</Bucket><Key>" +
                        XmlEscape(target.key) + "</Key><ETag>" + XmlEscape(object.etag) +
                        "</ETag></CompleteMultipartUploadResult>");
}

HttpResponse ObjectStore::Abort(const Target& target)
{
    bool present = false;
    const std::string id = QueryValue(target.query, "uploadId", &present);
    Upload upload;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_uploads.find(id);
        if (it == m_uploads.end() || it->second.bucket != target.bucket || it->second.key != target.key)
            return XmlError(404, "NoSuchUpload", "the upload does not exist");
        upload = it->second;
        m_uploads.erase(it);
    }
    for (const auto& part : upload.parts) {
        std::error_code ignored;
        std::filesystem::remove(part.second.file, ignored);
    }
    HttpResponse response;
    response.status = 204;
    response.contentType = "application/xml";
    return response;
}

HttpResponse ObjectStore::GetObject(const Target& target) const
{
    const auto bytes = ObjectBytes(target.bucket, target.key);
    if (!bytes)
        return XmlError(404, "NoSuchKey", "the object does not exist");
    HttpResponse response;
    response.contentType = "application/octet-stream";
    response.body = *bytes;
    return response;
}

std::optional<std::string> ObjectStore::ObjectBytes(const std::string& bucket, const std::string& key) const
{
    std::filesystem::path file;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto b = m_objects.find(bucket);
        if (b == m_objects.end())
            return std::nullopt;
        auto o = b->second.find(key);
        if (o == b->second.end())
            return std::nullopt;
        file = o->second.file;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::map<std::string, uint64_t> ObjectStore::ListObjects(const std::string& bucket) const
{
    std::map<std::string, uint64_t> list;
    std::lock_guard<std::mutex> lock(m_mutex);
    auto b = m_objects.find(bucket);
    if (b != m_objects.end()) {
        for (const auto& entry : b->second)
            list[entry.first] = entry.second.size;
    }
    return list;
}

size_t ObjectStore::OpenMultipartUploads() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_uploads.size();
}

uint64_t ObjectStore::RejectedRequests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rejected;
}

}  // namespace DevServer

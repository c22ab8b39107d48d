#include "SignTool.h"

#include <json/json.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <system_error>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "pelbo/compat/FileOpen.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/FileDigest.h"
#include "pelbo/corekit/Path.h"
#include "pelbo/corekit/Signature.h"
#include "pelbo/compat/AtomicFile.h"

namespace SignTool {
namespace {

namespace Sig = Util::Signature;

// A signature covers a file held whole in memory (Ed25519 signs a message,
// not a stream). Manifests are tiny; the installer is covered through the
// manifest's digests instead.
constexpr uint64_t kMaxSignedFile = 256ull * 1024 * 1024;
constexpr uint64_t kMaxSignatureFile = 4096;
constexpr int kMaxExpiresDays = 3650;

// A command's failure: the one line printed after "pelbo-sign: ".
struct Failure {
    std::string reason;
};

void PrintUsage(std::ostream& err)
{
    err << "usage: pelbo-sign keygen PRIVATE_FILE PUBLIC_FILE\n"
           "       pelbo-sign sign PRIVATE_FILE FILE\n"
           "       pelbo-sign manifest PRIVATE_FILE INSTALLER --version A.B.C.D --url https://...\n"
           "                  --expires-days N [--note TEXT]... --out MANIFEST\n"
           "       pelbo-sign verify PUBLIC_KEYS_FILE FILE\n"
           "  keygen    makes an Ed25519 key pair; refuses to overwrite either file\n"
           "  sign      writes FILE.sig, the base64 signature of FILE\n"
           "  manifest  writes the update manifest for INSTALLER and MANIFEST.sig\n"
           "  verify    checks FILE.sig against every key of the keys file; exit 0 when one verifies\n";
}

std::filesystem::path FsPath(const std::string& utf8)
{
    return std::filesystem::u8path(utf8);
}

std::wstring Wide(const std::string& utf8)
{
    return ToWide(utf8.c_str(), CP_UTF8);
}

// The file's exact bytes.
std::string ReadWholeFile(const std::string& path, uint64_t maxBytes)
{
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(FsPath(path), ec);
    if (status.type() == std::filesystem::file_type::not_found)
        throw Failure{path + ": no such file"};
    if (ec || status.type() != std::filesystem::file_type::regular)
        throw Failure{path + ": not a readable regular file"};
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(Compat::OpenFile(path, "rb"), &std::fclose);
    if (!file)
        throw Failure{path + ": cannot open"};
    std::string content;
    char chunk[64 * 1024];
    for (;;) {
        const size_t got = std::fread(chunk, 1, sizeof chunk, file.get());
        content.append(chunk, got);
        if (content.size() > maxBytes)
            throw Failure{path + ": larger than " + std::to_string(maxBytes) + " bytes"};
        if (got < sizeof chunk)
            break;
    }
    if (std::ferror(file.get()))
        throw Failure{path + ": read error"};
    return content;
}

// Readers see the old file or the complete new one, never a part.
void WriteFileAtomically(const std::string& path, const std::string& content, bool secret)
{
    Compat::CAtomicFile file(path);
    std::FILE* out = file.Open();
    if (out == nullptr)
        throw Failure{path + ": cannot create a file beside it"};
#if !defined(_WIN32)
    // Before the first byte: the seed is never readable by others, not even
    // under the temporary name.
    if (secret && ::fchmod(::fileno(out), S_IRUSR | S_IWUSR) != 0)
        throw Failure{path + ": cannot restrict the file's mode"};
#else
    (void)secret;
#endif
    if (std::fwrite(content.data(), 1, content.size(), out) != content.size() || !file.Commit())
        throw Failure{path + ": cannot write"};
}

bool Exists(const std::string& path)
{
    return Util::Path::IsFileExist(Wide(path).c_str()) != 0;
}

std::vector<Sig::Bytes> ReadKeys(const std::string& path)
{
    std::vector<Sig::Bytes> keys;
    std::string error;
    if (!Sig::ReadKeyFile(Wide(path).c_str(), keys, error))
        throw Failure{path + ": " + error};
    return keys;
}

Sig::Bytes ReadPrivateKey(const std::string& path)
{
    std::vector<Sig::Bytes> keys = ReadKeys(path);
    if (keys.size() != 1)
        throw Failure{path + ": a private key file holds exactly one key"};
    return std::move(keys.front());
}

std::string SignatureFileOf(const std::string& path)
{
    return path + ".sig";
}

// Writes path.sig for the bytes the file holds now.
void SignFile(const Sig::Bytes& privateKey, const std::string& path)
{
    const std::string content = ReadWholeFile(path, kMaxSignedFile);
    const std::optional<Sig::Bytes> signature = Sig::Sign(privateKey, content.data(), content.size());
    if (!signature)
        throw Failure{"signing failed"};
    WriteFileAtomically(SignatureFileOf(path), Sig::Base64Encode(*signature) + "\n", false);
}

int Keygen(const std::vector<std::string>& args, std::ostream& out)
{
    const std::string& privatePath = args[1];
    const std::string& publicPath = args[2];
    if (FsPath(privatePath).lexically_normal() == FsPath(publicPath).lexically_normal())
        throw Failure{"the private and the public key file must differ"};
    for (const std::string& path : {privatePath, publicPath}) {
        if (Exists(path))
            throw Failure{path + ": exists already; a key file is never overwritten"};
    }
    const std::optional<Sig::KeyPair> pair = Sig::GenerateKeyPair();
    if (!pair)
        throw Failure{"key generation failed"};
    WriteFileAtomically(privatePath, Sig::Base64Encode(pair->privateKey) + "\n", true);
    try {
        WriteFileAtomically(publicPath,
                            "# Pelbo release signing public key (Ed25519, base64). Clients trust the keys of this "
                            "file; more keys may follow, one a line.\n" +
                                Sig::Base64Encode(pair->publicKey) + "\n",
                            false);
    } catch (const Failure&) {
        // A private key without its public half would be signing nobody can check.
        std::error_code ignored;
        std::filesystem::remove(FsPath(privatePath), ignored);
        throw;
    }
    out << "private key written to " << privatePath << " (keep it offline)\n"
        << "public key written to " << publicPath << "\n";
    return kExitOk;
}

int SignCommand(const std::vector<std::string>& args, std::ostream& out)
{
    SignFile(ReadPrivateKey(args[1]), args[2]);
    out << "signature written to " << SignatureFileOf(args[2]) << "\n";
    return kExitOk;
}

int VerifyCommand(const std::vector<std::string>& args, std::ostream& out)
{
    const std::vector<Sig::Bytes> keys = ReadKeys(args[1]);
    const std::string& path = args[2];
    std::string text = ReadWholeFile(SignatureFileOf(path), kMaxSignatureFile);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    const std::optional<Sig::Bytes> signature = Sig::Base64Decode(text, Sig::kSignatureSize);
    if (!signature)
        throw Failure{SignatureFileOf(path) + ": not one line of a base64 signature of " +
                      std::to_string(Sig::kSignatureSize) + " bytes"};
    const std::string content = ReadWholeFile(path, kMaxSignedFile);
    if (!Sig::VerifyAny(keys, content.data(), content.size(), *signature))
        throw Failure{path + ": the signature does not verify with any key of " + args[1]};
    out << path << ": signature verified\n";
    return kExitOk;
}

struct ManifestOptions {
    std::string privatePath;
    std::string installer;
    std::string version;
    std::string url;
    int expiresDays = 0;
    std::vector<std::string> notes;
    std::string out;
};

// The client compares exactly four dot-separated numbers.
bool IsVersion(const std::string& text)
{
    int parts = 0;
    size_t digits = 0;
    for (const char c : text + ".") {
        if (c == '.') {
            if (digits == 0)
                return false;
            ++parts;
            digits = 0;
        } else if (c >= '0' && c <= '9' && digits < 9) {
            ++digits;
        } else {
            return false;
        }
    }
    return parts == 4;
}

// The client takes only https addresses without blanks, quotes or
// non-ASCII characters; a manifest it would refuse is better refused here.
bool IsHttpsUrl(const std::string& text)
{
    const std::string scheme = "https://";
    if (text.compare(0, scheme.size(), scheme) != 0 || text.size() == scheme.size() || text[scheme.size()] == '/')
        return false;
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == '"' || c == '\\' || c == '<' || c == '>')
            return false;
    }
    return true;
}

bool ParseDays(const std::string& text, int& days)
{
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    days = std::stoi(text);
    return days >= 1 && days <= kMaxExpiresDays;
}

bool IsUtf8(const std::string& text)
{
    return text.empty() || ToMultiByte(ToWide(text.c_str(), CP_UTF8).c_str(), CP_UTF8) == text;
}

// Empty text when the arguments are usable; otherwise what is wrong with them.
std::string ParseManifestArgs(const std::vector<std::string>& args, ManifestOptions& options)
{
    std::vector<std::string> positional;
    std::map<std::string, std::string*> single = {
        {"--version", &options.version}, {"--url", &options.url}, {"--out", &options.out}};
    std::string days;
    single["--expires-days"] = &days;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.compare(0, 2, "--") != 0) {
            positional.push_back(arg);
            continue;
        }
        if (i + 1 >= args.size())
            return arg + " needs a value";
        const std::string& value = args[++i];
        if (arg == "--note") {
            if (!IsUtf8(value))
                return "a note must be UTF-8 text";
            options.notes.push_back(value);
            continue;
        }
        const auto known = single.find(arg);
        if (known == single.end())
            return "unknown option " + arg;
        if (!known->second->empty())
            return arg + " given twice";
        if (value.empty())
            return arg + " needs a value";
        *known->second = value;
    }
    if (positional.size() != 2)
        return "manifest takes PRIVATE_FILE and INSTALLER";
    options.privatePath = positional[0];
    options.installer = positional[1];
    if (options.version.empty() || options.url.empty() || days.empty() || options.out.empty())
        return "manifest needs --version, --url, --expires-days and --out";
    if (!IsVersion(options.version))
        return "--version must be four dot-separated numbers, as 1.0.0.9";
    if (!IsHttpsUrl(options.url))
        return "--url must be an https address without blanks, quotes or non-ASCII characters";
    if (!ParseDays(days, options.expiresDays))
        return "--expires-days must be a whole number from 1 to " + std::to_string(kMaxExpiresDays);
    const std::filesystem::path out = FsPath(options.out).lexically_normal();
    if (out == FsPath(options.installer).lexically_normal() || out == FsPath(options.privatePath).lexically_normal())
        return "--out must name a file other than the installer and the private key";
    return std::string();
}

std::string UtcTimestamp(std::time_t when)
{
    std::tm parts{};
#if defined(_WIN32)
    if (gmtime_s(&parts, &when) != 0)
        throw Failure{"cannot format the expiry time"};
#else
    if (gmtime_r(&when, &parts) == nullptr)
        throw Failure{"cannot format the expiry time"};
#endif
    char text[32];
    if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0)
        throw Failure{"cannot format the expiry time"};
    return text;
}

int ManifestCommand(const ManifestOptions& options, std::ostream& out)
{
    // The key first: a wrong key file should not cost a read of the installer.
    const Sig::Bytes privateKey = ReadPrivateKey(options.privatePath);
    const Util::FileDigest::Digest digest = Util::FileDigest::OfFile(Wide(options.installer).c_str());
    if (digest.status != Util::FileDigest::Status::Ok)
        throw Failure{options.installer + ": " + Util::FileDigest::StatusText(digest.status)};

    Json::Value manifest(Json::objectValue);
    manifest["version"] = options.version;
    manifest["downloadUrl"] = options.url;
    manifest["md5"] = digest.md5;
    manifest["size"] = Json::UInt64(digest.size);
    manifest["sha256"] = digest.sha256;
    manifest["expires"] =
        UtcTimestamp(std::time(nullptr) + static_cast<std::time_t>(options.expiresDays) * 24 * 60 * 60);
    Json::Value notes(Json::arrayValue);
    for (const std::string& note : options.notes)
        notes.append(note);
    manifest["updateMsg"] = notes;
    // One line: the client keeps the manifest it last read in a
    // configuration value.
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    WriteFileAtomically(options.out, Json::writeString(builder, manifest) + "\n", false);
    SignFile(privateKey, options.out);
    out << "manifest written to " << options.out << ", signature to " << SignatureFileOf(options.out) << "\n";
    return kExitOk;
}

int Usage(std::ostream& err, const std::string& problem)
{
    if (!problem.empty())
        err << "pelbo-sign: " << problem << "\n";
    PrintUsage(err);
    return kExitUsage;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    try {
        const std::string command = args.empty() ? std::string() : args[0];
        if (command == "--help" || command == "-h") {
            PrintUsage(out);
            return kExitOk;
        }
        const bool twoFiles = args.size() == 3;
        if (command == "keygen")
            return twoFiles ? Keygen(args, out) : Usage(err, "keygen takes PRIVATE_FILE and PUBLIC_FILE");
        if (command == "sign")
            return twoFiles ? SignCommand(args, out) : Usage(err, "sign takes PRIVATE_FILE and FILE");
        if (command == "verify")
            return twoFiles ? VerifyCommand(args, out) : Usage(err, "verify takes PUBLIC_KEYS_FILE and FILE");
        if (command == "manifest") {
            ManifestOptions options;
            const std::string problem = ParseManifestArgs(args, options);
            return problem.empty() ? ManifestCommand(options, out) : Usage(err, problem);
        }
        return Usage(err, command.empty() ? std::string() : "unknown command " + command);
    } catch (const Failure& failure) {
        err << "pelbo-sign: " << failure.reason << "\n";
    } catch (const std::exception& e) {
        err << "pelbo-sign: " << e.what() << "\n";
    }
    return kExitFailed;
}

}  // namespace SignTool

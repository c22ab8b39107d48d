#include <gtest/gtest.h>
#include <json/json.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "SignTool.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int code;
    std::string out;
    std::string err;
};

Outcome Tool(const std::vector<std::string>& args)
{
    std::ostringstream out;
    std::ostringstream err;
    const int code = SignTool::Run(args, out, err);
    return {code, out.str(), err.str()};
}

std::string Slurp(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void Put(const fs::path& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string HexDigest(const std::string& bytes, const EVP_MD* kind)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, kind, nullptr) != 1)
        return std::string();
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

std::time_t ParseUtc(const std::string& text)
{
    std::tm parts{};
    std::istringstream in(text);
    in >> std::get_time(&parts, "%Y-%m-%dT%H:%M:%SZ");
    if (in.fail())
        return -1;
#if defined(_WIN32)
    return _mkgmtime(&parts);
#else
    return timegm(&parts);
#endif
}

class SignToolTest : public ::testing::Test {
protected:
    std::string At(const std::string& name) const { return m_dir.File(name); }

    // keygen, then an installer and its signed manifest.
    void MakeRelease()
    {
        const Outcome keygen = Tool({"keygen", At("release.key"), At("release.pub")});
        ASSERT_EQ(keygen.code, 0) << keygen.err;
        m_installer.assign(3 * 1024 * 1024 + 77, '\0');
        for (size_t i = 0; i < m_installer.size(); ++i)
            m_installer[i] = static_cast<char>((i * 29 + i / 977) & 0xFF);
        Put(At("pelbo-1.0.0.9.exe"), m_installer);
        const Outcome manifest = Tool({"manifest", At("release.key"), At("pelbo-1.0.0.9.exe"), "--version", "1.0.0.9",
                                      "--url", "https://cdn.example.test/pelbo-1.0.0.9.exe", "--expires-days", "30",
                                      "--note", "Faster joining", "--note", "\xe4\xbf\xae\xe5\xa4\x8d", "--out",
                                      At("manifest.json")});
        ASSERT_EQ(manifest.code, 0) << manifest.err;
    }

    TestSupport::TempDir m_dir;
    std::string m_installer;
};

TEST_F(SignToolTest, KeygenManifestVerify)
{
    MakeRelease();
    const std::string secret = Slurp(At("release.key"));
    ASSERT_EQ(secret.size(), 45u);  // 44 base64 characters for 32 bytes, and a newline
    EXPECT_EQ(secret.back(), '\n');
#if !defined(_WIN32)
    EXPECT_EQ(fs::status(At("release.key")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
#endif
    const std::string publicFile = Slurp(At("release.pub"));
    EXPECT_EQ(publicFile.front(), '#');
    EXPECT_EQ(publicFile.find(secret.substr(0, 44)), std::string::npos);

    Json::Value manifest;
    std::istringstream text(Slurp(At("manifest.json")));
    std::string errors;
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), text, &manifest, &errors)) << errors;
    EXPECT_EQ(manifest["version"].asString(), "1.0.0.9");
    EXPECT_EQ(manifest["downloadUrl"].asString(), "https://cdn.example.test/pelbo-1.0.0.9.exe");
    EXPECT_EQ(manifest["size"].asUInt64(), m_installer.size());
    EXPECT_EQ(manifest["sha256"].asString(), HexDigest(m_installer, EVP_sha256()));
    EXPECT_EQ(manifest["md5"].asString(), HexDigest(m_installer, EVP_md5()));
    ASSERT_EQ(manifest["updateMsg"].size(), 2u);
    EXPECT_EQ(manifest["updateMsg"][1].asString(), "\xe4\xbf\xae\xe5\xa4\x8d");
    const std::time_t expires = ParseUtc(manifest["expires"].asString());
    const std::time_t expected = std::time(nullptr) + 30 * 24 * 3600;
    EXPECT_LE(std::abs(static_cast<long long>(expires - expected)), 120) << manifest["expires"].asString();

    const Outcome verified = Tool({"verify", At("release.pub"), At("manifest.json")});
    EXPECT_EQ(verified.code, 0) << verified.err;

    // sign gives the same one-line form for any file, and it verifies.
    ASSERT_EQ(Tool({"sign", At("release.key"), At("pelbo-1.0.0.9.exe")}).code, 0);
    const std::string signature = Slurp(At("pelbo-1.0.0.9.exe.sig"));
    EXPECT_EQ(signature.size(), 89u);  // 88 base64 characters for 64 bytes, and a newline
    EXPECT_EQ(Tool({"verify", At("release.pub"), At("pelbo-1.0.0.9.exe")}).code, 0);

    for (const Outcome& outcome : {verified, Tool({"keygen", At("other.key"), At("other.pub")})})
        EXPECT_EQ((outcome.out + outcome.err).find(secret.substr(0, 44)), std::string::npos);
}

TEST_F(SignToolTest, TamperedFilesAndSignaturesFail)
{
    MakeRelease();
    const std::string original = Slurp(At("manifest.json"));
    for (size_t at : {size_t{0}, original.find("1.0.0.9") + 6, original.size() - 1}) {
        std::string changed = original;
        changed[at] = static_cast<char>(changed[at] ^ 0x01);
        Put(At("manifest.json"), changed);
        const Outcome outcome = Tool({"verify", At("release.pub"), At("manifest.json")});
        EXPECT_EQ(outcome.code, 1) << "byte " << at;
        EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << outcome.err;
    }
    Put(At("manifest.json"), original);
    const std::string signature = Slurp(At("manifest.json.sig"));
    for (const std::string& bad : {signature.substr(0, 40) + "\n", std::string(), std::string("not base64!\n"),
                                   signature.substr(0, 88) + "\n\n"}) {
        Put(At("manifest.json.sig"), bad);
        EXPECT_EQ(Tool({"verify", At("release.pub"), At("manifest.json")}).code, 1);
    }
    fs::remove(At("manifest.json.sig"));
    EXPECT_EQ(Tool({"verify", At("release.pub"), At("manifest.json")}).code, 1);
}

TEST_F(SignToolTest, KeysFileOfSeveralKeysAcceptsAnyOne)
{
    MakeRelease();
    ASSERT_EQ(Tool({"keygen", At("next.key"), At("next.pub")}).code, 0);
    Put(At("both.pub"), Slurp(At("next.pub")) + "\n" + Slurp(At("release.pub")));
    EXPECT_EQ(Tool({"verify", At("both.pub"), At("manifest.json")}).code, 0);
    EXPECT_EQ(Tool({"verify", At("next.pub"), At("manifest.json")}).code, 1);
    Put(At("broken.pub"), Slurp(At("release.pub")) + "garbage\n");
    const Outcome broken = Tool({"verify", At("broken.pub"), At("manifest.json")});
    EXPECT_EQ(broken.code, 1);
    EXPECT_NE(broken.err.find("line 3"), std::string::npos) << broken.err;
}

TEST_F(SignToolTest, KeygenNeverOverwrites)
{
    Put(At("taken.key"), "precious\n");
    const Outcome first = Tool({"keygen", At("taken.key"), At("new.pub")});
    EXPECT_EQ(first.code, 1);
    EXPECT_EQ(Slurp(At("taken.key")), "precious\n");
    EXPECT_FALSE(fs::exists(At("new.pub")));

    Put(At("taken.pub"), "precious\n");
    EXPECT_EQ(Tool({"keygen", At("new.key"), At("taken.pub")}).code, 1);
    EXPECT_EQ(Slurp(At("taken.pub")), "precious\n");
    EXPECT_FALSE(fs::exists(At("new.key")));
    EXPECT_EQ(Tool({"keygen", At("same"), At("same")}).code, 1);
    EXPECT_FALSE(fs::exists(At("same")));
}

TEST_F(SignToolTest, BadArgumentsGiveUsageAndExitTwo)
{
    Put(At("installer.exe"), "MZ");
    const std::string key = At("k");
    const std::string inst = At("installer.exe");
    const std::vector<std::string> manifest = {"manifest", key, inst, "--version", "1.0.0.9", "--url",
                                               "https://x.test/a.exe", "--expires-days", "7", "--out", At("m.json")};
    // The well-formed manifest command with one option's value replaced, or
    // the option added when it is not there.
    const auto with = [&manifest](const std::string& option, const std::string& value) {
        std::vector<std::string> args = manifest;
        const auto at = std::find(args.begin(), args.end(), option);
        if (at == args.end())
            args.insert(args.end(), {option, value});
        else
            *(at + 1) = value;
        return args;
    };
    std::vector<std::string> dangling = manifest;
    dangling.push_back("--note");
    const std::vector<std::vector<std::string>> bad = {
        {}, {"bogus"}, {"keygen", key}, {"sign", key, inst, "extra"}, {"verify"},
        {"manifest", key, inst, "--version", "1.0.0.9"}, with("--version", "1.0.9"),
        with("--url", "http://x.test/a.exe"), with("--url", "https://x.test/a b.exe"), with("--expires-days", "0"),
        with("--expires-days", "7x"), with("--out", inst), with("--note", "\xff"), with("--colour", "red"),
        dangling,
    };
    for (const auto& args : bad) {
        const Outcome outcome = Tool(args);
        EXPECT_EQ(outcome.code, 2) << (args.empty() ? "(none)" : args.back());
        EXPECT_NE(outcome.err.find("usage: pelbo-sign"), std::string::npos);
    }
    // Well-formed, but the key file is missing: a failure, not a usage error.
    const Outcome missingKey = Tool(manifest);
    EXPECT_EQ(missingKey.code, 1);
    EXPECT_FALSE(fs::exists(At("m.json")));
}

}  // namespace

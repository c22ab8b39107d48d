// Interop with a third-party S3-compatible server: the npm package s3rver,
// run on loopback by node. Uploads (single and multipart) are read back and
// compared by digest. s3rver does not check signatures; the local server's
// storage does (test_upload.cpp).

#include <filesystem>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "UploadRecorder.h"
#include "pelbo/bucketput/OssUpload.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/HttpSettings.h"
#include "support/HttpClient.h"
#if !defined(_WIN32)
#include "support/S3rverProcess.h"
#endif
#include "support/TempDir.h"

namespace {

using namespace Util::OssUpload;

const char kBucket[] = "interop";

std::wstring W(const std::string& text) { return ToWide(text.c_str(), CP_UTF8); }

std::string Sha256(const std::string& bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    std::ostringstream hex;
    for (unsigned i = 0; i < length; ++i)
        hex << "0123456789abcdef"[digest[i] >> 4] << "0123456789abcdef"[digest[i] & 15];
    return hex.str();
}

#if defined(_WIN32)
// s3rver is a node process started with posix_spawn: on Windows the tests
// below skip in SetUp, and this only lets them compile.
struct S3rverProcess {
    std::string Url() const { return std::string(); }
};
#else
using TestSupport::S3rverProcess;
#endif

class S3rverInterop : public ::testing::Test {
protected:
    static void TearDownTestSuite() { Shutdown(); }

    void SetUp() override
    {
#if defined(_WIN32)
        GTEST_SKIP() << "s3rver runs as a Linux node process; the Windows uploads are tested against the local "
                        "server's storage";
#else
        const std::string node = TestSupport::S3rverProcess::FindNode();
        if (node.empty())
            GTEST_SKIP() << "node is not installed";
        const std::string module = std::string(PELBO_NPM_PREFIX) + "/node_modules/s3rver";
        ASSERT_TRUE(std::filesystem::exists(module + "/package.json"))
            << "s3rver is missing: tools/scripts/deps.sh installs it";
        std::string error;
        ASSERT_TRUE(s3rver.Start(node, module, (dir.Path() / "store").string(), kBucket, &error)) << error;
        Http::SetOssPathStyle(1);
#endif
    }

    void TearDown() override
    {
        SetTuning(CUploadTuning());
        Http::ResetSettings();
    }

    // Uploads the bytes under key and reads the object back.
    std::string RoundTrip(const std::string& bytes, const std::string& key, unsigned expectedStart)
    {
        const std::string path = dir.File("upload.bin");
        EXPECT_TRUE(WriteBytes(path, bytes));
        CFileObjExt file;
        file.strLocalPath = W(path);
        file.strBucket = W(kBucket);
        file.strObjectPath = W(key);
        file.strAccessKeyId = L"S3RVER";
        file.strAccessKeySecret = L"S3RVER";
        file.strSecurityToken = L"session-token";
        file.strEndPoint = W(s3rver.Url());
        file.nOption1 = 1;
        file.nOption2 = 1;
        UploadRecorder events;
        unsigned long long id = 0;
        EXPECT_EQ(Start(file, id, &events), expectedStart);
        EXPECT_EQ(events.WaitEnd(), kEndOk);
        TestSupport::HttpClient client;
        std::string encoded;
        for (const char c : key)
            encoded += c == ' ' ? std::string("%20") : std::string(1, c);
        const auto read = client.Get(s3rver.Url() + "/" + kBucket + "/" + encoded);
        EXPECT_TRUE(read.Ok()) << read.error;
        EXPECT_EQ(read.status, 200);
        return read.body;
    }

    TestSupport::TempDir dir;
    S3rverProcess s3rver;
};

TEST_F(S3rverInterop, SingleUploadReadsBackWithTheSameDigest)
{
    const std::string bytes = PatternBytes(300000, 21);
    EXPECT_EQ(Sha256(RoundTrip(bytes, "docs/single.pdf", kStartedSingle)), Sha256(bytes));
}

TEST_F(S3rverInterop, MultipartUploadReadsBackWithTheSameDigest)
{
    CUploadTuning tuning;
    tuning.partSize = 5 << 20;  // S3's smallest part but the last
    tuning.multipartThreshold = 5 << 20;
    SetTuning(tuning);
    const std::string bytes = PatternBytes((12 << 20) + 4321, 22);
    EXPECT_EQ(Sha256(RoundTrip(bytes, "docs/multi part.pptx", kStartedMultipart)), Sha256(bytes));
}

TEST_F(S3rverInterop, OnePartAtATimeReadsBackWithTheSameDigest)
{
    // Each part is started by the end of the one before, over one kept-alive
    // connection: the I/O loop must move on without a new event from curl.
    CUploadTuning tuning;
    tuning.partSize = 64 << 10;
    tuning.multipartThreshold = 64 << 10;
    tuning.parallelParts = 1;
    SetTuning(tuning);
    const std::string bytes = PatternBytes(100 * (64 << 10), 23);
    EXPECT_EQ(Sha256(RoundTrip(bytes, "docs/sequential.bin", kStartedMultipart)), Sha256(bytes));
}

}  // namespace

// bucketput against the local server's object storage, which checks every
// signature and session token: single and multipart uploads, addressing,
// progress, retries, refusals, stops and files that change under an upload.

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "UploadRecorder.h"
#include "pelbo/bucketput/OssUpload.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/HttpSettings.h"
#include "devserver/ObjectStore.h"
#include "devserver/State.h"
#include "support/ScopedEnvironment.h"
#include "support/TestServer.h"

namespace {

using namespace Util::OssUpload;
using DevServer::ObjectStore;

std::wstring W(const std::string& text) { return ToWide(text.c_str(), CP_UTF8); }

class BucketputUpload : public ::testing::Test {
protected:
    static void TearDownTestSuite() { Shutdown(); }

    void SetUp() override
    {
        ASSERT_TRUE(server.Started()) << server.Error();
        Http::SetOssPathStyle(1);
        CUploadTuning tuning;
        tuning.multipartThreshold = 512 << 10;
        tuning.partSize = 256 << 10;
        tuning.parallelParts = 3;
        tuning.maxTries = 3;
        tuning.backoffMs = 20;
        SetTuning(tuning);
    }

    void TearDown() override
    {
        SetTuning(CUploadTuning());
        Http::ResetSettings();
    }

    ObjectStore& Store() { return server.State().storage; }

    std::string Port() { return std::to_string(server.Server().Port()); }

    // A record with fresh credentials for the key, for the file at path.
    CFileObjExt Record(const std::string& path, const std::string& key, const std::string& endpoint = "")
    {
        const ObjectStore::Credentials credentials = Store().Issue(ObjectStore::kDocsBucket, key);
        CFileObjExt file;
        file.ullFileID = 77;
        file.strLocalPath = W(path);
        file.strBucket = W(ObjectStore::kDocsBucket);
        file.strObjectPath = W(key);
        file.strAccessKeyId = W(credentials.accessKeyId);
        file.strAccessKeySecret = W(credentials.secret);
        file.strSecurityToken = W(credentials.token);
        file.strEndPoint = W(endpoint.empty() ? "http://oss-local.localhost:" + Port() : endpoint);
        file.nOption1 = 1;
        file.nOption2 = 1;
        file.strFileUrl = L"http://example/file";
        return file;
    }

    std::string Stored(const std::string& key)
    {
        return Store().ObjectBytes(ObjectStore::kDocsBucket, key).value_or("<missing>");
    }

    TestSupport::TestServer server;
};

TEST_F(BucketputUpload, SingleFileIsStoredWithOneEndAndFullProgress)
{
    const std::string bytes = PatternBytes(100000);
    const std::string path = server.Dir().File("small.pdf");
    ASSERT_TRUE(WriteBytes(path, bytes));
    UploadRecorder events;
    unsigned long long id = 0;
    ASSERT_EQ(Start(Record(path, "docs/1/small.pdf"), id, &events), kStartedSingle);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(events.WaitEnd(), kEndOk);
    EXPECT_EQ(Stored("docs/1/small.pdf"), bytes);

    const auto progress = events.ProgressEvents();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back().sent, bytes.size());
    EXPECT_EQ(progress.back().total, bytes.size());
    EXPECT_EQ(events.Path(), W(path));
    EXPECT_EQ(events.UploadId(), id);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(events.Ends().size(), 1u);
}

TEST_F(BucketputUpload, ProxyVariablesOfTheEnvironmentAreNotRead)
{
    TestSupport::ScopedEnvironment environment;
    TestSupport::PointProxyVariablesNowhere(environment);
    const std::string path = server.Dir().File("direct.pdf");
    ASSERT_TRUE(WriteBytes(path, PatternBytes(1000)));
    UploadRecorder events;
    unsigned long long id = 0;
    ASSERT_EQ(Start(Record(path, "docs/1/direct.pdf"), id, &events), kStartedSingle);
    EXPECT_EQ(events.WaitEnd(), kEndOk);
    EXPECT_EQ(Stored("docs/1/direct.pdf"), PatternBytes(1000));
}

TEST_F(BucketputUpload, LargeFileGoesUpInPartsWithGrowingProgress)
{
    const std::string bytes = PatternBytes((1300 << 10) + 123, 3);
    const std::string path = server.Dir().File("big.pptx");
    ASSERT_TRUE(WriteBytes(path, bytes));
    UploadRecorder events;
    unsigned long long id = 0;
    ASSERT_EQ(Start(Record(path, "docs/1/big file.pptx"), id, &events), kStartedMultipart);
    EXPECT_EQ(events.WaitEnd(), kEndOk);
    EXPECT_EQ(Stored("docs/1/big file.pptx"), bytes);
    EXPECT_EQ(Store().OpenMultipartUploads(), 0u);

    const auto progress = events.ProgressEvents();
    ASSERT_FALSE(progress.empty());
    for (size_t i = 1; i < progress.size(); ++i)
        EXPECT_GE(progress[i].sent, progress[i - 1].sent);
    EXPECT_EQ(progress.back().sent, bytes.size());
    EXPECT_EQ(progress.back().total, bytes.size());
}

TEST_F(BucketputUpload, VirtualHostedAddressingReachesTheBucket)
{
    Http::SetOssPathStyle(0);
    const std::string bytes = PatternBytes(3000);
    const std::string path = server.Dir().File("v.png");
    ASSERT_TRUE(WriteBytes(path, bytes));
    UploadRecorder events;
    unsigned long long id = 0;
    ASSERT_EQ(Start(Record(path, "docs/2/v.png"), id, &events), kStartedSingle);
    EXPECT_EQ(events.WaitEnd(), kEndOk);
    EXPECT_EQ(Stored("docs/2/v.png"), bytes);
}

TEST_F(BucketputUpload, WrongSignatureAndExpiredTokenAreRefused)
{
    const std::string path = server.Dir().File("r.pdf");
    ASSERT_TRUE(WriteBytes(path, PatternBytes(5000)));

    Store().SetIssueWrongSecret(true);
    UploadRecorder wrong;
    unsigned long long id = 0;
    ASSERT_EQ(Start(Record(path, "docs/3/r.pdf"), id, &wrong), kStartedSingle);
    EXPECT_EQ(wrong.WaitEnd(), kEndRefused);
    Store().SetIssueWrongSecret(false);

    Store().SetCredentialLifetime(std::chrono::seconds(0));
    UploadRecorder expired;
    ASSERT_EQ(Start(Record(path, "docs/3/r.pdf"), id, &expired), kStartedSingle);
    EXPECT_EQ(expired.WaitEnd(), kEndRefused);
    Store().SetCredentialLifetime(ObjectStore::kCredentialLifetime);

    // Another token than the one issued with the key.
    CFileObjExt file = Record(path, "docs/3/r.pdf");
    file.strSecurityToken = L"tok-forged";
    UploadRecorder forged;
    ASSERT_EQ(Start(file, id, &forged), kStartedSingle);
    EXPECT_EQ(forged.WaitEnd(), kEndRefused);
    EXPECT_EQ(Stored("docs/3/r.pdf"), "<missing>");
    EXPECT_GE(Store().RejectedRequests(), 3u);
}

TEST_F(BucketputUpload, ServerErrorsAndCutConnectionsAreRetried)
{
    const std::string bytes = PatternBytes(900 << 10, 5);
    const std::string path = server.Dir().File("retry.doc");
    ASSERT_TRUE(WriteBytes(path, bytes));

    Store().FailNextPuts(2);
    DevServer::Fault cut;
    cut.closeWithoutAnswer = true;
    cut.remaining = 1;
    ASSERT_TRUE(server.Server().SetFault("PUT", "/pelbo-docs/*", cut));
    UploadRecorder events;
    unsigned long long id = 0;
    ASSERT_EQ(Start(Record(path, "docs/4/retry.doc"), id, &events), kStartedMultipart);
    EXPECT_EQ(events.WaitEnd(), kEndOk);
    EXPECT_EQ(Stored("docs/4/retry.doc"), bytes);
}

TEST_F(BucketputUpload, AStorageThatKeepsFailingEndsTheUploadAndAbortsIt)
{
    const std::string path = server.Dir().File("fail.doc");
    ASSERT_TRUE(WriteBytes(path, PatternBytes(900 << 10)));
    Store().FailNextPuts(-1);
    UploadRecorder events;
    unsigned long long id = 0;
    ASSERT_EQ(Start(Record(path, "docs/5/fail.doc"), id, &events), kStartedMultipart);
    EXPECT_EQ(events.WaitEnd(), kEndTransport);
    Store().FailNextPuts(0);
    for (int i = 0; i < 200 && Store().OpenMultipartUploads() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Store().OpenMultipartUploads(), 0u);

    // Connections cut on every try: the same end after the retries.
    DevServer::Fault cut;
    cut.closeMidResponse = true;
    ASSERT_TRUE(server.Server().SetFault("PUT", "/pelbo-docs/*", cut));
    UploadRecorder cutEvents;
    const std::string small = server.Dir().File("cut.doc");
    ASSERT_TRUE(WriteBytes(small, PatternBytes(4000)));
    ASSERT_EQ(Start(Record(small, "docs/5/cut.doc"), id, &cutEvents), kStartedSingle);
    EXPECT_EQ(cutEvents.WaitEnd(), kEndTransport);
    server.Server().ClearFaults();
}

TEST_F(BucketputUpload, StopEndsDeliveriesAndAbortsTheMultipartUpload)
{
    const std::string path = server.Dir().File("stop.doc");
    ASSERT_TRUE(WriteBytes(path, PatternBytes(2 << 20)));
    DevServer::Fault slow;
    slow.delayMs = 300;
    ASSERT_TRUE(server.Server().SetFault("PUT", "/pelbo-docs/*", slow));
    UploadRecorder events;
    unsigned long long id = 0;
    ASSERT_EQ(Start(Record(path, "docs/6/stop.doc"), id, &events), kStartedMultipart);
    for (int i = 0; i < 200 && Store().OpenMultipartUploads() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Stop(id);
    const size_t seen = events.ProgressEvents().size();
    for (int i = 0; i < 300 && Store().OpenMultipartUploads() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(Store().OpenMultipartUploads(), 0u);
    EXPECT_EQ(events.ProgressEvents().size(), seen);
    EXPECT_TRUE(events.Ends().empty());
    EXPECT_EQ(Stored("docs/6/stop.doc"), "<missing>");
    server.Server().ClearFaults();
}

TEST_F(BucketputUpload, AnEventMayStopItsOwnUploadFromItsCallback)
{
    const std::string path = server.Dir().File("self.doc");
    ASSERT_TRUE(WriteBytes(path, PatternBytes(2 << 20)));
    DevServer::Fault slow;
    slow.delayMs = 100;
    ASSERT_TRUE(server.Server().SetFault("PUT", "/pelbo-docs/*", slow));
    UploadRecorder events;
    unsigned long long id = 0;
    events.onEvent = [&events](int kind) {
        if (kind == kEventProgress)
            Stop(events.UploadId());
    };
    ASSERT_EQ(Start(Record(path, "docs/7/self.doc"), id, &events), kStartedMultipart);
    ASSERT_TRUE(events.WaitProgress());
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(events.ProgressEvents().size(), 1u);
    EXPECT_TRUE(events.Ends().empty());
    server.Server().ClearFaults();
}

TEST_F(BucketputUpload, StartRefusesWhatItCannotUpload)
{
    const std::string path = server.Dir().File("ok.pdf");
    ASSERT_TRUE(WriteBytes(path, "x"));
    UploadRecorder events;
    unsigned long long id = 0;
    EXPECT_EQ(Start(Record(server.Dir().File("missing.pdf"), "docs/8/m"), id, &events), kRefusedFile);
    EXPECT_EQ(Start(Record(server.Dir().Path().string(), "docs/8/dir"), id, &events), kRefusedFile);
    EXPECT_EQ(Start(Record(path, "docs/8/ok.pdf"), id, nullptr), kRefusedArgument);
    EXPECT_EQ(Start(Record(path, ""), id, &events), kRefusedArgument);
    EXPECT_EQ(Start(Record(path, "docs/8/ok.pdf", "ftp://host"), id, &events), kRefusedArgument);
    CFileObjExt file = Record(path, "docs/8/ok.pdf");
    file.strSecurityToken = L"a\r\nInjected: 1";
    EXPECT_EQ(Start(file, id, &events), kRefusedArgument);
    file = Record(path, "docs/8/ok.pdf");
    file.strAccessKeyId.clear();
    EXPECT_EQ(Start(file, id, &events), kRefusedArgument);
}

TEST_F(BucketputUpload, FileDeletedDuringUploadStillGoesUpWhole)
{
    const std::string bytes = PatternBytes(1 << 20, 11);
    const std::string path = server.Dir().File("gone.doc");
    ASSERT_TRUE(WriteBytes(path, bytes));
    UploadRecorder events;
    unsigned long long id = 0;
    ASSERT_EQ(Start(Record(path, "docs/9/gone.doc"), id, &events), kStartedMultipart);
    std::error_code removed;
    std::filesystem::remove(path, removed);
#if defined(_WIN32)
    // Windows refuses to delete a file the upload holds open.
    EXPECT_TRUE(removed);
#else
    EXPECT_FALSE(removed) << removed.message();
#endif
    EXPECT_EQ(events.WaitEnd(), kEndOk);
    EXPECT_EQ(Stored("docs/9/gone.doc"), bytes);
}

TEST_F(BucketputUpload, FileCutShortDuringUploadEndsWithTheFileCode)
{
    const std::string path = server.Dir().File("short.doc");
    ASSERT_TRUE(WriteBytes(path, PatternBytes(1 << 20)));
    UploadRecorder events;
    unsigned long long id = 0;
    // The parts are read only after the multipart upload was started at the
    // storage, so the file is already short by then.
    ASSERT_EQ(Start(Record(path, "docs/10/short.doc"), id, &events), kStartedMultipart);
    std::filesystem::resize_file(path, 1000);
    EXPECT_EQ(events.WaitEnd(), kEndFile);
    EXPECT_EQ(Stored("docs/10/short.doc"), "<missing>");
}

TEST(BucketputHttps, UploadsOverVerifiedTls)
{
    TestSupport::TestServer server(TestSupport::TestServer::Https());
    ASSERT_TRUE(server.Started()) << server.Error();
    Http::SetOssPathStyle(1);
    const std::string bytes = PatternBytes(20000);
    const std::string path = server.Dir().File("tls.pdf");
    ASSERT_TRUE(WriteBytes(path, bytes));
    const auto credentials = server.State().storage.Issue(ObjectStore::kDocsBucket, "docs/t/");
    CFileObjExt file;
    file.strLocalPath = W(path);
    file.strBucket = W(ObjectStore::kDocsBucket);
    file.strObjectPath = L"docs/t/tls.pdf";
    file.strAccessKeyId = W(credentials.accessKeyId);
    file.strAccessKeySecret = W(credentials.secret);
    file.strSecurityToken = W(credentials.token);
    file.strEndPoint = W("https://localhost:" + std::to_string(server.Server().Port()));
    file.nOption1 = 1;
    file.nOption2 = 1;

    // Without the server's CA the certificate is not trusted.
    Http::SetCaBundle(L"");
    UploadRecorder untrusted;
    unsigned long long id = 0;
    ASSERT_EQ(Start(file, id, &untrusted), kStartedSingle);
    EXPECT_EQ(untrusted.WaitEnd(), kEndTransport);

    Http::SetCaBundle(W(server.CaFile()).c_str());
    UploadRecorder trusted;
    ASSERT_EQ(Start(file, id, &trusted), kStartedSingle);
    EXPECT_EQ(trusted.WaitEnd(), kEndOk);
    EXPECT_EQ(server.State().storage.ObjectBytes(ObjectStore::kDocsBucket, "docs/t/tls.pdf").value_or(""), bytes);
    Http::ResetSettings();
}

}  // namespace

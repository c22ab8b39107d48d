// COssUploadMgr and COssUploadLogMgr: tickets through a stand-in HTTPS
// service, transfers through the real upload library into the local
// server's object storage.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <json/json.h>

#include "pelbo/corekit/FsPath.h"
#include "LocalObjectStore.h"
#include "UploadSinks.h"
#include "pelbo/bucketput/OssUpload.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/HttpSettings.h"
#include "devserver/ObjectStore.h"
#include "devserver/State.h"
#include "service/FakeHttpsService.h"
#include "service/LogCapture.h"
#include "support/TestServer.h"
#include "pelbo/transfers/OssUploadLogMgr.h"
#include "pelbo/transfers/OssUploadMgr.h"

namespace {

using DevServer::ObjectStore;

std::wstring W(const std::string& text) { return ToWide(text.c_str(), CP_UTF8); }
std::string N(const std::wstring& text) { return ToMultiByte(text.c_str(), CP_UTF8); }

Json::Value Parse(const std::wstring& text)
{
    Json::Value value;
    Json::Reader().parse(N(text), value);
    return value;
}

class UploadMgrTest : public ::testing::Test {
protected:
    static void TearDownTestSuite() { Util::OssUpload::Shutdown(); }

    void SetUp() override
    {
        LogCapture::UseTemporaryRoot();
        ASSERT_TRUE(server.Started()) << server.Error();
        UseLocalObjectStore(server.Server().Port());
    }

    void TearDown() override
    {
        Util::OssUpload::SetTuning(Util::OssUpload::CUploadTuning());
        Http::ResetSettings();
    }

    std::wstring MakeFile(const std::string& name, size_t size)
    {
        // The name is UTF-8: as a narrow path Windows would read it in its code page.
        const std::filesystem::path path = server.Dir().Path() / std::filesystem::u8path(name);
        std::ofstream out(path, std::ios::binary);
        for (size_t i = 0; i < size; ++i)
            out.put(static_cast<char>('a' + i % 23));
        return Corekit::FromFsPath(path);
    }

    // A ticket as the REST service answers it, with fresh credentials (also
    // handed back through issued).
    std::wstring DocumentTicket(const std::string& key, const std::string& code = "0",
                                ObjectStore::Credentials* issued = nullptr)
    {
        const auto credentials = server.State().storage.Issue(ObjectStore::kDocsBucket, key);
        if (issued != nullptr)
            *issued = credentials;
        Json::Value ticket;
        if (!code.empty())
            ticket["code"] = code;
        ticket["file_id"] = "9001";
        ticket["end_point"] = ObjectStore::kEndPoint;
        ticket["bucket"] = ObjectStore::kDocsBucket;
        ticket["path"] = key;
        ticket["file_url"] = "http://files.example/" + key;
        Json::Value& c = ticket["assume_role_response"]["Credentials"];
        c["AccessKeyId"] = " " + credentials.accessKeyId + "\n";
        c["AccessKeySecret"] = "\t" + credentials.secret;
        c["SecurityToken"] = credentials.token + "  ";
        return W(Json::FastWriter().write(ticket));
    }

    std::wstring LogTicket(const std::string& key)
    {
        const auto credentials = server.State().storage.Issue(ObjectStore::kLogsBucket, key);
        Json::Value ticket;
        ticket["code"] = 0;
        ticket["file_id"] = 8001;
        ticket["end_point"] = ObjectStore::kEndPoint;
        ticket["bucket"] = ObjectStore::kLogsBucket;
        ticket["path"] = key;
        ticket["file_url"] = "http://files.example/" + key;
        ticket["credential"]["access_key_id"] = credentials.accessKeyId;
        ticket["credential"]["access_key_secret"] = credentials.secret;
        ticket["credential"]["security_token"] = credentials.token;
        return W(Json::FastWriter().write(ticket));
    }

    TestSupport::TestServer server;
    FakeHttpsService https;
    SinkLog log;
};

TEST_F(UploadMgrTest, TicketRequestDescribesTheDocument)
{
    COssUploadMgr mgr;
    const std::wstring notes = MakeFile("notes.docx", 1234);
    ASSERT_NE(mgr.GetUploadInfo(42, notes, "tok-A"), 0);
    const std::wstring report = MakeFile("Report.PDF", 10);
    ASSERT_NE(mgr.GetUploadInfo(42, report, "tok-A"), 0);

    const auto sent = https.SentRequests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].info.strUrl, Http::GetHttpUrlHead().str() + L"/v1/account/ramupload");
    EXPECT_EQ(sent[0].info.nMethod, 1);
    EXPECT_EQ(sent[0].info.nOption1, 3);
    EXPECT_EQ(sent[0].info.mapHeaders.at("token"), "tok-A");
    const Json::Value body = Parse(sent[0].info.strContent);
    EXPECT_EQ(body["name"].asString(), "notes.docx");
    EXPECT_EQ(body["size"].asString(), "1234");
    EXPECT_EQ(body["ext"].asString(), "docx");
    EXPECT_EQ(body["type"].asString(), "application/msword");
    EXPECT_EQ(body["user_id"].asUInt(), 42u);
    const Json::Value upper = Parse(sent[1].info.strContent);
    EXPECT_EQ(upper["ext"].asString(), "PDF");
    EXPECT_EQ(upper["type"].asString(), "");
}

TEST_F(UploadMgrTest, ADocumentNamedBeyondAsciiIsDescribedWithItsSize)
{
    // The test programs run under the "C" locale, as a client that never
    // set one does.
    COssUploadMgr mgr;
    const std::wstring minutes = MakeFile("\xe4\xbc\x9a\xe8\xae\xae.pdf", 321);
    ASSERT_NE(mgr.GetUploadInfo(42, minutes, "tok-A"), 0);
    const auto sent = https.SentRequests();
    ASSERT_EQ(sent.size(), 1u);
    const Json::Value body = Parse(sent[0].info.strContent);
    EXPECT_EQ(body["name"].asString(), "\xe4\xbc\x9a\xe8\xae\xae.pdf");
    EXPECT_EQ(body["size"].asString(), "321");
}

TEST_F(UploadMgrTest, ContentTypesByExtension)
{
    EXPECT_EQ(Transfers::ContentTypeOf(L"pdf"), "application/pdf");
    EXPECT_EQ(Transfers::ContentTypeOf(L"pptx"), "application/vnd.ms-powerpoint");
    EXPECT_EQ(Transfers::ContentTypeOf(L"ppt"), "application/vnd.ms-powerpoint");
    EXPECT_EQ(Transfers::ContentTypeOf(L"doc"), "application/msword");
    EXPECT_EQ(Transfers::ContentTypeOf(L"jpeg"), "image/jpeg");
    EXPECT_EQ(Transfers::ContentTypeOf(L"jpg"), "image/jpeg");
    EXPECT_EQ(Transfers::ContentTypeOf(L"png"), "image/png");
    EXPECT_EQ(Transfers::ContentTypeOf(L"Png"), "");
    EXPECT_EQ(Transfers::ContentTypeOf(L"txt"), "");
    EXPECT_EQ(Transfers::ExtensionOf(L"C:\\a.b\\file"), L"");
    EXPECT_EQ(Transfers::ExtensionOf(L"/tmp/my file.pdf"), L"pdf");
    EXPECT_EQ(Transfers::ExtensionOf(L"/tmp/file.my doc"), L"");
    EXPECT_EQ(Transfers::FileNameOf(L"C:\\docs\\x/y.pdf"), L"x/y.pdf");
    EXPECT_EQ(Transfers::FileNameOf(L"/docs/y.pdf"), L"y.pdf");
}

TEST_F(UploadMgrTest, MissingEmptyOrRefusedPathsSendNothing)
{
    COssUploadMgr mgr;
    FileSink sink(log, "a");
    EXPECT_EQ(mgr.AddFile(L"", &sink), 1);
    EXPECT_EQ(mgr.AddFile(W(server.Dir().File("nope.pdf")), &sink), 1);
    EXPECT_TRUE(https.SentRequests().empty());
    https.accept = false;
    const std::wstring path = MakeFile("x.pdf", 5);
    EXPECT_EQ(mgr.AddFile(path, &sink), 1);
    EXPECT_FALSE(mgr.HasPath(path));
    https.accept = true;
    EXPECT_EQ(mgr.AddFile(path, &sink), 0);
}

TEST_F(UploadMgrTest, SinksJoinOneTicketAndHearEverythingInOrder)
{
    COssUploadMgr mgr;
    FileSink a(log, "a");
    FileSink b(log, "b");
    const std::wstring path = MakeFile("deck.pptx", 600 << 10);
    EXPECT_EQ(mgr.AddFile(path, &a), 0);
    EXPECT_EQ(mgr.AddFile(path, &a), 2);
    EXPECT_EQ(mgr.AddFile(path, &b), 0);
    EXPECT_EQ(mgr.AddFile(path, nullptr), 0);
    ASSERT_EQ(https.SentRequests().size(), 1u);

    ASSERT_TRUE(https.Deliver(0, DocumentTicket("docs/1/deck.pptx"), 1));
    ASSERT_TRUE(a.WaitResults(1));
    ASSERT_TRUE(b.WaitResults(1));
    for (FileSink* sink : {&a, &b}) {
        const auto result = sink->Results().at(0);
        EXPECT_EQ(result.code, 0);
        EXPECT_EQ(result.fileId, 9001u);
        EXPECT_EQ(result.path, path);
        EXPECT_EQ(result.url, L"http://files.example/docs/1/deck.pptx");
        EXPECT_GE(sink->ProgressCount(), 1);
        EXPECT_EQ(sink->LastSent(), 600u << 10);
        EXPECT_EQ(sink->LastTotal(), 600u << 10);
    }
    {
        std::lock_guard<std::mutex> lock(log.lock);
        for (size_t i = 0; i + 1 < log.order.size(); i += 2) {
            EXPECT_EQ(log.order[i][0], 'a');
            EXPECT_EQ(log.order[i + 1][0], 'b');
        }
    }
    EXPECT_EQ(server.State().storage.ObjectBytes(ObjectStore::kDocsBucket, "docs/1/deck.pptx")->size(), 600u << 10);
    EXPECT_FALSE(mgr.HasPath(path));
}

TEST_F(UploadMgrTest, UnusableTicketsTellEverySinkCode4)
{
    COssUploadMgr mgr;
    FileSink a(log, "a");
    FileSink b(log, "b");
    const std::wstring path = MakeFile("t.pdf", 100);
    const std::wstring answers[] = {
        L"{\"code\":\"1002\",\"message\":\"token invalid\"}",  // refused
        L"<html>gateway error</html>",                       // not JSON
        L"{\"code\":0}",                                     // no usable answer (flag 0)
    };
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(mgr.AddFile(path, &a), 0);
        ASSERT_EQ(mgr.AddFile(path, &b), 0);
        ASSERT_TRUE(https.Deliver(i, answers[i], i == 2 ? 0 : 1));
        ASSERT_TRUE(a.WaitResults(i + 1));
        ASSERT_TRUE(b.WaitResults(i + 1));
        for (FileSink* sink : {&a, &b}) {
            const auto result = sink->Results().at(i);
            EXPECT_EQ(result.code, 4) << i;
            EXPECT_EQ(result.fileId, 0u);
            EXPECT_TRUE(result.url.empty());
        }
        EXPECT_FALSE(mgr.HasPath(path));
    }
    // Results of unknown identifiers change nothing.
    ASSERT_EQ(mgr.AddFile(path, &a), 0);
    ASSERT_TRUE(https.DeliverAs(3, 5555, L"{\"code\":1}", 1));
    EXPECT_TRUE(mgr.HasPath(path));
}

TEST_F(UploadMgrTest, TicketWithoutCodeStartsAndARefusedStartTellsCode3)
{
    COssUploadMgr mgr;
    FileSink a(log, "a");
    const std::wstring path = MakeFile("nocode.png", 1000);
    ASSERT_EQ(mgr.AddFile(path, &a), 0);
    ASSERT_TRUE(https.Deliver(0, DocumentTicket("docs/2/nocode.png", ""), 1));
    ASSERT_TRUE(a.WaitResults(1));
    EXPECT_EQ(a.Results()[0].code, 0);

    // A ticket without bucket or path cannot start a transfer.
    ASSERT_EQ(mgr.AddFile(path, &a), 0);
    ASSERT_TRUE(https.Deliver(1, L"{\"code\":0,\"file_id\":\"5\"}", 1));
    ASSERT_TRUE(a.WaitResults(2));
    EXPECT_EQ(a.Results()[1].code, 3);
    EXPECT_EQ(a.Results()[1].fileId, 0u);
    EXPECT_FALSE(mgr.HasPath(path));
}

TEST_F(UploadMgrTest, StorageRefusalIsCode3AndLogsHideCredentials)
{
    LogCapture capture;
    COssUploadMgr mgr;
    FileSink a(log, "a");
    const std::wstring path = MakeFile("secret.doc", 2000);
    server.State().storage.SetIssueWrongSecret(true);
    ASSERT_EQ(mgr.AddFile(path, &a), 0);
    ObjectStore::Credentials issued;
    const std::wstring ticket = DocumentTicket("docs/3/secret.doc", "0", &issued);
    server.State().storage.SetIssueWrongSecret(false);
    ASSERT_TRUE(https.Deliver(0, ticket, 1));
    ASSERT_TRUE(a.WaitResults(1));
    EXPECT_EQ(a.Results()[0].code, 3);
    EXPECT_EQ(a.Results()[0].fileId, 0u);
    EXPECT_TRUE(a.Results()[0].url.empty());

    const std::string text = capture.Text();
    EXPECT_NE(text.find("GetUploadInfo:uUserID="), std::string::npos);
    EXPECT_NE(text.find("OnHttpsReqResult:FileID=9001,FileUrl=http://files.example/docs/3/secret.doc"),
              std::string::npos);
    EXPECT_NE(text.find("OnHttpsReqResult:OssUpload::Start FileID=9001,Code=0"), std::string::npos);
    EXPECT_NE(text.find("OnFileEvent:OssUploadResult FileID=0,Code=2"), std::string::npos);
    // The values as the storage issued them, before the ticket wrapped them
    // in white space.
    for (const std::string& secret : {issued.secret, issued.token}) {
        ASSERT_GE(secret.size(), 8u);
        EXPECT_EQ(text.find(secret), std::string::npos) << secret;
    }
}

TEST_F(UploadMgrTest, StopWithNullSinkStopsTheTransferSilently)
{
    COssUploadMgr mgr;
    FileSink a(log, "a");
    FileSink b(log, "b");
    DevServer::Fault slow;
    slow.delayMs = 300;
    ASSERT_TRUE(server.Server().SetFault("PUT", "/pelbo-docs/*", slow));
    const std::wstring path = MakeFile("long.pdf", 1 << 20);
    ASSERT_EQ(mgr.AddFile(path, &a), 0);
    ASSERT_EQ(mgr.AddFile(path, &b), 0);
    ASSERT_TRUE(https.Deliver(0, DocumentTicket("docs/4/long.pdf"), 1));
    EXPECT_TRUE(mgr.IsTransferring(path));
    mgr.StopFile(path, nullptr);
    EXPECT_FALSE(mgr.HasPath(path));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_TRUE(a.Results().empty());
    EXPECT_TRUE(b.Results().empty());
    for (int i = 0; i < 200 && server.State().storage.OpenMultipartUploads() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(server.State().storage.OpenMultipartUploads(), 0u);
    server.Server().ClearFaults();
}

TEST_F(UploadMgrTest, StopForOneOfTwoSinksLetsTheOtherHear)
{
    COssUploadMgr mgr;
    FileSink a(log, "a");
    FileSink b(log, "b");
    DevServer::Fault slow;
    slow.delayMs = 150;
    ASSERT_TRUE(server.Server().SetFault("PUT", "/pelbo-docs/*", slow));
    const std::wstring path = MakeFile("two.pdf", 300 << 10);
    ASSERT_EQ(mgr.AddFile(path, &a), 0);
    ASSERT_EQ(mgr.AddFile(path, &b), 0);
    ASSERT_TRUE(https.Deliver(0, DocumentTicket("docs/5/two.pdf"), 1));
    mgr.StopFile(path, &a);
    mgr.StopFile(path, &a);  // not in the list any more: nothing happens
    EXPECT_TRUE(mgr.IsTransferring(path));
    ASSERT_TRUE(b.WaitResults(1));
    EXPECT_EQ(b.Results()[0].code, 0);
    EXPECT_TRUE(a.Results().empty());
    server.Server().ClearFaults();
}

TEST_F(UploadMgrTest, StopWhileWaitingForTheTicketSendsNothing)
{
    COssUploadMgr mgr;
    FileSink a(log, "a");
    FileSink b(log, "b");
    FileSink c(log, "c");
    const std::wstring one = MakeFile("wait.pdf", 500);
    const std::wstring two = MakeFile("wait2.pdf", 500);
    ASSERT_EQ(mgr.AddFile(one, &a), 0);
    mgr.StopFile(one, &a);
    EXPECT_FALSE(mgr.HasPath(one));
    ASSERT_EQ(mgr.AddFile(two, &b), 0);
    mgr.StopAll();
    EXPECT_EQ(mgr.PendingTickets(), 0u);

    // Added again after the stop: a ticket of its own, and only that one
    // starts an upload, heard once.
    ASSERT_EQ(mgr.AddFile(one, &c), 0);
    ASSERT_EQ(https.SentRequests().size(), 3u);
    ASSERT_TRUE(https.Deliver(0, DocumentTicket("docs/6/stale.pdf"), 1));
    ASSERT_TRUE(https.Deliver(1, DocumentTicket("docs/6/wait2.pdf"), 1));
    ASSERT_TRUE(https.Deliver(2, DocumentTicket("docs/6/wait.pdf"), 1));
    ASSERT_TRUE(c.WaitResults(1));
    EXPECT_EQ(c.Results()[0].code, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(c.Results().size(), 1u);
    EXPECT_TRUE(a.Results().empty());
    EXPECT_TRUE(b.Results().empty());
    EXPECT_TRUE(server.State().storage.ObjectBytes(ObjectStore::kDocsBucket, "docs/6/wait.pdf").has_value());
    EXPECT_FALSE(server.State().storage.ObjectBytes(ObjectStore::kDocsBucket, "docs/6/stale.pdf").has_value());
    EXPECT_FALSE(server.State().storage.ObjectBytes(ObjectStore::kDocsBucket, "docs/6/wait2.pdf").has_value());
}

TEST_F(UploadMgrTest, ASinkMayStopAndAddTheFileAgainFromItsResult)
{
    COssUploadMgr mgr;
    FileSink a(log, "a");
    FileSink again(log, "again");
    const std::wstring path = MakeFile("again.pdf", 100);
    a.onResult = [&](int) {
        mgr.StopFile(path, nullptr);
        EXPECT_EQ(mgr.AddFile(path, &again), 0);
    };
    ASSERT_EQ(mgr.AddFile(path, &a), 0);
    ASSERT_TRUE(https.Deliver(0, L"{\"code\":\"7\"}", 1));
    ASSERT_TRUE(a.WaitResults(1));
    // The new upload survives the end of the walk that started it.
    EXPECT_TRUE(mgr.HasPath(path));
    ASSERT_EQ(https.SentRequests().size(), 2u);
    ASSERT_TRUE(https.Deliver(1, DocumentTicket("docs/7/again.pdf"), 1));
    ASSERT_TRUE(again.WaitResults(1));
    EXPECT_EQ(again.Results()[0].code, 0);
}

TEST_F(UploadMgrTest, AFileAddedAgainOnAnotherThreadWhileItsResultIsReportedStartsAnew)
{
    // Outlives the manager and the sinks, whose calls may still be returning.
    std::promise<void> added;
    std::shared_future<void> addedDone = added.get_future().share();
    COssUploadMgr mgr;
    FileSink a(log, "a");
    FileSink b(log, "b");
    const std::wstring path = MakeFile("readd.pdf", 100);
    // a holds the walk of its result until the caller has added the file again.
    a.onResult = [&addedDone](int) { addedDone.wait(); };
    ASSERT_EQ(mgr.AddFile(path, &a), 0);
    ASSERT_EQ(mgr.AddFile(path, &b), 0);
    std::thread ticket([this] { https.Deliver(0, L"{\"code\":\"7\"}", 1); });
    const bool heard = a.WaitResults(1);
    const int again = heard ? mgr.AddFile(path, &a) : -1;
    added.set_value();
    ticket.join();
    ASSERT_TRUE(heard);
    EXPECT_EQ(again, 0);
    // b, of the ending list, still hears that result; the new upload survives it.
    ASSERT_EQ(b.Results().size(), 1u);
    EXPECT_EQ(b.Results()[0].code, 4);
    EXPECT_TRUE(mgr.HasPath(path));
    ASSERT_EQ(https.SentRequests().size(), 2u);
    ASSERT_TRUE(https.Deliver(1, DocumentTicket("docs/9/readd.pdf"), 1));
    ASSERT_TRUE(a.WaitResults(2));
    EXPECT_EQ(a.Results()[1].code, 0);
    EXPECT_EQ(b.Results().size(), 1u);
}

// A manager whose ticket answer takes a while to read: the test stops the
// file and adds it again meanwhile, as another thread may. Each hook runs
// once, in the window between the ticket leaving the ticket map and its
// failure being reported.
class SlowReadingMgr : public COssUploadMgr {
public:
    ~SlowReadingMgr() override { Shutdown(); }
    // While a failed ticket is read.
    mutable std::function<void()> whileFailedTicketIsRead;
    // After the upload library refused to start the ticket's transfer.
    std::function<void()> afterRefusedStart;

private:
    int TicketFailureCode() const override
    {
        RunOnce(whileFailedTicketIsRead);
        return 4;
    }
    void OnStartReturned(const Transfers::TicketFields&, unsigned) override { RunOnce(afterRefusedStart); }
    static void RunOnce(std::function<void()>& hook)
    {
        std::function<void()> run;
        run.swap(hook);
        if (run)
            run();
    }
};

TEST_F(UploadMgrTest, AnOldTicketsFailureDoesNotReachTheFileAddedAgain)
{
    SlowReadingMgr mgr;
    FileSink a(log, "a");
    FileSink b(log, "b");
    FileSink c(log, "c");
    FileSink d(log, "d");
    const std::wstring path = MakeFile("readd4.pdf", 100);

    // Refused ticket (code 4).
    ASSERT_EQ(mgr.AddFile(path, &a), 0);
    mgr.whileFailedTicketIsRead = [&] {
        mgr.StopFile(path, &a);
        EXPECT_EQ(mgr.AddFile(path, &b), 0);
    };
    ASSERT_TRUE(https.Deliver(0, L"{\"code\":\"7\"}", 1));
    EXPECT_FALSE(mgr.whileFailedTicketIsRead);
    EXPECT_TRUE(a.Results().empty()) << "a stopped the file";
    EXPECT_TRUE(b.Results().empty()) << "the old ticket's failure is not b's upload's";
    ASSERT_TRUE(mgr.HasPath(path));
    ASSERT_EQ(https.SentRequests().size(), 2u);
    ASSERT_TRUE(https.Deliver(1, DocumentTicket("docs/10/readd4.pdf"), 1));
    ASSERT_TRUE(b.WaitResults(1));
    EXPECT_EQ(b.Results()[0].code, 0);

    // A ticket whose transfer the upload library refuses (code 3).
    ASSERT_EQ(mgr.AddFile(path, &c), 0);
    mgr.afterRefusedStart = [&] {
        mgr.StopFile(path, &c);
        EXPECT_EQ(mgr.AddFile(path, &d), 0);
    };
    ASSERT_TRUE(https.Deliver(2, L"{\"code\":0,\"file_id\":\"5\"}", 1));
    EXPECT_FALSE(mgr.afterRefusedStart);
    EXPECT_TRUE(c.Results().empty());
    EXPECT_TRUE(d.Results().empty());
    ASSERT_TRUE(mgr.HasPath(path));
    ASSERT_EQ(https.SentRequests().size(), 4u);
    ASSERT_TRUE(https.Deliver(3, DocumentTicket("docs/11/readd4.pdf"), 1));
    ASSERT_TRUE(d.WaitResults(1));
    EXPECT_EQ(d.Results()[0].code, 0);
    EXPECT_EQ(b.Results().size(), 1u);
}

TEST_F(UploadMgrTest, FileDeletedDuringItsUploadStillArrives)
{
    COssUploadMgr mgr;
    FileSink a(log, "a");
    const std::wstring path = MakeFile("vanish.pdf", 700 << 10);
    ASSERT_EQ(mgr.AddFile(path, &a), 0);
    ASSERT_TRUE(https.Deliver(0, DocumentTicket("docs/8/vanish.pdf"), 1));
    std::error_code removed;
    std::filesystem::remove(std::filesystem::path(path), removed);
#if defined(_WIN32)
    // Windows refuses to delete a file the upload holds open.
    EXPECT_TRUE(removed);
#else
    EXPECT_FALSE(removed) << removed.message();
#endif
    ASSERT_TRUE(a.WaitResults(1));
    EXPECT_EQ(a.Results()[0].code, 0);
    EXPECT_EQ(server.State().storage.ObjectBytes(ObjectStore::kDocsBucket, "docs/8/vanish.pdf")->size(), 700u << 10);
}

TEST_F(UploadMgrTest, ManyFilesFromTwoThreads)
{
    COssUploadMgr mgr;
    FileSink a(log, "a");
    constexpr size_t kFiles = 12;
    std::vector<std::wstring> paths;
    for (size_t i = 0; i < kFiles; ++i)
        paths.push_back(MakeFile("many" + std::to_string(i) + ".pdf", 10));
    std::thread adder([&] {
        for (const auto& path : paths)
            EXPECT_EQ(mgr.AddFile(path, &a), 0);
    });
    size_t delivered = 0;
    while (delivered < kFiles) {
        if (https.SentRequests().size() > delivered) {
            https.Deliver(delivered, L"{\"code\":3}", 1);
            ++delivered;
        } else {
            std::this_thread::yield();
        }
    }
    adder.join();
    ASSERT_TRUE(a.WaitResults(kFiles));
    for (const auto& result : a.Results())
        EXPECT_EQ(result.code, 4);
    EXPECT_EQ(mgr.PendingTickets(), 0u);
}

TEST_F(UploadMgrTest, LogTicketRequestAndCredentialLayout)
{
    LogCapture capture;
    COssUploadLogMgr mgr;
    LogSink a(log, "a");
    const std::wstring path = MakeFile("client.old.log", 4000);
    const std::wstring bare = MakeFile("README", 5);
    ASSERT_EQ(mgr.AddFile(path, &a), 0);
    ASSERT_EQ(mgr.AddFile(bare, nullptr), 0);
    const auto sent = https.SentRequests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].info.strUrl, Http::GetHttpUrlHead().str() + L"/v1/account/uploadlog");
    EXPECT_TRUE(sent[0].info.mapHeaders.empty());
    const Json::Value body = Parse(sent[0].info.strContent);
    EXPECT_EQ(body["name"].asString(), "client.old");
    EXPECT_EQ(body["ext"].asString(), "log");
    EXPECT_EQ(body.size(), 2u);
    const Json::Value bareBody = Parse(sent[1].info.strContent);
    EXPECT_EQ(bareBody["name"].asString(), "README");
    EXPECT_EQ(bareBody["ext"].asString(), "");

    ASSERT_TRUE(https.Deliver(0, LogTicket("logs/1/client.old.log"), 1));
    ASSERT_TRUE(a.WaitResults(1));
    EXPECT_EQ(a.Results()[0].code, 0);
    EXPECT_EQ(a.Results()[0].fileId, 8001u);
    EXPECT_EQ(server.State().storage.ObjectBytes(ObjectStore::kLogsBucket, "logs/1/client.old.log")->size(), 4000u);
    const std::string text = capture.Text();
    EXPECT_NE(text.find("GetUploadInfo:FilePath="), std::string::npos);
    EXPECT_NE(text.find("OnHttpsReqResult:OssUpload::Start FileID=8001,Code=0,FileUrl=http://files.example/logs/1/"),
              std::string::npos);
}

TEST_F(UploadMgrTest, LogTicketFailuresAreCode2)
{
    COssUploadLogMgr mgr;
    LogSink a(log, "a");
    const std::wstring path = MakeFile("x.log", 10);
    ASSERT_EQ(mgr.AddFile(path, &a), 0);
    ASSERT_EQ(mgr.AddFile(path, &a), 2);
    ASSERT_TRUE(https.Deliver(0, L"{\"code\":\"1\"}", 1));
    ASSERT_EQ(mgr.AddFile(path, &a), 0);
    ASSERT_TRUE(https.Deliver(1, L"not json at all", 1));
    ASSERT_TRUE(a.WaitResults(2));
    EXPECT_EQ(a.Results()[0].code, 2);
    EXPECT_EQ(a.Results()[1].code, 2);
    EXPECT_EQ(mgr.AddFile(L"", &a), 1);
}

}  // namespace

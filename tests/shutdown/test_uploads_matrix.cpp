// The shutdown matrix of the two upload families against the local server:
// documents and logs go up together while a second thread and the sinks
// (from their progress and their results) stop one sink, one path, every
// upload of a family, the family, or everything through Aux::Core::DoExit.
// Tickets and transfers are slowed down in some rounds, so the stops fall
// while a file waits for its ticket, while it is sent and while its
// progress is told. A sink a stop let go (outside any callback) must hear
// nothing more once the stop returned; the sinks live until the end of the
// test and go only after the final exits from this thread.

#include <chrono>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ShutdownMatrix.h"
#include "pelbo/account/UserCache.h"
#include "pelbo/bucketput/OssUpload.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/core/CallOut.h"
#include "pelbo/core/CoreApi.h"
#include "pelbo/corekit/HttpSettings.h"
#include "devserver/State.h"
#include "pelbo/netcall/HttpsRequest.h"
#include "support/HangWatchdog.h"
#include "support/TestServer.h"
#include "pelbo/transfers/OssUploadApi.h"
#include "pelbo/transfers/OssUploadLogApi.h"
#include "uploads/LocalObjectStore.h"

namespace {

const char kDocuments[] = "documents";
const char kLogs[] = "logs";
const char kUpload[] = "upload";

constexpr int kRounds = 8;
constexpr unsigned kSinkStops = 15;
constexpr unsigned kSinkBusy = 40;

std::wstring W(const std::string& text) { return ToWide(text.c_str(), CP_UTF8); }

class UploadsMatrix;

// One request: a sink of its own for one path of one family.
struct Upload {
    const char* family;
    CStringW path;
    std::string tag;
    ShutdownMatrix::Id id;
    void* sink;
};

template <typename Interface>
class MatrixSink : public Interface {
public:
    MatrixSink(UploadsMatrix& owner, const char* family, CStringW path) : m_owner(owner), m_family(family), m_path(path)
    {
    }
    virtual ~MatrixSink() = default;

    std::string Tag() const { return std::to_string(reinterpret_cast<uintptr_t>(this)); }

    void OnUploadProgress(unsigned long long, CStringW path, unsigned long long, unsigned long long,
                          unsigned long long) override;
    void OnUploadResult(int, unsigned long long, CStringW path, CStringW) override;

private:
    UploadsMatrix& m_owner;
    const char* m_family;
    const CStringW m_path;
};

using DocumentSink = MatrixSink<OssUploadApi::IUploadFileSink>;
using LogSink = MatrixSink<OssUploadLogApi::IUploadLogSink>;

class UploadsMatrix : public ::testing::TestWithParam<uint32_t> {
public:
    // choice picks the stop; silent where the stop waits for the sinks' calls
    // on other threads, which it does outside any callback of the library.
    void StopAtRandom(uint32_t choice)
    {
        const bool waits = !Frame::CCallOut::Inside();
        const uint32_t what = choice % 16;
        if (what == 0) {
            const ShutdownMatrix::Stop stop(*matrix, "Aux::Core::DoExit", ShutdownMatrix::Scope::Everything(), waits);
            Aux::Core::DoExit();
            return;
        }
        const bool documents = (choice / 16) % 2 == 0;
        const char* family = documents ? kDocuments : kLogs;
        if (what <= 2) {
            const ShutdownMatrix::Stop stop(*matrix, std::string(family) + " DoExit",
                                            ShutdownMatrix::Scope::Family(family), waits);
            documents ? OssUploadApi::DoExit() : OssUploadLogApi::DoExit();
            return;
        }
        if (what <= 4) {
            const ShutdownMatrix::Stop stop(*matrix, std::string(family) + " StopAll",
                                            ShutdownMatrix::Scope::Family(family), waits);
            documents ? OssUploadApi::StopAllUploadFile() : OssUploadLogApi::StopAllUploadLog();
            return;
        }
        Upload upload;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_uploads.empty())
                return;
            upload = m_uploads[(choice / 32) % m_uploads.size()];
        }
        if (what <= 7) {
            // A null sink: every sink of the path.
            const ShutdownMatrix::Stop stop(*matrix, std::string(upload.family) + " stop of a path",
                                            ShutdownMatrix::Scope::Group(upload.family, N(upload.path)), waits);
            StopPath(upload, nullptr);
            return;
        }
        const ShutdownMatrix::Stop stop(*matrix, std::string(upload.family) + " stop of a sink",
                                        ShutdownMatrix::Scope::Request(upload.family, upload.id), waits);
        StopPath(upload, upload.sink);
    }

    // A sink's own work now and then takes a moment (a window being
    // updated), so that stops on other threads meet calls under way.
    void MaybeStop()
    {
        if (matrix->Chance(kSinkBusy))
            std::this_thread::sleep_for(std::chrono::milliseconds(2 + matrix->Draw(4)));
        if (matrix->Chance(kSinkStops))
            StopAtRandom(matrix->Draw(1u << 20));
    }

    std::unique_ptr<ShutdownMatrix> matrix;

protected:
    static void TearDownTestSuite()
    {
        Util::OssUpload::Shutdown();
        Util::HttpsRequest::Shutdown();
    }

    void SetUp() override
    {
        ASSERT_TRUE(server.Started()) << server.Error();
        Http::SetHttpUrlHead(W(server.BaseUrl()).c_str());
        UseLocalObjectStore(server.Server().Port());
        // Few paths, so that several sinks wait for one file.
        paths.push_back(MakeFile("notes.txt", 3000));
        paths.push_back(MakeFile("slides.pptx", 400 << 10));
    }

    void TearDown() override
    {
        Aux::Core::DoExit();
        Util::OssUpload::SetTuning(Util::OssUpload::CUploadTuning());
        Http::ResetSettings();
        server.Server().ClearFaults();
    }

    static std::string N(const CStringW& text) { return ToMultiByte(text.GetString(), CP_UTF8); }

    CStringW MakeFile(const std::string& name, size_t size)
    {
        std::ofstream(server.Dir().File(name), std::ios::binary) << std::string(size, 'x');
        return CStringW(W(server.Dir().File(name)));
    }

    void SignIn()
    {
        // Aux::Core::DoExit forgets the user: each round signs in again.
        Aux::UserCache::SetUserID(17, 1);
        Aux::UserCache::SetToken(CStringW(W(server.State().IssueToken(17).token)));
    }

    // Slows the tickets, the transfers, both or neither for the round.
    void SlowDown(std::mt19937& random)
    {
        server.Server().ClearFaults();
        DevServer::Fault slow;
        slow.delayMs = 15;
        if (random() % 2 == 0) {
            ASSERT_TRUE(server.Server().SetFault("POST", "/v1/account/ramupload", slow));
            ASSERT_TRUE(server.Server().SetFault("POST", "/v1/account/uploadlog", slow));
        }
        if (random() % 2 == 0) {
            ASSERT_TRUE(server.Server().SetFault("PUT", "/pelbo-docs/*", slow));
            ASSERT_TRUE(server.Server().SetFault("PUT", "/pelbo-logs/*", slow));
        }
    }

    void Add(const char* family, const CStringW& path)
    {
        const bool documents = std::string(family) == kDocuments;
        void* sink = nullptr;
        std::string tag;
        if (documents) {
            documentSinks.push_back(std::make_unique<DocumentSink>(*this, family, path));
            sink = documentSinks.back().get();
            tag = documentSinks.back()->Tag();
        } else {
            logSinks.push_back(std::make_unique<LogSink>(*this, family, path));
            sink = logSinks.back().get();
            tag = logSinks.back()->Tag();
        }
        const ShutdownMatrix::Id id = matrix->Issue(family, kUpload, tag, N(path));
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_uploads.push_back(Upload{family, path, tag, id, sink});
        }
        const int added = documents ? OssUploadApi::AddUpLoadFile(path, static_cast<DocumentSink*>(sink))
                                    : OssUploadLogApi::AddUploadLog(path, static_cast<LogSink*>(sink));
        // 2 (this sink waits already) cannot happen to a sink of its own.
        EXPECT_NE(added, 2);
        if (added != 0)
            matrix->Withdraw(id);
    }

    void StopPath(const Upload& upload, void* sink)
    {
        if (std::string(upload.family) == kDocuments)
            OssUploadApi::StopUploadFile(upload.path, static_cast<DocumentSink*>(sink));
        else
            OssUploadLogApi::StopUploadLog(upload.path, static_cast<LogSink*>(sink));
    }

    TestSupport::TestServer server{TestSupport::TestServer::Http()};
    std::vector<CStringW> paths;
    // Every sink lives until the end of the test.
    std::deque<std::unique_ptr<DocumentSink>> documentSinks;
    std::deque<std::unique_ptr<LogSink>> logSinks;

private:
    std::mutex m_lock;
    std::vector<Upload> m_uploads;
};

template <typename Interface>
void MatrixSink<Interface>::OnUploadProgress(unsigned long long, CStringW path, unsigned long long,
                                             unsigned long long, unsigned long long)
{
    EXPECT_EQ(path, m_path);
    m_owner.matrix->Heard(m_family, kUpload, Tag());
    m_owner.MaybeStop();
}

template <typename Interface>
void MatrixSink<Interface>::OnUploadResult(int, unsigned long long, CStringW path, CStringW)
{
    EXPECT_EQ(path, m_path);
    m_owner.matrix->Report(m_family, kUpload, Tag());
    m_owner.MaybeStop();
}

TEST_P(UploadsMatrix, DocumentsAndLogs)
{
    matrix = std::make_unique<ShutdownMatrix>("uploads", GetParam());
    std::mt19937 random = matrix->Stream(1u << 21);
    matrix->RunRounds(
        kRounds,
        [&](int) {
            SignIn();
            SlowDown(random);
            const uint32_t adds = 4 + random() % 5;
            for (uint32_t i = 0; i < adds; ++i) {
                const CStringW& path = paths[random() % paths.size()];
                Add(random() % 2 == 0 ? kDocuments : kLogs, path);
                std::this_thread::sleep_for(std::chrono::milliseconds(random() % 10));
            }
        },
        [this](std::mt19937& stopper) { StopAtRandom(stopper()); });
    {
        const TestSupport::HangWatchdog watchdog(matrix->Where() + " final exit");
        const ShutdownMatrix::Stop stop(*matrix, "the final exits", ShutdownMatrix::Scope::Everything(), true);
        OssUploadApi::DoExit();
        OssUploadLogApi::DoExit();
        Aux::Core::DoExit();
    }
    matrix->Check();
    documentSinks.clear();
    logSinks.clear();
}

INSTANTIATE_TEST_SUITE_P(Shutdown, UploadsMatrix, ::testing::Values(101u, 202u, 303u, 404u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                             return "seed_" + std::to_string(info.param);
                         });

}  // namespace

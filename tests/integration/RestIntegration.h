#pragma once
// The fixture of the REST families' integration tests: libService against
// the local server over HTTPS, with a data root of its own per suite, a
// token for user 42, and Call to send a request and take its result.

#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "pelbo/compat/TextConvert.h"
#include "pelbo/core/CoreApi.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Path.h"
#include "devserver/State.h"
#include "meetings/RecordDump.h"
#include "pelbo/netcall/HttpsRequest.h"
#include "support/TempDir.h"
#include "support/TestServer.h"

class RestIntegration : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_root = std::make_unique<TestSupport::TempDir>();
        Util::Path::SetRootFolder(s_root->Path().wstring().c_str());
    }
    static void TearDownTestSuite()
    {
        Util::HttpsRequest::Shutdown();
        s_root.reset();
    }

    void SetUp() override
    {
        ASSERT_TRUE(server.Started()) << server.Error();
        Http::SetCaBundle(ToWide(server.CaFile().c_str(), CP_UTF8).c_str());
        Http::SetHttpUrlHead(ToWide(server.BaseUrl().c_str(), CP_UTF8).c_str());
        token = ToWide(server.State().IssueToken(42).token.c_str(), CP_UTF8);
    }

    void TearDown() override
    {
        Aux::Core::DoExit();
        Http::ResetSettings();
    }

    // Sends with send(), waits for the next result and checks its kind.
    RecordDump::Result Call(unsigned kind, const std::function<int()>& send)
    {
        // Counted before sending: the result may arrive before send returns.
        const size_t before = events.Results().size();
        EXPECT_NE(send(), 0);
        EXPECT_TRUE(events.WaitForResults(before + 1));
        const auto results = events.Results();
        if (results.size() <= before)
            return RecordDump::Result();
        EXPECT_EQ(results[before].kind, kind);
        return results[before];
    }

    static inline std::unique_ptr<TestSupport::TempDir> s_root;
    TestSupport::TestServer server{TestSupport::TestServer::Https()};
    RecordDump events;
    std::wstring token;
};

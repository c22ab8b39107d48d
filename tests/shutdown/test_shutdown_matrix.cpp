// The ledger of the shutdown matrix is the matrix's only judge: each kind of
// fault it exists to catch must turn into a failure, and what the library
// may do must not.

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <vector>

#include "ShutdownMatrix.h"

namespace {

using Scope = ShutdownMatrix::Scope;

TEST(ShutdownLedger, ReportedOnceIsSettledAndSilent)
{
    ShutdownMatrix matrix("ledger", 1);
    matrix.Issue("f", "k", "a");
    EXPECT_FALSE(matrix.Settled());
    EXPECT_EQ(matrix.Outstanding(), "f k 'a' (#1)");
    matrix.Report("f", "k", "a");
    EXPECT_TRUE(matrix.Settled());
    EXPECT_EQ(matrix.Outstanding(), "");
    matrix.Check();
}

TEST(ShutdownLedger, SecondReportIsAFault)
{
    ShutdownMatrix matrix("ledger", 1);
    matrix.Issue("f", "k", "a");
    matrix.Report("f", "k", "a");
    matrix.Report("f", "k", "a");
    EXPECT_NONFATAL_FAILURE(matrix.Check(), "reported 2 times: f k 'a'");
}

TEST(ShutdownLedger, ReportOfNothingAskedIsAFault)
{
    ShutdownMatrix matrix("ledger", 1);
    matrix.Issue("f", "k", "a");
    matrix.Report("f", "k", "b");
    EXPECT_NONFATAL_FAILURE(matrix.Check(), "a report of no request: f k 'b'");
    matrix.Report("f", "untagged", "");
    EXPECT_NONFATAL_FAILURE(matrix.Check(), "a report of no request: f untagged");
}

TEST(ShutdownLedger, RefusedRequestMayNotBeReported)
{
    ShutdownMatrix matrix("ledger", 1);
    const ShutdownMatrix::Id id = matrix.Issue("f", "k", "a");
    matrix.Withdraw(id);
    EXPECT_TRUE(matrix.Settled());
    matrix.Report("f", "k", "a");
    EXPECT_NONFATAL_FAILURE(matrix.Check(), "reported although its call refused it");
}

// A stop under way, or one that began before the report, frees a request
// from its report; it is settled once the stop has ended.
TEST(ShutdownLedger, StoppedRequestOwesNoReport)
{
    ShutdownMatrix matrix("ledger", 1);
    matrix.Issue("f", "k", "before");
    {
        const ShutdownMatrix::Stop stop(matrix, "exit", Scope::Family("f"), false);
        matrix.Issue("f", "k", "during");
        EXPECT_FALSE(matrix.Settled()) << "settled while the stop runs";
        EXPECT_EQ(matrix.Outstanding(), "");
    }
    EXPECT_TRUE(matrix.Settled());
    matrix.Issue("other", "k", "untouched");
    matrix.Issue("f", "k", "after");
    EXPECT_EQ(matrix.Outstanding(), "other k 'untouched' (#4), f k 'after' (#5)");
    // A late report of a stopped request is allowed, once.
    matrix.Report("f", "k", "before");
    matrix.Check();
}

TEST(ShutdownLedger, ScopesEndGroupsAndSingleRequests)
{
    ShutdownMatrix matrix("ledger", 1);
    const ShutdownMatrix::Id one = matrix.Issue("f", "k", "a", "path-1");
    matrix.Issue("f", "k", "b", "path-1");
    matrix.Issue("f", "k", "c", "path-2");
    { const ShutdownMatrix::Stop stop(matrix, "stop of a path", Scope::Group("f", "path-2"), false); }
    EXPECT_EQ(matrix.Outstanding(), "f k 'a' (#1), f k 'b' (#2)");
    { const ShutdownMatrix::Stop stop(matrix, "stop of a sink", Scope::Request("f", one), false); }
    EXPECT_EQ(matrix.Outstanding(), "f k 'b' (#2)");
    { const ShutdownMatrix::Stop stop(matrix, "everything", Scope::Everything(), false); }
    EXPECT_TRUE(matrix.Settled());
    matrix.Check();
}

TEST(ShutdownLedger, CallAfterASilencingStopReturnedIsAFault)
{
    ShutdownMatrix matrix("ledger", 1);
    matrix.Issue("f", "upload", "sink-1");
    matrix.Issue("f", "upload", "sink-2");
    {
        const ShutdownMatrix::Stop stop(matrix, "StopUploadFile", Scope::Request("f", 1), true);
        // While the stop runs, a call of the sink may still be under way.
        matrix.Heard("f", "upload", "sink-1");
    }
    matrix.Check();
    matrix.Heard("f", "upload", "sink-1");
    EXPECT_NONFATAL_FAILURE(matrix.Check(), "called after StopUploadFile returned: f upload 'sink-1'");
    matrix.Report("f", "upload", "sink-1");
    EXPECT_NONFATAL_FAILURE(matrix.Check(), "reported after StopUploadFile returned: f upload 'sink-1'");
    // A stop that cannot wait (called inside a callback) promises nothing.
    { const ShutdownMatrix::Stop stop(matrix, "a stop inside a callback", Scope::Request("f", 2), false); }
    matrix.Report("f", "upload", "sink-2");
    matrix.Check();
}

TEST(ShutdownLedger, NothingAskedAfterAFinalCloseIsReported)
{
    ShutdownMatrix matrix("ledger", 1);
    matrix.Issue("f", "k", "before");
    matrix.CloseForGood("f");
    EXPECT_TRUE(matrix.IsClosedForGood("f"));
    EXPECT_FALSE(matrix.IsClosedForGood("g"));
    matrix.Issue("f", "k", "after");
    EXPECT_EQ(matrix.Outstanding(), "f k 'before' (#1)") << "a request asked after the close owes nothing";
    matrix.Report("f", "k", "before");
    matrix.Check();
    matrix.Report("f", "k", "after");
    EXPECT_NONFATAL_FAILURE(matrix.Check(), "reported although asked after its family closed for good");
}

// Untagged reports count against the kind's open requests, those that must
// be reported first: a late report of a stopped one never looks like a
// second report of another.
TEST(ShutdownLedger, UntaggedReportsCountAgainstTheirKind)
{
    ShutdownMatrix matrix("ledger", 1);
    matrix.Issue("f", "list", "");
    { const ShutdownMatrix::Stop stop(matrix, "exit", Scope::Family("f"), false); }
    matrix.Issue("f", "list", "");
    matrix.Report("f", "list", "");
    EXPECT_TRUE(matrix.Settled());
    matrix.Report("f", "list", "");
    matrix.Check();
    matrix.Report("f", "list", "");
    EXPECT_NONFATAL_FAILURE(matrix.Check(), "reported 2 times: f list");
}

TEST(ShutdownLedger, SameSeedSameChoices)
{
    ShutdownMatrix first("ledger", 7);
    ShutdownMatrix second("ledger", 7);
    ShutdownMatrix other("ledger", 8);
    std::vector<uint32_t> a;
    std::vector<uint32_t> b;
    std::vector<uint32_t> c;
    for (int i = 0; i < 8; ++i) {
        a.push_back(first.Draw(1000));
        b.push_back(second.Draw(1000));
        c.push_back(other.Draw(1000));
    }
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_EQ(first.Stream(3)(), second.Stream(3)());
    EXPECT_NE(first.Stream(3)(), first.Stream(4)());
}

}  // namespace

#include <gtest/gtest.h>

#include "UrlText.h"

using Netcall::EncodeUrlForCurl;
using Netcall::JoinQuery;

TEST(EncodeUrlForCurl, EncodesWhatLibcurlRefuses)
{
    struct Case {
        const char* in;
        const char* out;
    } const cases[] = {
        {"https://h/v1/account/register ", "https://h/v1/account/register%20"},
        {"https://h/a b/c", "https://h/a%20b/c"},
        {"https://h/a\tb\r\n", "https://h/a%09b%0D%0A"},
        {"https://h/\x7f", "https://h/%7F"},
        {"https://h/\xE5\x90\x8D", "https://h/%E5%90%8D"},
        {"https://h/\xFF", "https://h/%FF"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EncodeUrlForCurl(c.in), c.out) << c.in;
    }
}

TEST(EncodeUrlForCurl, LeavesValidUrlsAndExistingEscapesAlone)
{
    const std::string url = "https://user@h:8443/p/a%20b?x=1&y=%E5~_.-!$'()*+,;=:@#frag";
    EXPECT_EQ(EncodeUrlForCurl(url), url);
    EXPECT_EQ(EncodeUrlForCurl(""), "");
}

TEST(EncodeUrlForCurl, KeepsEmbeddedZeroOutOfTheUrl)
{
    EXPECT_EQ(EncodeUrlForCurl(std::string("https://h/a\0b", 13)), "https://h/a%00b");
}

TEST(JoinQuery, JoinsWithTheRightSeparator)
{
    EXPECT_EQ(JoinQuery("https://h/list", "page=1&size=20"), "https://h/list?page=1&size=20");
    EXPECT_EQ(JoinQuery("https://h/list?a=1", "b=2"), "https://h/list?a=1&b=2");
    EXPECT_EQ(JoinQuery("https://h/list?", "b=2"), "https://h/list?b=2");
    EXPECT_EQ(JoinQuery("https://h/list?a=1&", "b=2"), "https://h/list?a=1&b=2");
    EXPECT_EQ(JoinQuery("https://h/list#top", "b=2"), "https://h/list?b=2#top");
    EXPECT_EQ(JoinQuery("https://h/list", ""), "https://h/list");
}

// Log lines show where an exchange went, never what its query or user part
// carried (tokens, signatures, passwords).
TEST(UrlForLog, DropsTheQueryTheFragmentAndTheUserPart)
{
    EXPECT_EQ(Netcall::UrlForLog("https://h:8443/v1/list?token=abc&x=1#top"), "https://h:8443/v1/list");
    EXPECT_EQ(Netcall::UrlForLog("https://user:secret@h/p?q"), "https://h/p");
    EXPECT_EQ(Netcall::UrlForLog("https://h/a@b/c"), "https://h/a@b/c");
    EXPECT_EQ(Netcall::UrlForLog("http://user@h"), "http://h");
    EXPECT_EQ(Netcall::UrlForLog("?only=query"), "");
    EXPECT_EQ(Netcall::UrlForLog("https://h/p"), "https://h/p");
}

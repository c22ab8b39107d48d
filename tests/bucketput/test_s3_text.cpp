// The S3 text pieces: key encoding, object addresses, XML.

#include <gtest/gtest.h>

#include "S3Text.h"

namespace {

using namespace Bucketput;

TEST(S3Text, EncodesKeysTheWaySigV4SignsThem)
{
    EXPECT_EQ(AwsUriEncode("docs/a b/Report~1.pdf", true), "docs/a%20b/Report~1.pdf");
    EXPECT_EQ(AwsUriEncode("a/b", false), "a%2Fb");
    EXPECT_EQ(AwsUriEncode("test$file+x=y&z", true), "test%24file%2Bx%3Dy%26z");
    EXPECT_EQ(AwsUriEncode("\xE6\x96\x87", true), "%E6%96%87");
}

TEST(S3Text, BuildsPathStyleAndVirtualHostedAddresses)
{
    std::string url;
    std::string error;
    ASSERT_TRUE(BuildObjectUrl("http://oss-local.localhost:9000", "pelbo-docs", "/docs/1/a b.pdf", true, &url, &error));
    EXPECT_EQ(url, "http://oss-local.localhost:9000/pelbo-docs/docs/1/a%20b.pdf");
    ASSERT_TRUE(BuildObjectUrl("https://oss.example.com/", "pelbo-docs", "k", false, &url, &error));
    EXPECT_EQ(url, "https://pelbo-docs.oss.example.com/k");
}

TEST(S3Text, RefusesAddressesItCannotForm)
{
    std::string url;
    std::string error;
    EXPECT_FALSE(BuildObjectUrl("ftp://host", "b", "k", true, &url, &error));
    EXPECT_FALSE(BuildObjectUrl("http://", "b", "k", true, &url, &error));
    EXPECT_FALSE(BuildObjectUrl("http://host/path", "b", "k", true, &url, &error));
    EXPECT_FALSE(BuildObjectUrl("http://user@host", "b", "k", true, &url, &error));
    EXPECT_FALSE(BuildObjectUrl("http://host", "", "k", true, &url, &error));
    EXPECT_FALSE(BuildObjectUrl("http://host", "b", "///", true, &url, &error));
    // A bucket with characters a host name cannot hold.
    EXPECT_FALSE(BuildObjectUrl("http://host", "My_Bucket", "k", false, &url, &error));
    EXPECT_FALSE(error.empty());
}

TEST(S3Text, ReadsAndWritesXmlElements)
{
    const std::string xml = "<R><UploadId>a&amp;b&quot;c</UploadId><UploadId>second</UploadId></R>";
    EXPECT_EQ(XmlElementText(xml, "UploadId"), "a&b\"c");
    EXPECT_EQ(XmlElementText(xml, "Missing"), "");
    EXPECT_EQ(XmlElementText("<UploadId>never closed", "UploadId"), "");
    EXPECT_EQ(CompleteMultipartBody({{1, "\"e1\""}, {2, "e<2>"}}),
              "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber><ETag>&quot;e1&quot;</ETag></Part>"
              "<Part><PartNumber>2</PartNumber><ETag>e&lt;2&gt;</ETag></Part></CompleteMultipartUpload>");
}

}  // namespace

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/FileDigest.h"
#include "pelbo/corekit/Text.h"
#include "support/TempDir.h"

namespace Digest = Util::FileDigest;

namespace {

std::string Hex(const unsigned char* bytes, size_t length)
{
    std::string hex;
    char pair[3];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        hex += pair;
    }
    return hex;
}

class FileDigestTest : public ::testing::Test {
protected:
    std::wstring Write(const std::string& name, const std::string& content)
    {
        std::ofstream(m_dir.Path() / name, std::ios::binary)
            .write(content.data(), static_cast<std::streamsize>(content.size()));
        return TestSupport::WidePath(m_dir.Path() / name);
    }
    TestSupport::TempDir m_dir;
};

TEST_F(FileDigestTest, KnownDigestsOfSmallFiles)
{
    const Digest::Digest empty = Digest::OfFile(Write("empty", "").c_str());
    ASSERT_EQ(empty.status, Digest::Status::Ok);
    EXPECT_EQ(empty.size, 0u);
    EXPECT_EQ(empty.sha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(empty.md5, "d41d8cd98f00b204e9800998ecf8427e");

    const std::wstring abcPath = Write("abc", "abc");
    const Digest::Digest abc = Digest::OfFile(abcPath.c_str());
    ASSERT_EQ(abc.status, Digest::Status::Ok);
    EXPECT_EQ(abc.size, 3u);
    EXPECT_EQ(abc.sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(abc.md5, "900150983cd24fb0d6963f7d28e17f72");
    // Written exactly as the installer check's own digest, so either may be
    // compared with the other as text.
    CStringW md5;
    ASSERT_NE(Util::MD5::GetFileMD5Value(abcPath.c_str(), md5), 0);
    EXPECT_EQ(ToMultiByte(md5, CP_UTF8), abc.md5);
}

TEST_F(FileDigestTest, ManyBuffersDigestLikeTheBytesInMemory)
{
    std::string content(3 * Digest::kBufferSize + 12345, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>((i * 131 + i / 4099) & 0xFF);
    const auto* bytes = reinterpret_cast<const unsigned char*>(content.data());
    unsigned char sha[SHA256_DIGEST_LENGTH];
    SHA256(bytes, content.size(), sha);
    unsigned char md5[EVP_MAX_MD_SIZE];
    unsigned int md5Length = 0;
    ASSERT_EQ(EVP_Digest(bytes, content.size(), md5, &md5Length, EVP_md5(), nullptr), 1);

    const Digest::Digest digest = Digest::OfFile(Write("big", content).c_str());
    ASSERT_EQ(digest.status, Digest::Status::Ok);
    EXPECT_EQ(digest.size, content.size());
    EXPECT_EQ(digest.sha256, Hex(sha, sizeof sha));
    EXPECT_EQ(digest.md5, Hex(md5, md5Length));
}

TEST_F(FileDigestTest, MaximumStopsTheReadJustPastIt)
{
    const std::string content(2 * Digest::kBufferSize + 7, 'x');
    const std::wstring path = Write("big", content);
    const Digest::Digest exact = Digest::OfFile(path.c_str(), content.size());
    EXPECT_EQ(exact.status, Digest::Status::Ok);
    EXPECT_EQ(exact.size, content.size());

    for (uint64_t maximum : {uint64_t{0}, uint64_t{1000}, uint64_t{content.size() - 1}}) {
        const Digest::Digest refused = Digest::OfFile(path.c_str(), maximum);
        EXPECT_EQ(refused.status, Digest::Status::TooLarge);
        EXPECT_EQ(refused.size, maximum + 1);
        EXPECT_TRUE(refused.sha256.empty() && refused.md5.empty());
    }
    EXPECT_EQ(Digest::OfFile(Write("empty", "").c_str(), 0).status, Digest::Status::Ok);
}

TEST_F(FileDigestTest, MissingFilesAndFoldersAreReported)
{
    const Digest::Digest missing = Digest::OfFile(TestSupport::WidePath(m_dir.Path() / "absent").c_str());
    EXPECT_EQ(missing.status, Digest::Status::NotFound);
    EXPECT_TRUE(missing.sha256.empty());
    EXPECT_EQ(Digest::OfFile(TestSupport::WidePath(m_dir.Path() / "absent" / "x").c_str()).status,
              Digest::Status::NotFound);
    EXPECT_EQ(Digest::OfFile(TestSupport::WidePath(m_dir.Path()).c_str()).status, Digest::Status::NotAFile);
    EXPECT_EQ(Digest::OfFile(nullptr).status, Digest::Status::NotFound);
}

}  // namespace

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TempRoot.h"
#include "pelbo/corekit/Text.h"

namespace fs = std::filesystem;

namespace {

TEST(Text, StringSplitKeepsEmptyPiecesAndClearsTheList)
{
    std::vector<std::wstring> parts{L"stale"};
    Util::String::StringSplit(L"1.2..3.", L".", parts);
    EXPECT_EQ(parts, (std::vector<std::wstring>{L"1", L"2", L"", L"3", L""}));
    Util::String::StringSplit(L"k1=v1&&k2=v2", L"&&", parts);
    EXPECT_EQ(parts, (std::vector<std::wstring>{L"k1=v1", L"k2=v2"}));
    Util::String::StringSplit(L"", L".", parts);
    EXPECT_TRUE(parts.empty());
}

TEST(Text, ConvertRoundTripsUtf8)
{
    const std::string utf8 = "caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80";
    const std::wstring wide = L"caf\u00e9 \u4e2d \U0001F600";
    EXPECT_EQ(Util::Convert::Utf8_2_W(utf8), wide);
    EXPECT_EQ(Util::Convert::W_2_Utf8(wide), utf8);
    EXPECT_EQ(Util::Convert::Utf8_2_W(""), L"");
    EXPECT_EQ(Util::Convert::Utf8_2_W("\xff"), L"\ufffd");
}

TEST(Text, Md5OfKnownVectors)
{
    EXPECT_EQ(Util::MD5::BufferToMD5("", 0), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Util::MD5::BufferToMD5(nullptr, 0), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Util::MD5::BufferToMD5("abc", 3), "900150983cd24fb0d6963f7d28e17f72");
    const std::string fox = "The quick brown fox jumps over the lazy dog";
    EXPECT_EQ(Util::MD5::BufferToMD5(fox.data(), fox.size()), "9e107d9d372bb6826bd81d3542a419d6");
    EXPECT_EQ(Util::MD5::BufferToMD5(nullptr, 3), "");
}

// A file of several 64 KiB chunks and a ragged end must digest exactly like
// the same bytes in one buffer.
TEST(Text, FileMd5StreamsManyChunks)
{
    TempRoot root;
    std::string content;
    for (size_t i = 0; i < 3 * 65536 + 1234; ++i)
        content += static_cast<char>((i * 131 + i / 7) & 0xFF);
    const fs::path file = root.Path() / "blob.bin";
    std::ofstream(file, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));

    CStringW digest;
    ASSERT_NE(Util::MD5::GetFileMD5Value((root.Wide() + L"/blob.bin").c_str(), digest), 0);
    EXPECT_EQ(ToMultiByte(digest, CP_UTF8), Util::MD5::BufferToMD5(content.data(), content.size()));

    std::ofstream(root.Path() / "abc.txt", std::ios::binary) << "abc";
    ASSERT_NE(Util::MD5::GetFileMD5Value((root.Wide() + L"/abc.txt").c_str(), digest), 0);
    EXPECT_EQ(digest, L"900150983cd24fb0d6963f7d28e17f72");

    std::ofstream(root.Path() / "empty.txt", std::ios::binary).flush();
    ASSERT_NE(Util::MD5::GetFileMD5Value((root.Wide() + L"/empty.txt").c_str(), digest), 0);
    EXPECT_EQ(digest, L"d41d8cd98f00b204e9800998ecf8427e");
}

TEST(Text, FileMd5FailsOnMissingOrUnreadablePaths)
{
    TempRoot root;
    CStringW digest(L"untouched");
    EXPECT_EQ(Util::MD5::GetFileMD5Value((root.Wide() + L"/missing").c_str(), digest), 0);
    EXPECT_EQ(Util::MD5::GetFileMD5Value(root.Wide().c_str(), digest), 0);
    EXPECT_EQ(Util::MD5::GetFileMD5Value(nullptr, digest), 0);
    EXPECT_EQ(Util::MD5::GetFileMD5Value(L"", digest), 0);
    EXPECT_EQ(digest, L"untouched");
}

}  // namespace

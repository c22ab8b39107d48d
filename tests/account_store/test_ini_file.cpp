#include <gtest/gtest.h>

#if defined(_WIN32)
#include <process.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pelbo/compat/IniFile.h"
#include "pelbo/compat/TextConvert.h"
#include "corekit/ChildProcess.h"
#include "corekit/TempRoot.h"
#include "corekit/Umask.h"

namespace fs = std::filesystem;

namespace {

class IniFileTest : public ::testing::Test {
protected:
    IniFileTest() : m_file(m_root.Path() / "settings.ini"), m_path(ToWide(m_file.u8string().c_str(), CP_UTF8)) {}

    std::wstring Read(const wchar_t* section, const wchar_t* key, const wchar_t* fallback = L"<none>")
    {
        wchar_t buffer[260] = {};
        Compat::ReadIniString(section, key, fallback, buffer, 260, m_path.c_str());
        return buffer;
    }
    int ReadInt(const wchar_t* section, const wchar_t* key, int fallback = -7)
    {
        return Compat::ReadIniInt(section, key, fallback, m_path.c_str());
    }
    int Write(const wchar_t* section, const wchar_t* key, const wchar_t* value)
    {
        return Compat::WriteIniString(section, key, value, m_path.c_str());
    }
    void Put(const std::string& content)
    {
        std::ofstream out(m_file, std::ios::binary | std::ios::trunc);
        out << content;
    }
    void MakeReadOnly()
    {
        fs::permissions(m_file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    }
    std::string Content() const
    {
        std::ifstream in(m_file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    TempRoot m_root;
    fs::path m_file;
    std::wstring m_path;
};

TEST_F(IniFileTest, MissingFileSectionOrKeyReadsTheDefault)
{
    EXPECT_EQ(L"<none>", Read(L"S", L"k"));
    EXPECT_EQ(-7, ReadInt(L"S", L"k"));
    Put("[Other]\nk=1\n[S]\nj=2\n");
    EXPECT_EQ(L"<none>", Read(L"S", L"k"));
    EXPECT_EQ(L"<none>", Read(L"Missing", L"k"));
    EXPECT_EQ(-7, ReadInt(L"S", L"k"));
    // A key before any section belongs to none.
    Put("k=top\n[S]\n");
    EXPECT_EQ(L"<none>", Read(L"S", L"k"));
}

TEST_F(IniFileTest, FirstWriteCreatesFileSectionAndKey)
{
    ASSERT_EQ(1, Write(L"Tarsel_Global_Data", L"MaterPreviewTip", L"1"));
    EXPECT_EQ("[Tarsel_Global_Data]\nMaterPreviewTip=1\n", Content());
    EXPECT_EQ(L"1", Read(L"Tarsel_Global_Data", L"MaterPreviewTip"));
}

TEST_F(IniFileTest, NamesMatchWithoutRegardToCase)
{
    Put("[Section]\nKeyName = some value \n");
    EXPECT_EQ(L"some value", Read(L"SECTION", L"keyname"));
    ASSERT_EQ(1, Write(L"section", L"KEYNAME", L"new"));
    EXPECT_EQ("[Section]\nKEYNAME=new\n", Content());
    EXPECT_EQ(L"new", Read(L"Section", L"KeyName"));
}

TEST_F(IniFileTest, WriteKeepsEveryOtherLineByteForByte)
{
    const std::string before =
        "; comment\r\n[A]\r\nx=1\r\nkeep = me\r\n\r\n[B]\r\ny=2\r\nnot a key line\r\n";
    Put(before);
    ASSERT_EQ(1, Write(L"A", L"x", L"9"));
    ASSERT_EQ(1, Write(L"A", L"added", L"a"));
    ASSERT_EQ(1, Write(L"C", L"z", L"3"));
    EXPECT_EQ("; comment\r\n[A]\r\nx=9\r\nkeep = me\r\nadded=a\r\n\r\n[B]\r\ny=2\r\nnot a key line\r\n"
              "[C]\r\nz=3\r\n",
              Content());
    EXPECT_EQ(L"2", Read(L"B", L"y"));
}

TEST_F(IniFileTest, NullValueRemovesKeyAndNullKeyRemovesSection)
{
    Put("[A]\nx=1\ny=2\n[B]\nz=3\n");
    ASSERT_EQ(1, Write(L"A", L"x", nullptr));
    EXPECT_EQ("[A]\ny=2\n[B]\nz=3\n", Content());
    ASSERT_EQ(1, Write(L"A", nullptr, nullptr));
    EXPECT_EQ("[B]\nz=3\n", Content());
}

TEST_F(IniFileTest, QuotesAndUnicodeReadBackAsWritten)
{
    Put("\xEF\xBB\xBF[S]\nq=\"quoted value\"\nhalf=\"open\n");
    EXPECT_EQ(L"quoted value", Read(L"S", L"q"));
    EXPECT_EQ(L"\"open", Read(L"S", L"half"));
    ASSERT_EQ(1, Write(L"S", L"名前", L"Zoë"));
    EXPECT_EQ(L"Zoë", Read(L"S", L"名前"));
}

TEST_F(IniFileTest, ValuesWithOuterBlanksOrQuotesReadBackAsWritten)
{
    const wchar_t* const values[] = {L"  padded ", L"\ttab", L"\"quoted\"", L"'single'", L"\"", L"\"\"", L"a \"b\" c"};
    for (const wchar_t* value : values) {
        ASSERT_EQ(1, Write(L"S", L"k", value)) << ToMultiByte(value, CP_UTF8);
        EXPECT_EQ(value, Read(L"S", L"k"));
    }
    // Values the reader leaves alone are stored as they are.
    ASSERT_EQ(1, Write(L"S", L"plain", L"a b"));
    EXPECT_EQ("[S]\nk=a \"b\" c\nplain=a b\n", Content());
}

TEST_F(IniFileTest, NamesWithOuterBlanksFindWhatWasWrittenUnderThem)
{
    ASSERT_EQ(1, Write(L"\tSection ", L" key\t", L"v"));
    EXPECT_EQ(L"v", Read(L"\tSection ", L" key\t"));
    EXPECT_EQ(L"v", Read(L"Section", L"key"));
    EXPECT_EQ("[Section]\nkey=v\n", Content());
}

TEST_F(IniFileTest, AByteOrderMarkStaysAtTheFrontOfTheFile)
{
    Put("\xEF\xBB\xBF[S]\r\nold=1\r\n");
    ASSERT_EQ(1, Write(L"S", L"new", L"2"));
    EXPECT_EQ("\xEF\xBB\xBF[S]\r\nold=1\r\nnew=2\r\n", Content());
    ASSERT_EQ(1, Write(L"S", L"old", nullptr));
    EXPECT_EQ("\xEF\xBB\xBF[S]\r\nnew=2\r\n", Content());
}

TEST_F(IniFileTest, LongValuesAreWrittenWholeAndReadCut)
{
    const std::wstring value(300, L'v');
    ASSERT_EQ(1, Write(L"S", L"long", value.c_str()));
    EXPECT_NE(std::string::npos, Content().find(std::string(300, 'v')));
    wchar_t buffer[260];
    EXPECT_EQ(259u, Compat::ReadIniString(L"S", L"long", L"", buffer, 260, m_path.c_str()));
    EXPECT_EQ(std::wstring(259, L'v'), buffer);
    EXPECT_EQ(0u, Compat::ReadIniString(L"S", L"long", L"", buffer, 0, m_path.c_str()));
}

TEST_F(IniFileTest, IntegersReadLikeTheProfileFunctions)
{
    Put("[S]\nneg=-1\nplus=  +12abc\nword=abc\nempty=\nwrap=4294967295\n");
    EXPECT_EQ(-1, ReadInt(L"S", L"neg"));
    EXPECT_EQ(12, ReadInt(L"S", L"plus"));
    EXPECT_EQ(0, ReadInt(L"S", L"word"));
    EXPECT_EQ(0, ReadInt(L"S", L"empty"));
    EXPECT_EQ(-1, ReadInt(L"S", L"wrap"));
}

TEST_F(IniFileTest, GarbageFileReadsDefaultsAndKeepsItsBytes)
{
#if defined(_WIN32)
    GTEST_SKIP() << "on Windows a file that is not UTF-8 is read in the ANSI code page (tested below)";
#else
    std::string garbage;
    for (int i = 0; i < 2000; ++i)
        garbage.push_back(static_cast<char>((i * 131 + 7) & 0xff));
    garbage.push_back('\n');
    Put(garbage);
    EXPECT_EQ(L"<none>", Read(L"S", L"k"));
    ASSERT_EQ(1, Write(L"S", L"k", L"v"));
    EXPECT_EQ(L"v", Read(L"S", L"k"));
    EXPECT_EQ(0u, Content().find(garbage));
#endif
}

#if defined(_WIN32)
// The system's profile functions wrote the ANSI code page; what they stored
// reads back, and the next write keeps it, now as UTF-8.
TEST_F(IniFileTest, AnAnsiFileIsReadInTheAnsiCodePageAndStoredAsUtf8)
{
    const std::string ansi = "Caf\xe9 \xc0 la \xfc";
    wchar_t expected[64] = {};
    ASSERT_GT(MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, expected, 64), 0);
    ASSERT_NE(std::wstring(expected), ToWide(ansi.c_str(), CP_UTF8)) << "the ANSI code page is UTF-8 here";
    Put("; old\r\n[S]\r\nname=" + ansi + "\r\n");
    EXPECT_EQ(expected, Read(L"S", L"name"));
    ASSERT_EQ(1, Write(L"S", L"other", L"\u4f1a\u8bae"));
    EXPECT_EQ(expected, Read(L"S", L"name"));
    EXPECT_EQ(L"\u4f1a\u8bae", Read(L"S", L"other"));
    EXPECT_EQ("; old\r\n[S]\r\nname=" + ToMultiByte(expected, CP_UTF8) + "\r\nother=\xe4\xbc\x9a\xe8\xae\xae\r\n",
              Content());
}
#endif

TEST_F(IniFileTest, OversizedFileIsNeitherReadNorRewritten)
{
    Put("[S]\nk=v\n");
    fs::resize_file(m_file, (16u << 20) + 1);
    EXPECT_EQ(L"<none>", Read(L"S", L"k"));
    EXPECT_EQ(0, Write(L"S", L"k", L"w"));
    EXPECT_EQ((16u << 20) + 1, fs::file_size(m_file));
}

TEST_F(IniFileTest, ReadOnlyFileIsLeftAlone)
{
    Put("[S]\nk=v\n");
    MakeReadOnly();
    errno = 0;
    EXPECT_EQ(0, Write(L"S", L"k", L"w"));
    EXPECT_EQ(EACCES, errno);
    EXPECT_EQ("[S]\nk=v\n", Content());
    EXPECT_EQ(L"v", Read(L"S", L"k"));
    // Windows would not let the folder's clean-up delete a read-only file.
    fs::permissions(m_file, fs::perms::owner_write, fs::perm_options::add);
}

TEST_F(IniFileTest, NewFilesAreTheUsersAloneAndOldOnesKeepTheirMode)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Windows keeps other users out of the profile folder by its access list, not by file modes";
#else
    const Umask mask(022);
    ASSERT_EQ(1, Write(L"S", L"k", L"v"));
    EXPECT_EQ(0600u, ModeOf(m_file.c_str()));
    EXPECT_EQ(0600u, ModeOf((m_file.string() + ".lock").c_str()));
    ASSERT_EQ(0, chmod(m_file.c_str(), 0640));
    ASSERT_EQ(1, Write(L"S", L"k", L"w"));
    EXPECT_EQ(0640u, ModeOf(m_file.c_str()));
#endif
}

TEST_F(IniFileTest, AFifoInPlaceOfTheFileIsNeitherWaitedForNorWritten)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Windows has no FIFOs in the file system (its pipes live apart) and no fork() for the watchdog";
#else
    ASSERT_EQ(0, mkfifo(m_file.c_str(), 0600));
    EXPECT_TRUE(PassesInChild([this] {
        errno = 0;
        return Read(L"S", L"k") == L"<none>" && ReadInt(L"S", L"k") == -7 && Write(L"S", L"k", L"v") == 0 &&
               errno == EINVAL;
    }));
    EXPECT_TRUE(fs::is_fifo(m_file));
#endif
}

TEST_F(IniFileTest, RefusesNamesAndValuesThatWouldForgeLines)
{
    Put("[S]\nk=v\n");
    EXPECT_EQ(0, Write(L"S", L"k", L"a\n[Evil]\nx=1"));
    EXPECT_EQ(0, Write(L"S", L"a=b", L"v"));
    EXPECT_EQ(0, Write(L"S]x", L"k", L"v"));
    EXPECT_EQ(0, Write(L"S", L"  ", L"v"));
    // "[Evil]x=1" would open a section of its own.
    EXPECT_EQ(0, Write(L"S", L"[Evil]x", L"1"));
    EXPECT_EQ(0, Write(L"S", L" [k", L"x]"));
    EXPECT_EQ(0, Write(nullptr, L"k", L"v"));
    EXPECT_EQ("[S]\nk=v\n", Content());
}

TEST_F(IniFileTest, WriteReplacesTheFileAtomically)
{
    Put("[S]\nk=v\n");
#if !defined(_WIN32)
    struct stat before {};
    ASSERT_EQ(0, stat(m_file.c_str(), &before));
    ASSERT_EQ(0, chmod(m_file.c_str(), 0600));
#endif
#if defined(_WIN32)
    ASSERT_EQ(1, Write(L"S", L"k", L"w"));
#else
    // A reader holding the old file open keeps reading the old content
    // (Windows would refuse the replacement while the reader holds it).
    std::ifstream reader(m_file, std::ios::binary);
    ASSERT_TRUE(reader.is_open());
    ASSERT_EQ(1, Write(L"S", L"k", L"w"));
    std::stringstream old;
    old << reader.rdbuf();
    EXPECT_EQ("[S]\nk=v\n", old.str());
#endif
    EXPECT_EQ(L"w", Read(L"S", L"k"));
#if !defined(_WIN32)
    struct stat after {};
    ASSERT_EQ(0, stat(m_file.c_str(), &after));
    // A new file was renamed into place (the old one was never truncated),
    // with the old one's permissions.
    EXPECT_NE(before.st_ino, after.st_ino);
    EXPECT_EQ(0600u, after.st_mode & 0777);
#endif
    // No temporary file stays behind.
    for (const auto& entry : fs::directory_iterator(m_root.Path())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "settings.ini" || name == "settings.ini.lock") << name;
    }
}

TEST_F(IniFileTest, TwoThreadsWritingDifferentKeysLoseNothing)
{
    constexpr int kWrites = 40;
    auto writer = [this](const wchar_t* prefix) {
        for (int i = 0; i < kWrites; ++i) {
            const std::wstring key = prefix + std::to_wstring(i);
            EXPECT_EQ(1, Write(L"S", key.c_str(), key.c_str()));
        }
    };
    std::thread a(writer, L"a");
    std::thread b(writer, L"b");
    a.join();
    b.join();
    for (int i = 0; i < kWrites; ++i) {
        EXPECT_EQ(L"a" + std::to_wstring(i), Read(L"S", (L"a" + std::to_wstring(i)).c_str()));
        EXPECT_EQ(L"b" + std::to_wstring(i), Read(L"S", (L"b" + std::to_wstring(i)).c_str()));
    }
}

#if defined(_WIN32)
// The second writer of the test below: this program again, told by the
// environment which file to write.
TEST(IniFileSecondProcess, WritesItsKeys)
{
    const wchar_t* file = _wgetenv(L"PELBO_INI_SECOND_WRITER");
    if (file == nullptr)
        GTEST_SKIP() << "run by TwoProcessesWritingDifferentKeysLoseNothing";
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(1, Compat::WriteIniString(L"S", (L"child" + std::to_wstring(i)).c_str(), L"1", file));
}
#endif

TEST_F(IniFileTest, TwoProcessesWritingDifferentKeysLoseNothing)
{
    constexpr int kWrites = 40;
#if defined(_WIN32)
    wchar_t self[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    ASSERT_EQ(0, _wputenv((L"PELBO_INI_SECOND_WRITER=" + m_path).c_str()));
    const intptr_t child = _wspawnl(_P_NOWAIT, self, L"ini_file_tests", L"--gtest_filter=IniFileSecondProcess.*",
                                    nullptr);
    _wputenv(L"PELBO_INI_SECOND_WRITER=");
    ASSERT_NE(child, -1);
    int failures = 0;
    for (int i = 0; i < kWrites; ++i) {
        if (Write(L"S", (L"parent" + std::to_wstring(i)).c_str(), L"1") != 1)
            ++failures;
    }
    int status = -1;
    ASSERT_EQ(child, _cwait(&status, child, 0));
    EXPECT_EQ(0, status);
#else
    const pid_t child = fork();
    const wchar_t* prefix = child == 0 ? L"child" : L"parent";
    int failures = 0;
    for (int i = 0; i < kWrites; ++i) {
        const std::wstring key = prefix + std::to_wstring(i);
        if (Write(L"S", key.c_str(), L"1") != 1)
            ++failures;
    }
    if (child == 0)
        _exit(failures == 0 ? 0 : 1);
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
#endif
    EXPECT_EQ(0, failures);
    for (int i = 0; i < kWrites; ++i) {
        EXPECT_EQ(1, ReadInt(L"S", (L"child" + std::to_wstring(i)).c_str()));
        EXPECT_EQ(1, ReadInt(L"S", (L"parent" + std::to_wstring(i)).c_str()));
    }
}

}  // namespace

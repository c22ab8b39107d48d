#include <gtest/gtest.h>

#if defined(_WIN32)
#include <cstdlib>
#else
#include <pwd.h>
#include <unistd.h>
#endif

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "TempRoot.h"
#include "Umask.h"
#include "pelbo/corekit/Path.h"

namespace fs = std::filesystem;

namespace {

fs::path Fs(const CStringW& path)
{
    return fs::u8path(ToMultiByte(path, CP_UTF8));
}

// Only named, never made: the test program's own data folder comes back
// before anything could write into the user's.
CStringW DefaultRoot()
{
    const CStringW own = Util::Path::GetRootFolder();
    Util::Path::SetRootFolder(nullptr);
    const CStringW root = Util::Path::GetRootFolder();
    Util::Path::SetRootFolder(own);
    return root;
}

#if defined(_WIN32)
TEST(PathDefault, RootIsUnderTheLocalApplicationDataFolder)
{
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(DefaultRoot(), std::wstring(local) + L"\\Pelbo");
}
#else
TEST(PathDefault, RootIsUnderTheHomeFolderFromThePasswordDatabase)
{
    const CStringW root = DefaultRoot();
    const passwd* entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(root, ToWide(entry->pw_dir, CP_UTF8) + L"/.local/share/Pelbo");
}
#endif

TEST(Path, FoldersLieUnderTheRootAndAreCreated)
{
    TempRoot root;
    const std::wstring base = root.Wide();
    EXPECT_EQ(Util::Path::GetRootFolder(), base);
    EXPECT_EQ(Util::Path::GetDataFolder(0), base);

    Util::Path::SetUserFolderName(nullptr);
    const struct {
        CStringW got;
        std::wstring expected;
    } folders[] = {
        {Util::Path::GetUserFolder(0), base + L"/users/default"},
        {Util::Path::GetUserPicFolder(), base + L"/users/default/pictures"},
        {Util::Path::GetQRCodePath(), base + L"/qrcode"},
        {Util::Path::GetDUpgradeFolder(7), base + L"/upgrade"},
        {Util::Path::GetLogFolder(), base + L"/logs"},
    };
    for (const auto& folder : folders) {
        EXPECT_EQ(folder.got, folder.expected);
        EXPECT_TRUE(fs::is_directory(Fs(folder.got))) << Fs(folder.got);
    }
}

TEST(Path, NewFoldersAreTheUsersAlone)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Windows keeps other users out of the profile folder by its access list, not by file modes";
#else
    const Umask mask(022);
    TempRoot root;
    const fs::path existing = root.Path() / "shared";
    fs::create_directory(existing);
    fs::permissions(existing, fs::perms(0755));
    const fs::path nested = existing / "a" / "b";
    Util::Path::SetRootFolder(ToWide(nested.string().c_str(), CP_UTF8).c_str());
    const CStringW logs = Util::Path::GetLogFolder();
    const CStringW pictures = Util::Path::GetUserPicFolder();
    for (const fs::path& folder : {existing / "a", nested, Fs(logs), nested / "users", Fs(pictures)})
        EXPECT_EQ(0700u, ModeOf(folder.c_str())) << folder;
    EXPECT_EQ(0755u, ModeOf(existing.c_str()));
#endif
}

TEST(Path, UserFolderNameMustBeOneComponent)
{
    TempRoot root;
    Util::Path::SetUserFolderName(L"10086");
    EXPECT_EQ(Util::Path::GetUserFolder(0), root.Wide() + L"/users/10086");
    for (const wchar_t* bad : {L"..", L".", L"a/b", L"..\\x", L"c:x"}) {
        Util::Path::SetUserFolderName(bad);
        EXPECT_EQ(Util::Path::GetUserFolder(0), root.Wide() + L"/users/10086") << bad;
    }
    Util::Path::SetUserFolderName(L"");
    EXPECT_EQ(Util::Path::GetUserFolder(0), root.Wide() + L"/users/default");
}

TEST(Path, RootKeepsNoTrailingSeparatorAndNonAsciiWorks)
{
    TempRoot root;
    const std::wstring nested = root.Wide() + L"/\u6570\u636e";
    Util::Path::SetRootFolder((nested + L"//").c_str());
    EXPECT_EQ(Util::Path::GetRootFolder(), nested);
    EXPECT_EQ(Util::Path::GetQRCodePath(), nested + L"/qrcode");
    EXPECT_TRUE(fs::is_directory(root.Path() / fs::u8path("\xe6\x95\xb0\xe6\x8d\xae") / "qrcode"));
}

TEST(Path, ExeFolderDefaultsToTheRunningProgram)
{
    Util::Path::SetExeFolder(nullptr);
#if defined(_WIN32)
    EXPECT_TRUE(fs::exists(Fs(Util::Path::GetExeFolder()) / "corekit_path_test.exe")) << Fs(Util::Path::GetExeFolder());
#else
    const fs::path self = fs::read_symlink("/proc/self/exe").parent_path();
    EXPECT_EQ(Fs(Util::Path::GetExeFolder()), self);
#endif
    Util::Path::SetExeFolder(L"/opt/pelbo/");
    EXPECT_EQ(Util::Path::GetExeFolder(), L"/opt/pelbo");
    Util::Path::SetExeFolder(nullptr);
}

TEST(Path, IsFileExistAndDeleteFolder)
{
    TempRoot root;
    const fs::path dir = root.Path() / "work";
    fs::create_directories(dir / "sub");
    std::ofstream(dir / "a.txt") << "a";
    std::ofstream(dir / "sub" / "b.txt") << "b";
    const std::wstring wide = root.Wide() + L"/work";

    EXPECT_NE(Util::Path::IsFileExist(wide.c_str()), 0);
    EXPECT_NE(Util::Path::IsFileExist((wide + L"/a.txt").c_str()), 0);
    EXPECT_EQ(Util::Path::IsFileExist((wide + L"/none").c_str()), 0);
    EXPECT_EQ(Util::Path::IsFileExist(nullptr), 0);
    EXPECT_EQ(Util::Path::IsFileExist(L""), 0);

    EXPECT_EQ(Util::Path::DeleteFolder((wide + L"/a.txt").c_str(), 1), 0);
    EXPECT_TRUE(fs::exists(dir / "a.txt"));

    EXPECT_NE(Util::Path::DeleteFolder(wide.c_str(), 0), 0);
    EXPECT_TRUE(fs::is_directory(dir));
    EXPECT_TRUE(fs::is_empty(dir));

    EXPECT_NE(Util::Path::DeleteFolder(wide.c_str(), 1), 0);
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_EQ(Util::Path::DeleteFolder(wide.c_str(), 1), 0);
    EXPECT_EQ(Util::Path::DeleteFolder(nullptr, 1), 0);
    EXPECT_EQ(Util::Path::DeleteFolder(L"", 0), 0);
}

TEST(Path, DeleteFolderLeavesTheTargetOfALinkAlone)
{
    TempRoot root;
    fs::create_directories(root.Path() / "keep");
    std::ofstream(root.Path() / "keep" / "k.txt") << "k";
    fs::create_directories(root.Path() / "victim");
    std::error_code ec;
    fs::create_directory_symlink(root.Path() / "keep", root.Path() / "victim" / "link", ec);
    if (ec)
        GTEST_SKIP() << "this user cannot make symbolic links here: " << ec.message();
    EXPECT_NE(Util::Path::DeleteFolder((root.Wide() + L"/victim").c_str(), 1), 0);
    EXPECT_TRUE(fs::exists(root.Path() / "keep" / "k.txt"));
}

struct Split {
    const wchar_t* text;
    const wchar_t* separator;
    std::vector<std::wstring> expected;
};

TEST(Path, SplitStringKeepsEmptyPieces)
{
    const Split cases[] = {
        {L"a,b,c", L",", {L"a", L"b", L"c"}},
        {L"a,,b,", L",", {L"a", L"", L"b", L""}},
        {L",a", L",", {L"", L"a"}},
        {L"a<->b<-><->c", L"<->", {L"a", L"b", L"", L"c"}},
        {L"abc", L"x", {L"abc"}},
        {L"abc", L"", {L"abc"}},
        {L"", L",", {}},
        {L"aaa", L"aa", {L"", L"a"}},
    };
    for (const auto& c : cases) {
        std::vector<CStringW> parts{CStringW(L"stale")};
        Util::Path::SplitString(c.text, c.separator, parts);
        ASSERT_EQ(parts.size(), c.expected.size()) << "case " << (&c - cases);
        for (size_t i = 0; i < parts.size(); ++i)
            EXPECT_EQ(parts[i], c.expected[i]) << "case " << (&c - cases);
    }
    std::vector<CStringW> parts;
    Util::Path::SplitString(nullptr, L",", parts);
    EXPECT_TRUE(parts.empty());
}

TEST(Path, GetCmdLineValueFindsTheFirstPrefixedItem)
{
    std::vector<CStringW> args;
    Util::Path::SplitString(L"Tidewell.exe --version=1002003 --url=http://h/x.exe --md5= --version=9", L" ", args);
    CStringW value(L"untouched");
    EXPECT_NE(Util::Path::GetCmdLineValue(args, L"--version=", value), 0);
    EXPECT_EQ(value, L"1002003");
    EXPECT_NE(Util::Path::GetCmdLineValue(args, L"--url=", value), 0);
    EXPECT_EQ(value, L"http://h/x.exe");
    EXPECT_NE(Util::Path::GetCmdLineValue(args, L"--md5=", value), 0);
    EXPECT_EQ(value, L"");
    value = L"untouched";
    EXPECT_EQ(Util::Path::GetCmdLineValue(args, L"--manual=", value), 0);
    EXPECT_EQ(value, L"untouched");
    EXPECT_EQ(Util::Path::GetCmdLineValue(args, nullptr, value), 0);
}

// Root changes and folder look-ups from several threads: the root is
// guarded, so every answer is one of the roots that were set, never a mix.
TEST(PathThreaded, RootChangesWhileFoldersAreRead)
{
    TempRoot first;
    TempRoot second;
    const std::wstring a = first.Wide() + L"/logs";
    const std::wstring b = second.Wide() + L"/logs";
    std::vector<std::thread> threads;
    std::atomic<int> odd{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) {
                if (t == 0) {
                    Util::Path::SetRootFolder((i % 2 ? first : second).Wide().c_str());
                } else {
                    const CStringW logs = Util::Path::GetLogFolder();
                    if (logs != a.c_str() && logs != b.c_str())
                        odd.fetch_add(1);
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(odd.load(), 0);
}

}  // namespace

#include "TidewellApp.h"

#include <memory>
#include <new>

#include "Canvas.h"
#include "ImageEx.h"
#include "InstallerDownload.h"
#include "LaunchArgs.h"
#include "Native.h"
#include "Resources.h"
#include "UpdateFrame.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Log.h"
#include "pelbo/corekit/Path.h"

namespace {

const wchar_t kTag[] = L"Launch";
constexpr unsigned kLocalVersion = 1001;
const wchar_t kWindowTitle[] = L"Oxbel\x5347\x7EA7";  // "Oxbel upgrade"
const wchar_t kSearchTitle[] = L"Oxbel";
constexpr DWORD kStyle = WS_POPUP | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_CAPTION | WS_SYSMENU;

CStringW FolderOf(const wchar_t* programPath)
{
    const CStringW path(programPath);
    int cut = path.ReverseFind(L'/');
    const int backslash = path.ReverseFind(L'\\');
    if (backslash > cut) {
        cut = backslash;
    }
    return cut < 0 ? CStringW() : path.Left(cut);
}

// Finds the window of an updater that already runs. It looks for the class
// the update window really registers, so a second start finds the first.
bool FlashRunningInstance()
{
    CUpdateFrame probe;
    const HWND running = Native::FindRunning(probe.GetWindowClassName(), kSearchTitle);
    const bool isWindow = running != nullptr && Native::IsWindow(running);
    Util::Log::Info(kTag, L"Hwnd: 0x%llx, IsWindow: %u, bFound: %u", static_cast<unsigned long long>(
                        reinterpret_cast<uintptr_t>(running)), isWindow ? 1u : 0u, running != nullptr ? 1u : 0u);
    if (isWindow) {
        Native::Flash(running);
    }
    return isWindow;
}

}  // namespace

int RunTidewell(HINSTANCE instance, const wchar_t* programPath, const wchar_t* commandLine)
{
    Util::Path::SetExeFolder(FolderOf(programPath));
    const ST_LaunchArgs args = ParseLaunchArgs(commandLine);
    if (!args.root.IsEmpty()) {
        Util::Path::SetRootFolder(args.root);
        Http::LoadSettingsFile(nullptr);
    }
    Util::Log::Init();
    Util::Log::SetLevel(2);
    Util::Log::Change(nullptr, 0);
    Util::Curl::Init();

    if (FlashRunningInstance()) {
        return 0;
    }
    Util::Log::Info(kTag, L"LocalVer: %u, bManual: %u, u32Version: %u, strUrl: %s, strMd5: %s", kLocalVersion,
                    args.manual ? 1u : 0u, args.version, args.url.GetString(), args.md5.GetString());
    Util::Log::Info(kTag, L"size: %llu, sha256: %s, installed: %u", args.size, args.sha256.GetString(),
                    args.installedVersion);
    if (!args.Complete()) {
        return 0;
    }
    // A release that is not newer may be a withdrawn one with a known flaw:
    // whoever passes it cannot move the client backwards.
    if (args.version <= args.installedVersion) {
        Util::Log::Info(kTag, L"version %u is not newer than the installed %u: refused", args.version,
                        args.installedVersion);
        return 0;
    }

    auto* frame = new (std::nothrow) CUpdateFrame();
    if (frame == nullptr) {
        return kExitNoWindow;
    }
    const HWND hwnd = frame->Create(instance, nullptr, kWindowTitle, kStyle, WS_EX_LAYERED, CW_USEDEFAULT,
                                    CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr);
    if (hwnd == nullptr) {
        delete frame;
        return kExitNoWindow;
    }
    CImageEx icon;
    if (icon.LoadFromResource(instance, Resources::kIcon, L"PNG")) {
        Native::SetSmallIcon(hwnd, icon);
    }
    frame->CenterWindow();
    frame->StartUpdate(args.manual, args.version, args.url, args.md5);
    frame->ExpectInstaller(args.size, args.sha256);

    // Declared before the loop and destroyed after it, so the download is
    // stopped on every way out; its partial file stays for the next start.
    CInstallerDownload download(hwnd);
    frame->CheckAndLaunch(args.version, args.md5);
    // An installer already in place with the right digest has been started
    // and the window is gone; otherwise fetch it.
    if (Native::IsWindow(hwnd)) {
        unsigned long long id = 0;
        // An installer fetched over plain http is whoever's on the path:
        // only the development switch lets one through.
        unsigned refused = Util::HttpDownload::kRefusedArgument;
        if (Http::IsUpdateAddressAllowed(args.url.GetString()) != 0) {
            refused = download.Start(args.url, frame->InstallerPath(), args.size, &id);
        } else {
            Util::Log::Info(kTag, L"the installer address is not https; not fetched (allow_http_updates is off)");
        }
        if (refused != 0) {
            frame->OnDownloadResult(frame->AwaitedDownload(), refused);
        } else {
            frame->SetAwaitedDownload(id);
        }
    }
    // The drawing libraries' font caches live until the process ends: Pango
    // loads fonts on a thread of its own, so tearing fontconfig down here
    // could pull its configuration from under that thread.
    return Native::RunLoop();
}

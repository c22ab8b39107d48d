#include "UpdateFrame.h"

#include <cstdint>
#include <filesystem>
#include <limits>
#include <system_error>

#include "Canvas.h"
#include "Native.h"
#include "Resources.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/FileDigest.h"
#include "pelbo/corekit/Log.h"
#include "pelbo/corekit/Path.h"
#include "pelbo/corekit/Text.h"

namespace {

const wchar_t kTag[] = L"CUpdateFrame";
const wchar_t kWindowText[] = L"Oxbel";
const wchar_t kDownloading[] = L"\x6B63\x5728\x4E0B\x8F7D\x5B89\x88C5\x5305";  // downloading the package
const wchar_t kLaunching[] =
    L"\x4E0B\x8F7D\x5347\x7EA7\x6587\x4EF6\x6210\x529F\xFF0C\x5C06\x542F\x52A8\x5347\x7EA7...";  // starting
const wchar_t kFailed[] = L"\x5347\x7EA7\x5931\x8D25\xFF0C\x8BF7\x4E0B\x6B21\x5C1D\x8BD5";  // try next time

constexpr int kCloseWidth = 25;
constexpr int kCloseHeight = 23;
constexpr int kFontSize = 14;
constexpr COLORREF kWhite = 0xFFFFFF;
constexpr COLORREF kBlack = 0x000000;
constexpr UINT kTitleFlags = DT_SINGLELINE;
constexpr UINT kStatusFlags = DT_END_ELLIPSIS | DT_SINGLELINE;
constexpr UINT kPercentFlags = DT_SINGLELINE | DT_RIGHT;

bool Inside(const RECT& r, int x, int y)
{
    return x >= r.left && x < r.right && y >= r.top && y < r.bottom;
}

// a * b, exactly, as the high and the low 64 bits.
struct Wide128 {
    uint64_t hi;
    uint64_t lo;
};

Wide128 Multiply(uint64_t a, uint64_t b)
{
    const uint64_t aLo = a & 0xFFFFFFFFu;
    const uint64_t aHi = a >> 32;
    const uint64_t bLo = b & 0xFFFFFFFFu;
    const uint64_t bHi = b >> 32;
    const uint64_t ll = aLo * bLo;
    const uint64_t lh = aLo * bHi;
    const uint64_t hl = aHi * bLo;
    const uint64_t mid = (ll >> 32) + (lh & 0xFFFFFFFFu) + (hl & 0xFFFFFFFFu);
    return Wide128{aHi * bHi + (lh >> 32) + (hl >> 32) + (mid >> 32), (mid << 32) | (ll & 0xFFFFFFFFu)};
}

bool NotAbove(const Wide128& x, const Wide128& y)
{
    return x.hi < y.hi || (x.hi == y.hi && x.lo <= y.lo);
}

// done * 100 / whole rounded down, for 0 < whole and done <= whole, without
// overflow for sizes near the top of the 64-bit range.
int Percent(uint64_t done, uint64_t whole)
{
    if (whole <= std::numeric_limits<uint64_t>::max() / 100) {
        return static_cast<int>(done * 100 / whole);
    }
    const Wide128 scaled = Multiply(done, 100);
    int percent = 100;
    while (percent > 0 && !NotAbove(Multiply(static_cast<uint64_t>(percent), whole), scaled)) {
        --percent;
    }
    return percent;
}

RECT Rect(long left, long top, long right, long bottom)
{
    RECT r;
    r.left = left;
    r.top = top;
    r.right = right;
    r.bottom = bottom;
    return r;
}

}  // namespace

CUpdateFrame::CUpdateFrame() : m_title(L"Oxbel ") {}

CUpdateFrame::~CUpdateFrame() = default;

void CUpdateFrame::OnFinalMessage(HWND hwnd)
{
    CBaseWnd::OnFinalMessage(hwnd);
    delete this;
}

LRESULT CUpdateFrame::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam)
{
    // Close() ends this object: keep what the default handling needs.
    const HWND hwnd = m_hWnd;
    switch (msg) {
    case WM_CREATE:
        OnCreate();
        break;
    case WM_MOUSEMOVE:
        if (!m_tracking) {
            Native::TrackMouseLeave(hwnd);
            m_tracking = true;
        }
        m_hover = HitTest(PointX(lParam), PointY(lParam));
        Redraw();
        break;
    case WM_LBUTTONDOWN:
        if (HitTest(PointX(lParam), PointY(lParam)) == 0 &&
            Inside(Rect(0, 0, kWidth, kDragStripHeight), PointX(lParam), PointY(lParam))) {
            Native::Post(hwnd, WM_NCLBUTTONDOWN, HTCAPTION, lParam);
        }
        break;
    case WM_LBUTTONUP:
        if (HitTest(PointX(lParam), PointY(lParam)) == 1) {
            m_awaitedDownload = 0;
            Close();
        }
        break;
    case WM_MOUSELEAVE:
        m_tracking = false;
        m_hover = 0;
        Redraw();
        break;
    case WM_SYSCOMMAND:
        if (wParam == SC_CLOSE) {
            Close();
            return 0;
        }
        break;
    default:
        break;
    }
    return Native::DefaultProc(hwnd, msg, wParam, lParam);
}

void CUpdateFrame::OnCreate()
{
    Native::SetText(m_hWnd, kWindowText);
    Native::RemoveCaption(m_hWnd);
    const HINSTANCE module = nullptr;
    m_background.LoadFromResource(module, Resources::kBackground, L"PNG");
    m_progressStrip.LoadFromResource(module, Resources::kProgressStrip, L"PNG");
    m_close.LoadFromResource(module, Resources::kClose, L"PNG");
    m_closeHover.LoadFromResource(module, Resources::kCloseHover, L"PNG");
    Native::Move(m_hWnd, 200, 200, kWidth, kHeight);
    Redraw();
}

RECT CUpdateFrame::CloseButtonRect() const
{
    const RECT client = m_hWnd != nullptr ? Native::ClientRect(m_hWnd) : Rect(0, 0, kWidth, kHeight);
    return Rect(client.right - kCloseWidth, client.top, client.right, client.top + kCloseHeight);
}

int CUpdateFrame::HitTest(int x, int y) const
{
    return Inside(CloseButtonRect(), x, y) ? 1 : 0;
}

void CUpdateFrame::SetProgress(int percent)
{
    if (percent < 0 || percent > 100) {
        return;
    }
    m_progress = percent;
    Redraw();
}

void CUpdateFrame::SetStatusText(const CStringW& text)
{
    m_statusText = text;
    Redraw();
}

void CUpdateFrame::Redraw()
{
    if (m_hWnd == nullptr) {
        return;
    }
    const RECT client = Native::ClientRect(m_hWnd);
    CCanvas canvas(static_cast<int>(client.right - client.left), static_cast<int>(client.bottom - client.top));
    Paint(canvas);
    Native::Present(m_hWnd, canvas);
}

void CUpdateFrame::Paint(CCanvas& canvas)
{
    const long w = canvas.Width();
    const long h = canvas.Height();
    m_background.Draw(canvas, Rect(0, 0, w, h), Rect(0, 0, m_background.GetWidth(), m_background.GetHeight()));
    const CImageEx& close = m_hover == 1 ? m_closeHover : m_close;
    close.Draw(canvas, Rect(w - kCloseWidth, 0, w, kCloseHeight), Rect(0, 0, close.GetWidth(), close.GetHeight()));
    DrawLabel(canvas, kFontSize, kTitleFlags, kWhite, Rect(15, 10, 400, 39), m_title);

    const long stripWidth = m_progressStrip.GetWidth();
    const long half = static_cast<long>(m_progressStrip.GetHeight() * 0.5);
    m_progressStrip.Draw(canvas, Rect(kTrackLeft, kTrackTop, kTrackLeft + kTrackWidth, kTrackBottom),
                         Rect(0, 0, stripWidth, half));
    const long fill = kTrackWidth * m_progress / 100;
    if (fill > 0) {
        m_progressStrip.Draw(canvas, Rect(kTrackLeft, kTrackTop, kTrackLeft + fill, kTrackBottom),
                             Rect(0, half, stripWidth, 2 * half));
    }
    m_statusCut = DrawLabel(canvas, kFontSize, kStatusFlags, kBlack, Rect(25, 326, 175, 348), m_statusText);
    if (m_showPercent) {
        CStringW percent;
        percent.Format(L"%d%%", m_progress);
        DrawLabel(canvas, kFontSize, kPercentFlags, kBlack, Rect(35, 326, 175, 326), percent);
    }
}

bool CUpdateFrame::DrawLabel(CCanvas& dc, int fontSize, UINT flags, COLORREF rgb, RECT rect, const wchar_t* text)
{
    return dc.DrawLabel(fontSize, flags, rgb, rect, text);
}

void CUpdateFrame::CenterWindow()
{
    if (m_hWnd == nullptr) {
        return;
    }
    const RECT window = Native::WindowRect(m_hWnd);
    const long w = window.right - window.left;
    const long h = window.bottom - window.top;
    const RECT work = Native::WorkArea(m_hWnd);
    RECT centre = work;
    Native::OwnerRect(m_hWnd, &centre);
    long x = (centre.left + centre.right) / 2 - w / 2;
    long y = (centre.top + centre.bottom) / 2 - h / 2;
    if (x < work.left) {
        x = work.left;
    } else if (x + w > work.right) {
        x = work.right - w;
    }
    if (y < work.top) {
        y = work.top;
    } else if (y + h > work.bottom) {
        y = work.bottom - h;
    }
    Native::SetPosition(m_hWnd, static_cast<int>(x), static_cast<int>(y));
}

void CUpdateFrame::Close()
{
    const HWND hwnd = m_hWnd;
    // Destroying the window deletes this object.
    Native::Destroy(hwnd);
    Native::PostQuit(0);
}

void CUpdateFrame::StartUpdate(bool, unsigned int version, const CStringW& url, const CStringW& md5)
{
    m_statusText = kDownloading;
    m_version = version;
    m_md5 = md5;
    m_url = url;
    m_requestId = 0;
}

void CUpdateFrame::ExpectInstaller(unsigned long long size, const CStringW& sha256)
{
    m_size = size;
    m_sha256 = sha256;
}

void CUpdateFrame::CheckAndLaunch(unsigned int version, const CStringW& md5)
{
    SetProgress(0);
    m_showPercent = true;
    m_installerPath.Format(L"%s/ver_%u.exe", Util::Path::GetDUpgradeFolder(1).GetString(), version);
    Util::Log::Info(kTag, L"update temp file: %s", m_installerPath.GetString());
    if (!Util::Path::IsFileExist(m_installerPath)) {
        return;
    }
    if (InstallerMatches(md5, 0, false)) {
        Launch();
    }
}

bool CUpdateFrame::InstallerMatches(const CStringW& md5, unsigned long long id, bool afterDownload)
{
    // One read gives the size and both digests; it stops as soon as the
    // file is longer than announced.
    const Util::FileDigest::Digest digest =
        Util::FileDigest::OfFile(m_installerPath, m_size != 0 ? m_size : Util::FileDigest::kNoLimit);
    const CStringW actualMd5(Util::Convert::Utf8_2_W(digest.md5).c_str());
    if (afterDownload) {
        Util::Log::Info(kTag, L"upgrade suc id: %llu, server_md5: %s, local_md5: %s", id, md5.GetString(),
                        actualMd5.GetString());
    }
    if (digest.status != Util::FileDigest::Status::Ok) {
        Util::Log::Info(kTag, L"installer %s not verified: %S", m_installerPath.GetString(),
                        Util::FileDigest::StatusText(digest.status));
        return false;
    }
    const CStringW actualSha256(Util::Convert::Utf8_2_W(digest.sha256).c_str());
    if (m_size == 0 || m_sha256.IsEmpty()) {
        Util::Log::Info(kTag, L"installer %s not launched: no size and SHA-256 to check it against",
                        m_installerPath.GetString());
        return false;
    }
    if (digest.size != m_size || actualSha256.CompareNoCase(m_sha256) != 0 || actualMd5.CompareNoCase(md5) != 0) {
        Util::Log::Info(kTag, L"installer refused: size %llu (expected %llu), sha256 %s (expected %s)", digest.size,
                        m_size, actualSha256.GetString(), m_sha256.GetString());
        return false;
    }
    return true;
}

void CUpdateFrame::Launch()
{
    m_showPercent = false;
    m_statusText = kLaunching;
    SetProgress(100);
    Native::Launch(m_installerPath);
    const HWND hwnd = m_hWnd;
    // Destroying the window deletes this object: nothing of it is touched
    // afterwards.
    Native::Destroy(hwnd);
    Native::PostQuit(0);
}

void CUpdateFrame::OnDownloadProgress(unsigned long long id, unsigned long long done, unsigned long long total,
                                      unsigned, unsigned, unsigned)
{
    if (id != m_awaitedDownload) {
        return;
    }
    const unsigned long long whole = total != 0 ? total : done;
    // Nothing arrived of a body of unknown size: no share to show.
    if (whole == 0 || done > whole) {
        return;
    }
    const int percent = Percent(done, whole);
    SetProgress(percent);
}

void CUpdateFrame::OnDownloadResult(unsigned long long id, unsigned int code)
{
    if (id != m_awaitedDownload) {
        return;
    }
    if (code == 0) {
        if (InstallerMatches(m_md5, id, true)) {
            Launch();
            return;
        }
        m_showPercent = false;
        m_statusText = kFailed;
        SetProgress(0);
        std::error_code ec;
        const bool removed = Util::Path::IsFileExist(m_installerPath) == 0 ||
                             std::filesystem::remove(std::filesystem::u8path(ToMultiByte(m_installerPath, CP_UTF8)), ec);
        Util::Log::Info(kTag, L"delete error update file: %s, hr: 0x%x", m_installerPath.GetString(),
                        removed ? 0u : static_cast<unsigned>(ec.value()));
    }
    ShowFailure(id, code);
}

void CUpdateFrame::ShowFailure(unsigned long long id, unsigned int code)
{
    m_showPercent = false;
    m_statusText = kFailed;
    SetProgress(0);
    Util::Log::Info(kTag, L"upgrade down fail id: %llu, err: %u", id, code);
    m_awaitedDownload = 0;
}

void CUpdateFrame::OnVersionReply(unsigned int, const wchar_t*, unsigned)
{
    // The command line's values stay: a reply is not trusted to name
    // another installer than the one the client checked.
    CheckAndLaunch(m_version, m_md5);
}

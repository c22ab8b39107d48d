#pragma once
// CUpdateFrame: the update window. It carries the update state (what is
// being installed, the download it waits for, the status line and the
// progress), draws itself into one canvas per change and reacts to the
// pointer: the top strip drags the window, the close button ends the
// program. Everything runs on the window's thread; the object deletes
// itself after the window's last message.

#include "BaseWnd.h"
#include "ImageEx.h"
#include "pelbo/compat/StringW.h"

class CCanvas;

class CUpdateFrame : public CBaseWnd {
public:
    static constexpr int kWidth = 598;
    static constexpr int kHeight = 448;
    static constexpr int kDragStripHeight = 38;
    static constexpr int kTrackLeft = 25;
    static constexpr int kTrackTop = 350;
    static constexpr int kTrackWidth = 548;
    static constexpr int kTrackBottom = 355;

    CUpdateFrame();
    ~CUpdateFrame() override;

    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;
    void OnFinalMessage(HWND hwnd) override;

    // A download reports; only the awaited download's reports count.
    virtual void OnDownloadProgress(unsigned long long id, unsigned long long done, unsigned long long total,
                                    unsigned reserved1 = 0, unsigned reserved2 = 0, unsigned reserved3 = 0);
    virtual void OnDownloadResult(unsigned long long id, unsigned int code);
    virtual void OnVersionReply(unsigned int requestId, const wchar_t* text, unsigned reserved = 0);

    void StartUpdate(bool manual, unsigned int version, const CStringW& url, const CStringW& md5);
    // The installer's size and SHA-256 from the signed manifest. Without
    // them no installer is launched: the MD5 alone proves nothing.
    void ExpectInstaller(unsigned long long size, const CStringW& sha256);
    // Sets the installer path; launches when the file there has the size
    // and both digests.
    void CheckAndLaunch(unsigned int version, const CStringW& md5);
    // The download whose reports are accepted from now on.
    void SetAwaitedDownload(unsigned long long id) { m_awaitedDownload = id; }

    void SetProgress(int percent);
    // Replaces the status line and redraws.
    void SetStatusText(const CStringW& text);
    void Redraw();
    // Paints the whole window into canvas (what Redraw presents).
    void Paint(CCanvas& canvas);
    void CenterWindow();
    int HitTest(int x, int y) const;
    void Close();
    bool DrawLabel(CCanvas& dc, int fontSize, UINT flags, COLORREF rgb, RECT rect, const wchar_t* text);

    unsigned long long AwaitedDownload() const { return m_awaitedDownload; }
    const CStringW& InstallerPath() const { return m_installerPath; }
    const CStringW& StatusText() const { return m_statusText; }
    const CStringW& DownloadUrl() const { return m_url; }
    const CStringW& ExpectedMd5() const { return m_md5; }
    unsigned long long ExpectedSize() const { return m_size; }
    unsigned int Version() const { return m_version; }
    int Progress() const { return m_progress; }
    bool ShowPercent() const { return m_showPercent; }
    int Hover() const { return m_hover; }
    // Whether the last painted status line had to end in an ellipsis.
    bool StatusWasCut() const { return m_statusCut; }

private:
    void OnCreate();
    void Launch();
    // Whether the installer file has the expected size and digests (md5 is
    // the one to compare with); logs what it found.
    bool InstallerMatches(const CStringW& md5, unsigned long long id, bool afterDownload);
    void ShowFailure(unsigned long long id, unsigned int code);
    RECT CloseButtonRect() const;

    unsigned long long m_awaitedDownload = 0;
    CStringW m_installerPath;
    CStringW m_statusText;
    int m_progress = 0;
    bool m_showPercent = true;
    unsigned int m_version = 0;
    CStringW m_md5;
    unsigned long long m_size = 0;
    CStringW m_sha256;
    CStringW m_url;
    unsigned int m_requestId = 0;

    CStringW m_title;
    int m_hover = 0;
    bool m_tracking = false;
    bool m_statusCut = false;
    CImageEx m_background;
    CImageEx m_close;
    CImageEx m_closeHover;
    CImageEx m_progressStrip;
};

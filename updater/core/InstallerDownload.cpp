#include "InstallerDownload.h"

#include "Native.h"
#include "UpdateFrame.h"

namespace {

// The window's object, looked up when the report arrives: null once the
// window is gone.
CUpdateFrame* FrameOf(HWND window)
{
    return dynamic_cast<CUpdateFrame*>(Native::GetWindowObject(window));
}

}  // namespace

CInstallerDownload::CInstallerDownload(HWND window) : m_window(window) {}

CInstallerDownload::~CInstallerDownload()
{
    DetachDownloadEvent();
}

unsigned CInstallerDownload::Start(const CStringW& url, const CStringW& path, unsigned long long maxBytes,
                                   unsigned long long* id)
{
    *id = 0;
    Util::HttpDownload::CDownloadLimits limits;
    limits.maxBytes = maxBytes;
    return Util::HttpDownload::Download(url, path, this, id, Util::HttpDownload::E_SAVE_REPLACE, limits);
}

void CInstallerDownload::OnHttpDownProgress(const unsigned long long& id, const unsigned long long& done,
                                            const unsigned long long& total)
{
    const HWND window = m_window;
    const unsigned long long downloadId = id;
    const unsigned long long bytes = done;
    const unsigned long long size = total;
    Native::RunOnWindowThread(window, [window, downloadId, bytes, size] {
        if (CUpdateFrame* frame = FrameOf(window)) {
            frame->OnDownloadProgress(downloadId, bytes, size);
        }
    });
}

void CInstallerDownload::OnHttpDownResult(const unsigned long long& id, const unsigned int& code)
{
    const HWND window = m_window;
    const unsigned long long downloadId = id;
    const unsigned int result = code;
    Native::RunOnWindowThread(window, [window, downloadId, result] {
        if (CUpdateFrame* frame = FrameOf(window)) {
            frame->OnDownloadResult(downloadId, result);
        }
    });
}

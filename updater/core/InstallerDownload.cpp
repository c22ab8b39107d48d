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
    m_url = url;
    m_path = path;
    m_maxBytes = maxBytes;
    m_retriesLeft = kRetries;
    return Begin(id);
}

unsigned CInstallerDownload::Begin(unsigned long long* id)
{
    Util::HttpDownload::CDownloadLimits limits;
    limits.maxBytes = m_maxBytes;
    return Util::HttpDownload::Download(m_url, m_path, this, id, Util::HttpDownload::E_SAVE_RESUME, limits);
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
    if (code == Util::HttpDownload::kDownTransport && m_retriesLeft > 0) {
        --m_retriesLeft;
        unsigned long long next = 0;
        if (Begin(&next) == Util::HttpDownload::kAccepted) {
            // Posted before any report of the new download can be.
            const unsigned long long broken = id;
            Native::RunOnWindowThread(window, [window, broken, next] {
                CUpdateFrame* frame = FrameOf(window);
                if (frame != nullptr && frame->AwaitedDownload() == broken) {
                    frame->SetAwaitedDownload(next);
                }
            });
            return;
        }
    }
    const unsigned long long downloadId = id;
    const unsigned int result = code;
    Native::RunOnWindowThread(window, [window, downloadId, result] {
        if (CUpdateFrame* frame = FrameOf(window)) {
            frame->OnDownloadResult(downloadId, result);
        }
    });
}

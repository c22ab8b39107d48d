#pragma once
// Fetches the installer for the update window. The download runs on
// fetcher's thread; every report travels to the window's thread and reaches
// the window there only while it still exists, so the window may close at
// any moment. Destroying this object stops the download.

#include "WinTypes.h"
#include "pelbo/compat/StringW.h"
#include "pelbo/fetcher/HttpDownload.h"

class CInstallerDownload : public Util::HttpDownload::CHttpDownloadEvent {
public:
    // Attempts after a broken transfer, each continuing where the last
    // stopped.
    static constexpr unsigned kRetries = 2;

    explicit CInstallerDownload(HWND window);
    ~CInstallerDownload() override;

    // Starts the download of url into path; a body larger than maxBytes
    // fails before it fills the disk. 0 with the download id in *id, or
    // fetcher's refusal code.
    unsigned Start(const CStringW& url, const CStringW& path, unsigned long long maxBytes, unsigned long long* id);

    void OnHttpDownProgress(const unsigned long long& id, const unsigned long long& done,
                            const unsigned long long& total) override;
    void OnHttpDownResult(const unsigned long long& id, const unsigned int& code) override;

private:
    unsigned Begin(unsigned long long* id);

    const HWND m_window;
    // Set by Start before the first download; afterwards read and changed
    // only by the result delivery, on fetcher's thread.
    CStringW m_url;
    CStringW m_path;
    unsigned long long m_maxBytes = 0;
    unsigned m_retriesLeft = kRetries;
};

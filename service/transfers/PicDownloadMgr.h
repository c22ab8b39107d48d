#pragma once
// CPicDownloadMgr: the manager behind PicDownloadApi.
//
// The pending table holds every queued owner until its picture is delivered
// or given up; the in-flight table maps each running download to its owner.
// A start pass runs only while at most five downloads are in flight and
// starts at most five waiting pictures, so pictures move in batches: the
// next batch (failed pictures included) starts when the last download of
// the current one ends, or at once when the pass started none (every
// picture refused or given up). A refused start counts as a failure.
//
// AppendTask runs on the client's thread and results arrive on the download
// service's thread: one lock guards both tables. It is held while a download
// is handed to the service, so a result never overtakes the recording of its
// id, and never while a signal is emitted or the user cache is called.
//
// A picture is fetched under a hidden staging name beside its destination.
// Only when it is complete is it moved into place and registered, and only
// then are the user's other pictures deleted, so fetching the same address
// again cannot delete the file just fetched, and a failed move leaves the
// earlier picture. File names are made safe and short enough with
// Util::Path::SafeFileName.

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "pelbo/core/LastReference.h"
#include "pelbo/core/Singleton.h"
#include "pelbo/core/UniKey.h"
#include "pelbo/fetcher/HttpDownload.h"

class CPicDownloadMgr : public Util::HttpDownload::CHttpDownloadEvent, public CLastReference {
public:
    // A pass starts no more than this many pictures.
    static constexpr size_t kBatch = 5;
    // A picture is given up when it has failed more often than this.
    static constexpr unsigned kMaxFailures = 3;

    CPicDownloadMgr() = default;
    // Drops the pending table (no reports), stops the downloads in flight
    // and waits for a result being delivered on another thread.
    ~CPicDownloadMgr() override;
    CPicDownloadMgr(const CPicDownloadMgr&) = delete;
    CPicDownloadMgr& operator=(const CPicDownloadMgr&) = delete;

    void AppendTask(const UniKey& key, const wchar_t* url);
    void OnHttpDownResult(const unsigned long long& id, const unsigned int& code) override;

    size_t PendingCount() const;
    size_t InFlightCount() const;

    // Closed for good by PicDownloadApi::DoExit.
    static CSingleton<CPicDownloadMgr, true>& Instance();

    // The text after the last backslash, else after the last slash, else the
    // whole address; cut before its last dot.
    static std::wstring FileTitle(const std::wstring& url);
    // "<user picture folder>/<value>_<file title>.png" for a user's key, the
    // name made safe and cut to leave room for the staging and temporary
    // names; empty for any other type.
    static std::wstring DestinationPath(const UniKey& key, const std::wstring& url);
    // The hidden name beside the destination that a download writes to.
    static std::wstring StagingPath(const std::wstring& destination);

private:
    enum ETaskState : int32_t {
        E_WAITING = 1,
        E_DOWNLOADING = 2,
    };
    struct Task {
        ETaskState state = E_WAITING;
        std::wstring url;
        uint32_t failures = 0;
    };
    struct Running {
        UniKey key;
        std::wstring url;
        std::wstring path;
    };
    struct Report {
        int result;
        UniKey key;
        std::wstring path;
    };

    // Both run with m_lock held; reports for pictures given up during the
    // pass are added to reports, to be emitted once the lock is released.
    void StartPassLocked(std::vector<Report>& reports);
    void StartLocked(const UniKey& key, Task& task, std::vector<Report>& reports);
    bool HasWaitingLocked() const;
    // Moves the staged file into place, then replaces the user's earlier
    // pictures with it; false when it could not be moved into place.
    static bool StoreStaged(const Running& running);
    static void Emit(const std::vector<Report>& reports);

    mutable std::mutex m_lock;
    std::map<UniKey, Task> m_pending;
    std::map<unsigned long long, Running> m_inFlight;
};

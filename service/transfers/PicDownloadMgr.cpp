#include "pelbo/transfers/PicDownloadMgr.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "pelbo/corekit/FsPath.h"
#include "pelbo/account/UserCache.h"
#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/Log.h"
#include "pelbo/corekit/Path.h"
#include "pelbo/transfers/DownloadPort.h"

namespace {

const wchar_t* const kTag = L"CPicDownloadMgr";
// The staging name is the destination's with these (ASCII) around it.
constexpr wchar_t kStagingPrefix[] = L".";
constexpr wchar_t kStagingSuffix[] = L".download";
// A destination name leaves room for the staging name's additions and the
// download's temporary suffix within the 255 bytes of a name.
constexpr size_t kStagingBytes =
    sizeof(kStagingPrefix) / sizeof(wchar_t) - 1 + sizeof(kStagingSuffix) / sizeof(wchar_t) - 1;
constexpr size_t kMaxNameBytes = 255 - kStagingBytes - Util::HttpDownload::kTemporarySuffixMaxBytes;

// Through UTF-8, not the process locale: under the "C" locale libstdc++
// cannot convert a name with any character beyond ASCII and throws.
std::filesystem::path ToPath(const std::wstring& text)
{
    return Corekit::ToFsPath(text);
}

}  // namespace

CSingleton<CPicDownloadMgr, true>& CPicDownloadMgr::Instance()
{
    static CSingleton<CPicDownloadMgr, true> instance;
    return instance;
}

CPicDownloadMgr::~CPicDownloadMgr()
{
    std::vector<unsigned long long> running;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_pending.clear();
        for (const auto& entry : m_inFlight)
            running.push_back(entry.first);
    }
    for (unsigned long long id : running)
        Transfers::DownloadPort().Stop(id);
    DetachDownloadEvent();
}

std::wstring CPicDownloadMgr::FileTitle(const std::wstring& url)
{
    size_t cut = url.rfind(L'\\');
    if (cut == std::wstring::npos)
        cut = url.rfind(L'/');
    std::wstring title = cut == std::wstring::npos ? url : url.substr(cut + 1);
    const size_t dot = title.rfind(L'.');
    if (dot != std::wstring::npos)
        title.erase(dot);
    // After a backslash the title may still hold forward slashes; as part of
    // a file name they would point into other folders.
    std::replace(title.begin(), title.end(), L'/', L'_');
    return title;
}

std::wstring CPicDownloadMgr::DestinationPath(const UniKey& key, const std::wstring& url)
{
    if (key.type != KEY_TYPE_USER)
        return std::wstring();
    const std::wstring folder = Util::Path::GetUserPicFolder().str();
    const std::wstring title = std::to_wstring(key.value) + L"_" + FileTitle(url);
    return folder + L"/" + Util::Path::SafeFileName(title, L".png", kMaxNameBytes);
}

std::wstring CPicDownloadMgr::StagingPath(const std::wstring& destination)
{
    const std::filesystem::path path = ToPath(destination);
    // The leading dot keeps the file out of LoadLocalHead, and it does not
    // begin with "<id>_", so DelUserHead never takes it for a picture.
    return Corekit::FromFsPath(path.parent_path() /
                               ToPath(kStagingPrefix + Corekit::FromFsPath(path.filename()) + kStagingSuffix));
}

size_t CPicDownloadMgr::PendingCount() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_pending.size();
}

size_t CPicDownloadMgr::InFlightCount() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_inFlight.size();
}

void CPicDownloadMgr::AppendTask(const UniKey& key, const wchar_t* url)
{
    std::vector<Report> reports;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_pending.count(key) != 0)
            return;
        Task task;
        task.url = url != nullptr ? url : L"";
        m_pending.emplace(key, std::move(task));
        StartPassLocked(reports);
    }
    Emit(reports);
}

void CPicDownloadMgr::StartPassLocked(std::vector<Report>& reports)
{
    // A pass whose pictures were all refused or given up leaves no download
    // whose end would start the next pass: that pass follows at once. Every
    // refusal counts as a failure or gives the picture up, so this ends.
    do {
        if (m_inFlight.size() > kBatch)
            return;
        size_t started = 0;
        for (auto it = m_pending.begin(); it != m_pending.end() && started < kBatch;) {
            // StartLocked may give the picture up and remove it.
            auto current = it++;
            if (current->second.state != E_WAITING)
                continue;
            StartLocked(current->first, current->second, reports);
            ++started;
        }
    } while (m_inFlight.empty() && HasWaitingLocked());
}

bool CPicDownloadMgr::HasWaitingLocked() const
{
    return std::any_of(m_pending.begin(), m_pending.end(),
                       [](const std::pair<const UniKey, Task>& entry) { return entry.second.state == E_WAITING; });
}

void CPicDownloadMgr::StartLocked(const UniKey& key, Task& task, std::vector<Report>& reports)
{
    task.state = E_DOWNLOADING;
    Running running;
    running.key = key;
    running.url = task.url;
    running.path = DestinationPath(key, task.url);
    Util::Log::Info(kTag, L"Download:ID=%llu,HeadURL=%s", static_cast<unsigned long long>(key.value),
                    task.url.c_str());
    // A key without a destination is handed over as it is; the service
    // refuses it for good, and it is given up below.
    const std::wstring target = running.path.empty() ? running.path : StagingPath(running.path);
    unsigned long long id = 0;
    const unsigned refusal = Transfers::DownloadPort().Download(task.url.c_str(), target.c_str(), this, &id);
    if (refusal == Util::HttpDownload::kAccepted) {
        m_inFlight.emplace(id, std::move(running));
        return;
    }
    // A lasting refusal would meet every later pass: the picture is given up
    // now. Any other counts as a failed try, so a refusal that keeps coming
    // (a folder that cannot be written) also ends in a report.
    task.state = E_WAITING;
    if (Transfers::IsLastingRefusal(refusal) || ++task.failures > kMaxFailures) {
        Util::Log::Info(kTag, L"Download:ID=%llu refused (%u), given up", static_cast<unsigned long long>(key.value),
                        refusal);
        const UniKey owner = key;
        reports.push_back({0, owner, running.path});
        m_pending.erase(owner);
        return;
    }
    Util::Log::Info(kTag, L"Download:ID=%llu refused (%u), tried again by the next pass",
                    static_cast<unsigned long long>(key.value), refusal);
}

bool CPicDownloadMgr::StoreStaged(const Running& running)
{
    const std::wstring staged = StagingPath(running.path);
    std::error_code error;
    std::filesystem::rename(ToPath(staged), ToPath(running.path), error);
    if (error) {
        Util::Log::Warn(kTag, L"OnHttpDownResult:ID=%llu, cannot move %s into place: %S",
                        static_cast<unsigned long long>(running.key.value), staged.c_str(), error.message().c_str());
        std::filesystem::remove(ToPath(staged), error);
        return false;
    }
    // Only now that the new picture is in place do the earlier ones go: a
    // failed move leaves the user the picture they had.
    Aux::UserCache::ReplaceUserHead(static_cast<uint32_t>(running.key.value & 0xFFFFFFFFu), CStringW(running.path));
    return true;
}

void CPicDownloadMgr::OnHttpDownResult(const unsigned long long& id, const unsigned int& code)
{
    // A receiver may end the family while this result is told.
    const Held held = Hold();
    if (!held)
        return;
    Running running;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_inFlight.find(id);
        if (it == m_inFlight.end())
            return;
        running = std::move(it->second);
        m_inFlight.erase(it);
    }
    Util::Log::Info(kTag, L"OnHttpDownResult:ID=%llu,Path=%s,code=%u", static_cast<unsigned long long>(running.key.value),
                    running.path.c_str(), code);
    // The file steps run without the lock: the key stays in the pending
    // table as downloading meanwhile, so no second download of it starts.
    bool stored = false;
    if (code == Util::HttpDownload::kDownOk)
        stored = running.path.empty() || StoreStaged(running);

    std::vector<Report> reports;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto task = m_pending.find(running.key);
        if (stored) {
            if (task != m_pending.end())
                m_pending.erase(task);
            reports.push_back({1, running.key, running.path});
        } else if (task != m_pending.end()) {
            if (++task->second.failures > kMaxFailures) {
                m_pending.erase(task);
                reports.push_back({0, running.key, running.path});
            } else {
                task->second.state = E_WAITING;
            }
        }
    }
    Emit(reports);

    reports.clear();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_inFlight.empty())
            StartPassLocked(reports);
    }
    Emit(reports);
}

void CPicDownloadMgr::Emit(const std::vector<Report>& reports)
{
    for (const Report& report : reports)
        ServiceEvent::UpdatePicture().emit(report.result, report.key, report.path.c_str());
}

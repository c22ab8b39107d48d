#include "transfers/PicDownloadMgr.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "account/UserCache.h"
#include "core/ServiceEvent.h"
#include "corekit/Log.h"
#include "corekit/Path.h"
#include "transfers/DownloadPort.h"

namespace {

const wchar_t* const kTag = L"CPicDownloadMgr";

std::filesystem::path ToPath(const std::wstring& text)
{
    return std::filesystem::path(text);
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
    return folder + L"/" + std::to_wstring(key.value) + L"_" + FileTitle(url) + L".png";
}

std::wstring CPicDownloadMgr::StagingPath(const std::wstring& destination)
{
    const std::filesystem::path path = ToPath(destination);
    // The leading dot keeps the file out of LoadLocalHead, and it does not
    // begin with "<id>_", so DelUserHead never takes it for a picture.
    return (path.parent_path() / (L"." + path.filename().wstring() + L".download")).wstring();
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
    if (Transfers::IsLastingRefusal(refusal)) {
        // Another pass would meet the same refusal: tell the caller now
        // instead of keeping the picture queued for ever.
        Util::Log::Info(kTag, L"Download:ID=%llu refused (%u), given up", static_cast<unsigned long long>(key.value),
                        refusal);
        reports.push_back({0, key, running.path});
        m_pending.erase(key);
        return;
    }
    task.state = E_WAITING;
}

bool CPicDownloadMgr::StoreStaged(const Running& running)
{
    const std::wstring staged = StagingPath(running.path);
    Aux::UserCache::DelUserHead(static_cast<uint32_t>(running.key.value & 0xFFFFFFFFu));
    std::error_code error;
    std::filesystem::rename(ToPath(staged), ToPath(running.path), error);
    if (error) {
        Util::Log::Warn(kTag, L"OnHttpDownResult:ID=%llu, cannot move %s into place: %S",
                        static_cast<unsigned long long>(running.key.value), staged.c_str(), error.message().c_str());
        std::filesystem::remove(ToPath(staged), error);
        return false;
    }
    Aux::UserCache::SetUserHead(CStringW(running.path));
    return true;
}

void CPicDownloadMgr::OnHttpDownResult(const unsigned long long& id, const unsigned int& code)
{
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

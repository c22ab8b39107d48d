#include "pelbo/bucketput/OssUpload.h"

#include <mutex>

#include "UploadService.h"
#include "pelbo/compat/ProcessEnd.h"
#include "pelbo/corekit/Log.h"

namespace {

// The service is made on the first upload, so loading the library starts
// nothing; it lives until the library is unloaded (its thread ends on its
// own when idle).
class ServiceRegistry {
public:
    ~ServiceRegistry()
    {
        Bucketput::UploadService* service = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            service = m_service;
            m_service = nullptr;
        }
        delete service;
    }

    Bucketput::UploadService& Get()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_service == nullptr)
            m_service = new Bucketput::UploadService();
        return *m_service;
    }

    // Null when no upload was ever started: nothing to stop or wait for.
    Bucketput::UploadService* Existing()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_service;
    }

private:
    std::mutex m_mutex;
    Bucketput::UploadService* m_service = nullptr;
};

ServiceRegistry& Registry()
{
    static Compat::ProcessWide<ServiceRegistry> registry(new ServiceRegistry);
    return *registry;
}

}  // namespace

namespace Util {
namespace OssUpload {

CUploadEvent::CUploadEvent() = default;
CUploadEvent::CUploadEvent(const CUploadEvent&) {}
CUploadEvent& CUploadEvent::operator=(const CUploadEvent&) { return *this; }

CUploadEvent::~CUploadEvent()
{
    DetachUploadEvent();
}

void CUploadEvent::DetachUploadEvent()
{
    try {
        if (Bucketput::UploadService* service = Registry().Existing())
            service->DetachEvent(this);
    } catch (...) {
        Util::Log::Error(L"OssUpload", L"DetachUploadEvent: failed");
    }
}

unsigned Start(const CFileObjExt& file, unsigned long long& uploadId, CUploadEvent* event)
{
    try {
        return Registry().Get().Start(file, uploadId, event);
    } catch (...) {
        return kRefusedUnavailable;
    }
}

void Stop(const unsigned long long& uploadId)
{
    try {
        if (Bucketput::UploadService* service = Registry().Existing())
            service->Stop(uploadId);
    } catch (...) {
        Util::Log::Error(L"OssUpload", L"Stop: failed");
    }
}

void Shutdown()
{
    try {
        if (Bucketput::UploadService* service = Registry().Existing())
            service->Shutdown();
    } catch (...) {
        Util::Log::Error(L"OssUpload", L"Shutdown: failed");
    }
}

void SetTuning(const CUploadTuning& tuning)
{
    try {
        Bucketput::ReplaceTuning(tuning);
    } catch (...) {
        Util::Log::Error(L"OssUpload", L"SetTuning: failed");
    }
}

CUploadTuning GetTuning()
{
    try {
        return Bucketput::CurrentTuning();
    } catch (...) {
        return CUploadTuning();
    }
}

}  // namespace OssUpload
}  // namespace Util

#pragma once
// The frame shared by the document and the log upload managers: the three
// maps (ticket requests, sinks per path, uploads per path), joining an upload
// in flight, the ticket's result, the upload library's events and the stop
// functions. The managers add the ticket request, how a ticket's credentials
// are laid out, the code of a failed ticket and their log lines.
//
// Threads: the maps are touched by the caller's thread (the exported
// functions), by the HTTPS service's thread (tickets) and by the upload
// library's thread (events), so they are guarded by m_lock. No lock is held
// while a sink is called or an upload is stopped: a sink may call the API
// from its callback. Before each call the sink is looked up again, so a sink
// removed meanwhile is not called; a stop function waits for a call running
// on another thread to a sink it lets go, so the caller may release the sink
// once the stop function returns (Frame::CCallOut: not from inside a
// callback, and dispatching sent messages on Windows). Each event holds the
// manager (CLastReference), so a sink may end the family from inside its
// result or progress; the calls under way are therefore tracked for the
// family, not the manager: a manager ended from inside a callback may still
// be calling sinks on other threads, and a later stop waits for those too.
//
// A path's sink list has a serial number. A result takes the path's entries
// out of the maps before its walk and keeps the list aside under its serial
// until the walk ends: the upload is over once its result is known, so a
// file added again meanwhile (from a sink's callback, or on another thread
// by a caller that has just heard the result) starts a new upload instead
// of joining the ending one and being forgotten with it. The stop functions
// remove sinks from such a list too, so a removed sink is not called.
//
// A file stopped while it waits for its ticket loses its ticket request: the
// ticket, when it comes, is dropped rather than sending a withdrawn file to
// storage. A ticket already being read when the file is stopped (and added
// again) concerns only the sinks it was asked for, whether it fails or not.

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <json/json.h>

#include "pelbo/bucketput/OssUpload.h"
#include "pelbo/compat/StringW.h"
#include "pelbo/core/CallOut.h"
#include "pelbo/core/JsonBridge.h"
#include "pelbo/core/LastReference.h"
#include "pelbo/core/RestResult.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Log.h"
#include "pelbo/corekit/Path.h"
#include "pelbo/netcall/HttpsRequest.h"
#include "pelbo/transfers/UploadTicket.h"

template <typename Sink>
class COssUploadBase : public Util::OssUpload::CUploadEvent, public IHttpsRequestSink, public CLastReference {
public:
    COssUploadBase(const COssUploadBase&) = delete;
    COssUploadBase& operator=(const COssUploadBase&) = delete;

    // 0, 1 or 2 as the exported Add functions.
    int AddFile(const std::wstring& path, Sink* sink)
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        auto it = m_sinks.find(path);
        if (it != m_sinks.end()) {
            std::vector<Sink*>& list = it->second.sinks;
            if (std::find(list.begin(), list.end(), sink) != list.end())
                return 2;
            list.push_back(sink);
            return 0;
        }
        // Held across the request so a result that races it still finds
        // its entry in the ticket map.
        if (SendTicketRequest(path) == 0)
            return 1;
        SinkEntry entry;
        entry.serial = ++m_serial;
        entry.sinks.push_back(sink);
        m_sinks[path] = std::move(entry);
        return 0;
    }

    void StopFile(const std::wstring& path, Sink* sink)
    {
        unsigned long long uploadId = 0;
        bool stop = false;
        {
            std::lock_guard<std::recursive_mutex> lock(m_lock);
            ForgetEndingSinks(path, sink);
            auto it = m_sinks.find(path);
            bool listed = true;
            if (sink != nullptr && it != m_sinks.end()) {
                std::vector<Sink*>& list = it->second.sinks;
                auto found = std::find(list.begin(), list.end(), sink);
                listed = found != list.end();
                if (listed)
                    list.erase(found);
            }
            auto upload = m_uploads.find(path);
            const bool lastGone = sink == nullptr || it == m_sinks.end() || it->second.sinks.empty();
            if (listed && lastGone && upload != m_uploads.end()) {
                uploadId = upload->second;
                stop = true;
                if (it != m_sinks.end())
                    m_sinks.erase(it);
                m_uploads.erase(upload);
            } else if (listed && lastGone && it != m_sinks.end()) {
                // Still waiting for its ticket: the ticket, when it comes, is
                // dropped, so a stopped file is never sent to storage and a
                // later add of it starts one upload of its own.
                m_sinks.erase(it);
                ForgetTicketRequests(path);
            }
        }
        if (stop)
            Util::OssUpload::Stop(uploadId);
        WaitForCalls(path, sink, false);
    }

    void StopAll()
    {
        std::map<std::wstring, unsigned long long> uploads;
        {
            std::lock_guard<std::recursive_mutex> lock(m_lock);
            m_sinks.clear();
            m_ending.clear();
            m_tickets.clear();
            uploads.swap(m_uploads);
        }
        for (const auto& entry : uploads)
            Util::OssUpload::Stop(entry.second);
        WaitForCalls(std::wstring(), nullptr, true);
    }

    // Waits for every call of the family's sinks running on another thread,
    // also one that a manager already ended is making.
    static void WaitForSinkCalls() { WaitForCalls(std::wstring(), nullptr, true); }

    void OnHttpsReqResult(unsigned& id, const std::wstring& request, const std::wstring& response,
                          int& completed) override
    {
        const Held held = Hold();
        if (!held)
            return;
        std::wstring path;
        unsigned long long serial = 0;
        {
            std::lock_guard<std::recursive_mutex> lock(m_lock);
            auto it = m_tickets.find(id);
            if (it == m_tickets.end())
                return;
            path = it->second;
            m_tickets.erase(it);
            auto sinks = m_sinks.find(path);
            if (sinks != m_sinks.end())
                serial = sinks->second.serial;
        }
        Json::Value root;
        // An answer that is not JSON is as unusable as a refused one: the
        // sinks hear of it instead of waiting for ever.
        const bool parsed = JsonParse(CStringW(response), root);
        if (!parsed || Transfers::TicketCode(root) != 0 || completed == 0) {
            LogRefusedAnswer(Tag(), L"upload ticket", root, parsed, completed != 0);
            ReportAndForget(path, TicketFailureCode(), 0, std::wstring(), 0, serial);
            return;
        }
        const Transfers::TicketFields ticket = ReadTicketFields(root);
        OnTicketRead(ticket);

        Util::OssUpload::CFileObjExt file;
        file.ullFileID = static_cast<unsigned long long>(ticket.fileId);
        file.strLocalPath = path;
        file.strBucket = ticket.bucket;
        file.strObjectPath = ticket.path;
        file.strAccessKeyId = ticket.accessKeyId;
        file.strAccessKeySecret = ticket.accessKeySecret;
        file.strSecurityToken = ticket.securityToken;
        file.strEndPoint = Http::GetOssScheme().str() + L"://" + ticket.endPoint + Http::GetOssDomainSuffix().str();
        file.strUserFolder = Util::Path::GetUserFolder(0).str();
        file.nOption1 = 1;
        file.nOption2 = 1;
        file.strFileUrl = ticket.fileUrl;

        unsigned result = 0;
        {
            // Held across Start so the upload's first event, which takes the
            // lock, finds the upload in the map.
            std::lock_guard<std::recursive_mutex> lock(m_lock);
            // Stopped while this ticket was read (and perhaps added again,
            // with a ticket of its own): nothing is sent.
            auto sinks = m_sinks.find(path);
            if (sinks == m_sinks.end() || sinks->second.serial != serial)
                return;
            unsigned long long uploadId = 0;
            result = Util::OssUpload::Start(file, uploadId, this);
            if (result == Util::OssUpload::kStartedSingle || result == Util::OssUpload::kStartedMultipart)
                m_uploads[path] = uploadId;
        }
        OnStartReturned(ticket, result);
        if (result != Util::OssUpload::kStartedSingle && result != Util::OssUpload::kStartedMultipart) {
            // Refused at the start: the sinks hear of a failed transfer
            // instead of waiting for ever.
            ReportAndForget(path, 3, 0, std::wstring(), 0, serial);
        }
    }

    void OnFileEvent(int& kind, int& reserved, int& code, const Util::OssUpload::CFileObjExt& file) override
    {
        const Held held = Hold();
        if (!held)
            return;
        const std::wstring& path = file.strLocalPath;
        if (kind == Util::OssUpload::kEventProgress) {
            unsigned long long serial = 0;
            std::vector<Sink*> sinks;
            if (!CurrentUploadSinks(path, file.ullUploadID, &serial, &sinks))
                return;
            for (Sink* sink : sinks) {
                CallSink(path, serial, sink, [&file, &path](Sink* target) {
                    target->OnUploadProgress(file.ullFileID, CStringW(path), file.ullProgress1, file.ullProgress2,
                                             file.ullProgress3);
                });
            }
            return;
        }
        if (kind != Util::OssUpload::kEventEnd)
            return;
        const bool ok = code == 0;
        const unsigned long long fileId = ok ? file.ullFileID : 0;
        Util::Log::Info(Tag(), L"OnFileEvent:OssUploadResult FileID=%lld,Code=%u", static_cast<long long>(fileId),
                        static_cast<unsigned>(code));
        ReportAndForget(path, ok ? 0 : 3, fileId, ok ? file.strFileUrl : std::wstring(), file.ullUploadID, 0);
    }

    // For tests and the demo: what the maps hold.
    size_t PendingTickets() const
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        return m_tickets.size();
    }
    bool HasPath(const std::wstring& path) const
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        return m_sinks.count(path) != 0 || m_uploads.count(path) != 0;
    }
    bool IsTransferring(const std::wstring& path) const
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        return m_uploads.count(path) != 0;
    }

protected:
    COssUploadBase() = default;

    // Stops everything and detaches from both services before the maps go;
    // the derived destructor calls it first.
    void Shutdown()
    {
        StopAll();
        DetachUploadEvent();
        DetachHttpsSink();
    }

    // Sends the ticket request for the path; returns Request's result and,
    // when it is non-zero with a non-zero id, enters the id in the ticket map.
    virtual int SendTicketRequest(const std::wstring& path) = 0;
    virtual Transfers::TicketFields ReadTicketFields(const Json::Value& root) const = 0;
    virtual int TicketFailureCode() const = 0;
    virtual const wchar_t* Tag() const = 0;
    virtual void OnTicketRead(const Transfers::TicketFields& ticket) = 0;
    virtual void OnStartReturned(const Transfers::TicketFields& ticket, unsigned result) = 0;

    // For SendTicketRequest: called with the lock held.
    void EnterTicket(unsigned id, const std::wstring& path) { m_tickets[id] = path; }
    void ForgetTicketRequests(const std::wstring& path)
    {
        for (auto it = m_tickets.begin(); it != m_tickets.end();)
            it = it->second == path ? m_tickets.erase(it) : std::next(it);
    }

    mutable std::recursive_mutex m_lock;

private:
    struct SinkEntry {
        unsigned long long serial = 0;
        std::vector<Sink*> sinks;
    };
    struct Ending {
        std::wstring path;
        std::vector<Sink*> sinks;
    };
    struct Call {
        Sink* sink;
        std::wstring path;
        std::thread::id thread;
    };
    // The calls of the family's sinks under way, on any of its managers.
    struct Calls {
        std::mutex lock;
        std::condition_variable ended;
        std::vector<Call> list;
    };

    // The path's sinks when the event belongs to its current upload (or the
    // path is not transferring under another id).
    bool CurrentUploadSinks(const std::wstring& path, unsigned long long uploadId, unsigned long long* serial,
                            std::vector<Sink*>* sinks) const
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        auto upload = m_uploads.find(path);
        if (upload != m_uploads.end() && upload->second != uploadId)
            return false;
        auto it = m_sinks.find(path);
        if (it == m_sinks.end())
            return false;
        *serial = it->second.serial;
        *sinks = it->second.sinks;
        return true;
    }

    // Takes the path's entries out of the maps, tells every sink of a copy of
    // its list that is still in the list set aside, then drops that list.
    // uploadId 0: the end of a ticket or of Start, which leaves the uploads
    // map alone and concerns only the list of ticketSerial, the one the
    // ticket was asked for.
    void ReportAndForget(const std::wstring& path, int code, unsigned long long fileId, const std::wstring& url,
                         unsigned long long uploadId, unsigned long long ticketSerial)
    {
        unsigned long long serial = 0;
        std::vector<Sink*> sinks;
        {
            std::lock_guard<std::recursive_mutex> lock(m_lock);
            auto upload = m_uploads.find(path);
            // An upload that is no longer the path's was stopped (and maybe
            // replaced): its end reaches nobody.
            if (uploadId != 0 && (upload == m_uploads.end() || upload->second != uploadId))
                return;
            if (uploadId != 0)
                m_uploads.erase(upload);
            auto it = m_sinks.find(path);
            if (it == m_sinks.end())
                return;
            // Stopped while its ticket's answer was read, and added again
            // with a ticket of its own: the old ticket's failure is not the
            // new upload's, which goes on.
            if (uploadId == 0 && it->second.serial != ticketSerial)
                return;
            serial = it->second.serial;
            sinks = it->second.sinks;
            m_ending[serial] = Ending{path, std::move(it->second.sinks)};
            m_sinks.erase(it);
        }
        for (Sink* sink : sinks) {
            CallSink(path, serial, sink, [&](Sink* target) {
                target->OnUploadResult(code, fileId, CStringW(path), CStringW(url));
            });
        }
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        m_ending.erase(serial);
    }

    // Removes the sink (every sink when null) from the path's lists whose
    // result is being reported; called with the lock held.
    void ForgetEndingSinks(const std::wstring& path, Sink* sink)
    {
        for (auto& entry : m_ending) {
            std::vector<Sink*>& list = entry.second.sinks;
            if (entry.second.path != path)
                continue;
            if (sink == nullptr) {
                list.clear();
                continue;
            }
            auto found = std::find(list.begin(), list.end(), sink);
            if (found != list.end())
                list.erase(found);
        }
    }

    // The list the walk with this serial works on: the path's current list,
    // or the one set aside for its result; null when neither is left.
    const std::vector<Sink*>* ListOf(const std::wstring& path, unsigned long long serial) const
    {
        auto it = m_sinks.find(path);
        if (it != m_sinks.end() && it->second.serial == serial)
            return &it->second.sinks;
        auto ending = m_ending.find(serial);
        if (ending != m_ending.end())
            return &ending->second.sinks;
        return nullptr;
    }

    // True when the sink is still in the list the walk works on (and not null);
    // the call is then registered until EndCall.
    bool BeginCall(const std::wstring& path, unsigned long long serial, Sink* sink)
    {
        if (sink == nullptr)
            return false;
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        const std::vector<Sink*>* list = ListOf(path, serial);
        if (list == nullptr || std::find(list->begin(), list->end(), sink) == list->end())
            return false;
        Calls& calls = CallsOfTheFamily();
        std::lock_guard<std::mutex> guard(calls.lock);
        calls.list.push_back(Call{sink, path, std::this_thread::get_id()});
        return true;
    }

    // Calls the sink when it is still in the list the walk works on. A sink
    // that throws is logged and the walk goes on: the exception must not
    // reach the upload library's thread, nor leave the call open for a stop
    // to wait on for ever.
    template <typename Call>
    void CallSink(const std::wstring& path, unsigned long long serial, Sink* sink, Call call)
    {
        if (!BeginCall(path, serial, sink))
            return;
        try {
            const Frame::CCallOut callOut;
            call(sink);
        } catch (...) {
            Util::Log::Info(Tag(), L"a sink threw");
        }
        EndCall(path, sink);
    }

    static void EndCall(const std::wstring& path, Sink* sink)
    {
        Calls& calls = CallsOfTheFamily();
        {
            std::lock_guard<std::mutex> guard(calls.lock);
            const auto me = std::this_thread::get_id();
            auto it = std::find_if(calls.list.begin(), calls.list.end(), [&](const Call& call) {
                return call.sink == sink && call.thread == me && call.path == path;
            });
            if (it != calls.list.end())
                calls.list.erase(it);
        }
        calls.ended.notify_all();
    }

    // Waits for calls on other threads to the path's sinks (to the one sink
    // when it is not null; to every sink of the family when all is set).
    // Calls on this thread are the caller's own callbacks.
    static void WaitForCalls(const std::wstring& path, Sink* sink, bool all)
    {
        const auto me = std::this_thread::get_id();
        Calls& calls = CallsOfTheFamily();
        std::unique_lock<std::mutex> guard(calls.lock);
        Frame::CCallOut::Wait(guard, calls.ended, [&] {
            return std::none_of(calls.list.begin(), calls.list.end(), [&](const Call& call) {
                return call.thread != me && (all || (call.path == path && (sink == nullptr || call.sink == sink)));
            });
        });
    }

    // One for each family (each Sink type), for the life of the process: a
    // delivery may end its call while the process exits.
    static Calls& CallsOfTheFamily()
    {
        static Calls& calls = *new Calls();
        return calls;
    }

    std::map<unsigned, std::wstring> m_tickets;
    std::map<std::wstring, SinkEntry> m_sinks;
    std::map<std::wstring, unsigned long long> m_uploads;
    // Lists whose result is being reported, by serial.
    std::map<unsigned long long, Ending> m_ending;
    unsigned long long m_serial = 0;
};

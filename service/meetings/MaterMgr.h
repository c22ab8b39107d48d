#pragma once
// CMaterMgr: the manager behind MaterApi. Unlike the other REST managers it
// keeps a table from request identifier to the request's full address and
// recognises the operation of a result by that address, so every request is
// answered, not only the latest of its kind.
//
// Results arrive on the HTTPS service's delivery thread while the client
// reads the cache and the page numbers on its own thread: the table, the
// cache and the counters are guarded by the manager's locks, which are never
// held while a signal is emitted.

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "pelbo/core/LastReference.h"
#include "pelbo/core/RestRequest.h"
#include "pelbo/core/Singleton.h"
#include "pelbo/corekit/XData.h"
#include "pelbo/netcall/HttpsRequest.h"

class CMaterMgr : public IHttpsRequestSink, public CLastReference {
public:
    CMaterMgr() = default;
    // Detaches from the HTTPS service before the cache and table go away.
    ~CMaterMgr() override;
    CMaterMgr(const CMaterMgr&) = delete;
    CMaterMgr& operator=(const CMaterMgr&) = delete;

    int GetMaterList(unsigned corpId, const wchar_t* token, unsigned page, unsigned pageSize);
    int MaterAdd(unsigned corpId, const wchar_t* token, unsigned fileId, const wchar_t* filePath, unsigned type,
                 const wchar_t* roomCode);
    int MaterDel(int64_t materId, const wchar_t* token);
    int MaterDetail(int64_t materId, const wchar_t* token, unsigned type);
    int MaterEdit(int64_t materId, const wchar_t* token, const wchar_t* title);

    unsigned CurPage() const;
    unsigned TotalPage() const;
    unsigned MaterCount() const;
    std::vector<XDataPtr<IXData>> ListCache() const;
    // The address a request was sent to; empty when the identifier is unknown
    // or its result has arrived.
    std::wstring RequestUrl(unsigned id) const;

    void OnHttpsReqResult(unsigned& id, const std::wstring& request, const std::wstring& response,
                          int& completed) override;

    static CSingleton<CMaterMgr>& Instance();

    // The title a material gets: the file name after the last backslash, or
    // after the last slash when there is none; the whole path otherwise.
    static std::wstring FileTitle(const wchar_t* path);

private:
    // Sends and, when accepted, enters the request in the table.
    int Send(E_REST_METHOD method, const wchar_t* path, const wchar_t* token, const Json::Value& body);

    void OnList(const Json::Value& sent, const std::wstring& response);
    void OnAdd(const Json::Value& sent, const std::wstring& response, int completed);
    void OnDel(const Json::Value& sent, const std::wstring& response, int completed);
    void OnDetail(const Json::Value& sent, const std::wstring& response, int completed);
    void OnEdit(const Json::Value& sent, const std::wstring& response);

    // Held while the HTTPS service writes a new identifier and while a result
    // looks its identifier up, so a result that races its own Request call
    // still finds its entry. Re-entrant for a service that delivers from
    // inside Request.
    mutable std::recursive_mutex m_tableLock;
    std::map<unsigned, std::wstring> m_requests;

    mutable std::mutex m_cacheLock;
    std::vector<XDataPtr<IXData>> m_cache;
    unsigned m_curPage = 0;
    unsigned m_totalPage = 0;
    unsigned m_count = 0;
};

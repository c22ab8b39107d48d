#include "pelbo/meetings/MaterApi.h"

#include "pelbo/core/ExportGuard.h"
#include "pelbo/meetings/MaterMgr.h"

namespace MaterApi {
namespace {

// Runs one operation on the family's manager (created on first use); the
// failure value when no manager could be made or anything went wrong.
template <typename R, typename F>
R WithManager(const wchar_t* function, R failure, F&& call)
{
    return Frame::GuardExport(function, failure, [&call, &failure] {
        const auto mgr = CMaterMgr::Instance().Get();
        return mgr != nullptr ? call(*mgr) : failure;
    });
}

}  // namespace

int GetMaterList(unsigned corpId, const wchar_t* token, unsigned page, unsigned pageSize)
{
    return WithManager(L"MaterApi::GetMaterList", 0,
                       [&](CMaterMgr& mgr) { return mgr.GetMaterList(corpId, token, page, pageSize); });
}

int MaterAdd(unsigned corpId, const wchar_t* token, unsigned fileId, const wchar_t* filePath, unsigned type,
             const wchar_t* roomCode)
{
    return WithManager(L"MaterApi::MaterAdd", 0, [&](CMaterMgr& mgr) {
        return mgr.MaterAdd(corpId, token, fileId, filePath, type, roomCode);
    });
}

int MaterDel(int64_t materId, const wchar_t* token)
{
    return WithManager(L"MaterApi::MaterDel", 0, [&](CMaterMgr& mgr) { return mgr.MaterDel(materId, token); });
}

int MaterDetail(int64_t materId, const wchar_t* token, unsigned type)
{
    return WithManager(L"MaterApi::MaterDetail", 0,
                       [&](CMaterMgr& mgr) { return mgr.MaterDetail(materId, token, type); });
}

int MaterEdit(int64_t materId, const wchar_t* token, const wchar_t* title)
{
    return WithManager(L"MaterApi::MaterEdit", 0,
                       [&](CMaterMgr& mgr) { return mgr.MaterEdit(materId, token, title); });
}

unsigned GetMaterListCurPage()
{
    return WithManager(L"MaterApi::GetMaterListCurPage", 0u, [](CMaterMgr& mgr) { return mgr.CurPage(); });
}

unsigned GetMaterListTotalPage()
{
    return WithManager(L"MaterApi::GetMaterListTotalPage", 0u, [](CMaterMgr& mgr) { return mgr.TotalPage(); });
}

std::vector<XDataPtr<IXData>> GetMaterListCache()
{
    return WithManager(L"MaterApi::GetMaterListCache", std::vector<XDataPtr<IXData>>(),
                       [](CMaterMgr& mgr) { return mgr.ListCache(); });
}

void DoExit()
{
    Frame::GuardExport(L"MaterApi::DoExit", [] { CMaterMgr::Instance().Exit(); });
}

}  // namespace MaterApi

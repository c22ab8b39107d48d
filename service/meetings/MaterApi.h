#pragma once
// MaterApi: a corporation's materials (shared documents) on the REST
// service. Each request function sends one request and returns non-zero
// when the HTTPS service accepted it; the outcome arrives later through
// ServiceEvent::HttpsServiceEvent with the operation's request kind
// (core/RequestKind.h). Every result is answered, also when several of one
// kind are out.
//
// The family keeps a list cache of material records that grows page by page
// and that adds, deletes, details and renames update, and the count of
// materials, announced through ServiceEvent::UpdateMaterCount. A material
// that has become ready is announced through ServiceEvent::AddMaterItem.
// Record keys are described in docs/api-meetings.md.

#include <cstdint>
#include <vector>

#include "pelbo/core/ServiceExport.h"
#include "pelbo/corekit/XData.h"

namespace MaterApi {

// One page of the corporation's materials. Kind 14. Page 1 empties the list
// cache; each answer's materials are appended to it.
SERVICE_API int GetMaterList(unsigned corpId, const wchar_t* token, unsigned page, unsigned pageSize);

// Registers an uploaded file as a material; its title is the file name of
// the path. Kind 15, record with "FilePath", "MaterID" and "Duration" (the
// expected conversion time in seconds).
SERVICE_API int MaterAdd(unsigned corpId, const wchar_t* token, unsigned fileId, const wchar_t* filePath,
                         unsigned type, const wchar_t* roomCode);

// Kind 16, record with "MaterID".
SERVICE_API int MaterDel(int64_t materId, const wchar_t* token);

// Kind 17. With type 0, a material that has finished converting joins the
// front of the list cache and AddMaterItem announces it.
SERVICE_API int MaterDetail(int64_t materId, const wchar_t* token, unsigned type);

// Kind 20, record with "MaterID" and "MaterName".
SERVICE_API int MaterEdit(int64_t materId, const wchar_t* token, const wchar_t* title);

SERVICE_API unsigned GetMaterListCurPage();
// Pages of the list as the latest answer tells (count / page size + 1).
SERVICE_API unsigned GetMaterListTotalPage();

// A copy of the list cache: the records are shared, so a later rename shows
// through them; removals do not.
SERVICE_API std::vector<XDataPtr<IXData>> GetMaterListCache();

// Destroys the family's manager with its cache; the next call creates a
// fresh one. Outstanding requests are not cancelled, their results dropped.
SERVICE_API void DoExit();

}  // namespace MaterApi

#pragma once
// CLoginItem: the live record of one user's login item. Reads come from the
// values in memory; every change is written to the database first and
// applied in memory only when the write succeeded, both under the
// database's guard, so the record never shows a value that is not stored.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "ProfileDb.h"
#include "pelbo/corekit/XData.h"

namespace Keepsafe {

class CLoginItem final : public IXData {
public:
    // Starts with one reference, owned by the caller.
    CLoginItem(std::shared_ptr<CProfileDb> db, uint32_t userId);

    // Replaces the values in memory with those loaded from the database.
    // Called under the database's guard.
    void Reload(const std::vector<StoredValue>& values);
    // Cuts the record off from a removed item: every later change fails.
    void Detach() { m_detached.store(true); }

    long AddRef() override;
    long Release() override;

    int SetIXDataStr(const wchar_t* key, const wchar_t* value) override;
    int SetIXDataI32(const wchar_t* key, int32_t value) override;
    int SetIXDataU32(const wchar_t* key, uint32_t value) override;
    int SetIXDataI64(const wchar_t* key, int64_t value) override;
    int SetIXDataU64(const wchar_t* key, uint64_t value) override;
    int SetIXDataBool(const wchar_t* key, bool value) override;
    int SetArray(const wchar_t* key, IXDataArray* array) override;

    int GetIXDataStr(const wchar_t* key, CStringW& value) override;
    int GetIXDataI32(const wchar_t* key, int32_t& value) override;
    int GetIXDataU32(const wchar_t* key, uint32_t& value) override;
    int GetIXDataI64(const wchar_t* key, int64_t& value) override;
    int GetIXDataU64(const wchar_t* key, uint64_t& value) override;
    int GetIXDataBool(const wchar_t* key, bool& value) override;
    int GetArray(const wchar_t* key, IXDataArray** array) override;

    int HasKey(const wchar_t* key) override;
    E_XDATA_TYPE GetType(const wchar_t* key) override;
    int RemoveKey(const wchar_t* key) override;
    unsigned GetCount() override;
    int GetKeyAt(unsigned index, CStringW& key) override;

private:
    ~CLoginItem() override = default;
    // Stores the value, then applies it to the record in memory.
    int Write(const StoredValue& value);
    static void Apply(IXData& values, const StoredValue& value);

    std::atomic<long> m_refs{1};
    std::atomic<bool> m_detached{false};
    const std::shared_ptr<CProfileDb> m_db;
    const uint32_t m_userId;
    XDataPtr<IXData> m_values;
};

// Copies the scalar values of a record; false when it holds an array.
bool ToStoredValues(IXData& record, std::vector<StoredValue>& values);

}  // namespace Keepsafe

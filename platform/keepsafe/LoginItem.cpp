#include "LoginItem.h"

#include <new>
#include <utility>

namespace Keepsafe {
namespace {

StoredValue Integer(const wchar_t* key, E_XDATA_TYPE type, int64_t integer)
{
    StoredValue value;
    value.key = key;
    value.type = type;
    value.integer = integer;
    return value;
}

template <typename T>
bool ReadInteger(IXData& record, const wchar_t* key, int (IXData::*get)(const wchar_t*, T&), int64_t& integer)
{
    T value{};
    if ((record.*get)(key, value) == 0)
        return false;
    integer = static_cast<int64_t>(value);
    return true;
}

// Reads one scalar value of a record into its stored form.
bool ReadStored(IXData& record, const std::wstring& key, StoredValue& value)
{
    const wchar_t* name = key.c_str();
    value.key = key;
    value.type = record.GetType(name);
    switch (value.type) {
    case XDATA_STR: {
        CStringW text;
        if (record.GetIXDataStr(name, text) == 0)
            return false;
        value.text = text.str();
        return true;
    }
    case XDATA_I32:
        return ReadInteger<int32_t>(record, name, &IXData::GetIXDataI32, value.integer);
    case XDATA_U32:
        return ReadInteger<uint32_t>(record, name, &IXData::GetIXDataU32, value.integer);
    case XDATA_I64:
        return ReadInteger<int64_t>(record, name, &IXData::GetIXDataI64, value.integer);
    case XDATA_U64:
        return ReadInteger<uint64_t>(record, name, &IXData::GetIXDataU64, value.integer);
    case XDATA_BOOL: {
        bool flag = false;
        if (record.GetIXDataBool(name, flag) == 0)
            return false;
        value.integer = flag ? 1 : 0;
        return true;
    }
    default:
        return false;
    }
}

}  // namespace

bool ToStoredValues(IXData& record, std::vector<StoredValue>& values)
{
    values.clear();
    const unsigned count = record.GetCount();
    for (unsigned i = 0; i < count; ++i) {
        CStringW key;
        if (record.GetKeyAt(i, key) == 0)
            continue;
        StoredValue value;
        if (!ReadStored(record, key.str(), value))
            return false;
        values.push_back(std::move(value));
    }
    return true;
}

CLoginItem::CLoginItem(std::shared_ptr<CProfileDb> db, uint32_t userId) : m_db(std::move(db)), m_userId(userId)
{
    CreateIXData(m_values.Receive(), 0);
    if (!m_values)
        throw std::bad_alloc();
}

long CLoginItem::AddRef()
{
    return m_refs.fetch_add(1, std::memory_order_relaxed) + 1;
}

long CLoginItem::Release()
{
    const long remaining = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (remaining == 0)
        delete this;
    return remaining;
}

void CLoginItem::Apply(IXData& values, const StoredValue& value)
{
    const wchar_t* key = value.key.c_str();
    switch (value.type) {
    case XDATA_STR:
        values.SetIXDataStr(key, value.text.c_str());
        break;
    case XDATA_I32:
        values.SetIXDataI32(key, static_cast<int32_t>(value.integer));
        break;
    case XDATA_U32:
        values.SetIXDataU32(key, static_cast<uint32_t>(value.integer));
        break;
    case XDATA_I64:
        values.SetIXDataI64(key, value.integer);
        break;
    case XDATA_U64:
        values.SetIXDataU64(key, static_cast<uint64_t>(value.integer));
        break;
    case XDATA_BOOL:
        values.SetIXDataBool(key, value.integer != 0);
        break;
    default:
        break;
    }
}

void CLoginItem::Reload(const std::vector<StoredValue>& values)
{
    // Keys gone from the database go from the record too; the walk runs
    // from the end because removing shifts the later indexes.
    for (unsigned i = m_values->GetCount(); i-- > 0;) {
        CStringW key;
        if (m_values->GetKeyAt(i, key) == 0)
            continue;
        bool kept = false;
        for (const StoredValue& value : values)
            kept = kept || value.key == key.str();
        if (!kept)
            m_values->RemoveKey(key);
    }
    for (const StoredValue& value : values)
        Apply(*m_values.get(), value);
}

int CLoginItem::Write(const StoredValue& value)
{
    if (value.key.empty())
        return 0;
    auto guard = m_db->Guard();
    if (m_detached.load() || !m_db->WriteValue(m_userId, value))
        return 0;
    Apply(*m_values.get(), value);
    return 1;
}

int CLoginItem::SetIXDataStr(const wchar_t* key, const wchar_t* value)
{
    if (key == nullptr)
        return 0;
    try {
        StoredValue stored;
        stored.key = key;
        stored.type = XDATA_STR;
        stored.text = value != nullptr ? value : L"";
        return Write(stored);
    } catch (...) {
        return 0;
    }
}

int CLoginItem::SetIXDataI32(const wchar_t* key, int32_t value)
{
    try {
        return key != nullptr ? Write(Integer(key, XDATA_I32, value)) : 0;
    } catch (...) {
        return 0;
    }
}

int CLoginItem::SetIXDataU32(const wchar_t* key, uint32_t value)
{
    try {
        return key != nullptr ? Write(Integer(key, XDATA_U32, value)) : 0;
    } catch (...) {
        return 0;
    }
}

int CLoginItem::SetIXDataI64(const wchar_t* key, int64_t value)
{
    try {
        return key != nullptr ? Write(Integer(key, XDATA_I64, value)) : 0;
    } catch (...) {
        return 0;
    }
}

int CLoginItem::SetIXDataU64(const wchar_t* key, uint64_t value)
{
    try {
        return key != nullptr ? Write(Integer(key, XDATA_U64, static_cast<int64_t>(value))) : 0;
    } catch (...) {
        return 0;
    }
}

int CLoginItem::SetIXDataBool(const wchar_t* key, bool value)
{
    try {
        return key != nullptr ? Write(Integer(key, XDATA_BOOL, value ? 1 : 0)) : 0;
    } catch (...) {
        return 0;
    }
}

int CLoginItem::SetArray(const wchar_t*, IXDataArray*)
{
    return 0;
}

int CLoginItem::GetIXDataStr(const wchar_t* key, CStringW& value)
{
    return m_values->GetIXDataStr(key, value);
}

int CLoginItem::GetIXDataI32(const wchar_t* key, int32_t& value)
{
    return m_values->GetIXDataI32(key, value);
}

int CLoginItem::GetIXDataU32(const wchar_t* key, uint32_t& value)
{
    return m_values->GetIXDataU32(key, value);
}

int CLoginItem::GetIXDataI64(const wchar_t* key, int64_t& value)
{
    return m_values->GetIXDataI64(key, value);
}

int CLoginItem::GetIXDataU64(const wchar_t* key, uint64_t& value)
{
    return m_values->GetIXDataU64(key, value);
}

int CLoginItem::GetIXDataBool(const wchar_t* key, bool& value)
{
    return m_values->GetIXDataBool(key, value);
}

int CLoginItem::GetArray(const wchar_t*, IXDataArray**)
{
    return 0;
}

int CLoginItem::HasKey(const wchar_t* key)
{
    return m_values->HasKey(key);
}

E_XDATA_TYPE CLoginItem::GetType(const wchar_t* key)
{
    return m_values->GetType(key);
}

int CLoginItem::RemoveKey(const wchar_t* key)
{
    if (key == nullptr)
        return 0;
    try {
        auto guard = m_db->Guard();
        if (m_detached.load() || m_values->HasKey(key) == 0 || !m_db->DeleteValue(m_userId, key))
            return 0;
        return m_values->RemoveKey(key);
    } catch (...) {
        return 0;
    }
}

unsigned CLoginItem::GetCount()
{
    return m_values->GetCount();
}

int CLoginItem::GetKeyAt(unsigned index, CStringW& key)
{
    return m_values->GetKeyAt(index, key);
}

}  // namespace Keepsafe

#pragma once
// IXData: a reference-counted key/value record with typed values, keyed by
// wide text; IXDataArray: a reference-counted list of records. Both are
// internally locked, so one record may be read and written from several
// threads. Every setter and getter returns non-zero on success; a getter
// fails (and leaves its output untouched) when the key is missing or holds a
// value of another type.

#include <cstdint>

#include "pelbo/compat/StringW.h"
#include "pelbo/corekit/CorekitExport.h"

struct IXDataArray;

enum E_XDATA_TYPE : int {
    XDATA_NONE = 0,
    XDATA_STR = 1,
    XDATA_I32 = 2,
    XDATA_U32 = 3,
    XDATA_I64 = 4,
    XDATA_U64 = 5,
    XDATA_BOOL = 6,
    XDATA_ARRAY = 7,
};

struct IXData {
    virtual long AddRef() = 0;
    virtual long Release() = 0;

    virtual int SetIXDataStr(const wchar_t* key, const wchar_t* value) = 0;
    virtual int SetIXDataI32(const wchar_t* key, int32_t value) = 0;
    virtual int SetIXDataU32(const wchar_t* key, uint32_t value) = 0;
    virtual int SetIXDataI64(const wchar_t* key, int64_t value) = 0;
    virtual int SetIXDataU64(const wchar_t* key, uint64_t value) = 0;
    virtual int SetIXDataBool(const wchar_t* key, bool value) = 0;
    // Stores the array under key (adding a reference); a null array fails.
    virtual int SetArray(const wchar_t* key, IXDataArray* array) = 0;

    virtual int GetIXDataStr(const wchar_t* key, CStringW& value) = 0;
    virtual int GetIXDataI32(const wchar_t* key, int32_t& value) = 0;
    virtual int GetIXDataU32(const wchar_t* key, uint32_t& value) = 0;
    virtual int GetIXDataI64(const wchar_t* key, int64_t& value) = 0;
    virtual int GetIXDataU64(const wchar_t* key, uint64_t& value) = 0;
    virtual int GetIXDataBool(const wchar_t* key, bool& value) = 0;
    // Hands out the stored array with a reference added for the caller.
    virtual int GetArray(const wchar_t* key, IXDataArray** array) = 0;

    virtual int HasKey(const wchar_t* key) = 0;
    virtual E_XDATA_TYPE GetType(const wchar_t* key) = 0;
    virtual int RemoveKey(const wchar_t* key) = 0;
    // Keys in ascending order; index from 0 to GetCount() - 1. The key is
    // copied into the caller's string.
    virtual unsigned GetCount() = 0;
    virtual int GetKeyAt(unsigned index, CStringW& key) = 0;

protected:
    virtual ~IXData() = default;
};

struct IXDataArray {
    virtual long AddRef() = 0;
    virtual long Release() = 0;

    // Appends the record, adding a reference; a null record fails.
    virtual int Append(IXData* item) = 0;
    virtual unsigned GetCount() = 0;
    // Hands out the element with a reference added for the caller.
    virtual int GetAt(unsigned index, IXData** item) = 0;

protected:
    virtual ~IXDataArray() = default;
};

namespace Util {
namespace XData {
// The option is always 0. Return non-zero on success; the new object carries
// one reference, which the caller owns.
COREKIT_API int CreateIXData(IXData** data, int option);
COREKIT_API int CreateIXDataArray(IXDataArray** array, int option);
}  // namespace XData
}  // namespace Util

using Util::XData::CreateIXData;
using Util::XData::CreateIXDataArray;

// Owns one reference to an IXData or IXDataArray; for code that must release
// on every path.
template <typename T>
class XDataPtr {
public:
    XDataPtr() = default;
    explicit XDataPtr(T* adopted) : m_ptr(adopted) {}
    XDataPtr(const XDataPtr& other) : m_ptr(other.m_ptr)
    {
        if (m_ptr != nullptr)
            m_ptr->AddRef();
    }
    XDataPtr& operator=(const XDataPtr& other)
    {
        if (this != &other) {
            if (other.m_ptr != nullptr)
                other.m_ptr->AddRef();
            Reset();
            m_ptr = other.m_ptr;
        }
        return *this;
    }
    ~XDataPtr() { Reset(); }
    void Reset()
    {
        if (m_ptr != nullptr)
            m_ptr->Release();
        m_ptr = nullptr;
    }
    T* get() const { return m_ptr; }
    T* operator->() const { return m_ptr; }
    explicit operator bool() const { return m_ptr != nullptr; }
    // For the Create*/Get* functions that write a new reference.
    T** Receive()
    {
        Reset();
        return &m_ptr;
    }
    T* Detach()
    {
        T* p = m_ptr;
        m_ptr = nullptr;
        return p;
    }

private:
    T* m_ptr = nullptr;
};

#include "pelbo/corekit/XData.h"

#include <atomic>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace Util {
namespace XData {
namespace {

// The variant's alternatives follow E_XDATA_TYPE from XDATA_STR on, so the
// stored type is the alternative's index plus one.
using Value = std::variant<std::wstring, int32_t, uint32_t, int64_t, uint64_t, bool, XDataPtr<IXDataArray>>;

static_assert(std::variant_size_v<Value> == XDATA_ARRAY, "one alternative per stored type");

E_XDATA_TYPE TypeOf(const Value& value)
{
    return static_cast<E_XDATA_TYPE>(value.index() + 1);
}

// Reference counting shared by both classes; the count starts at one, owned
// by the creator.
class RefCounted {
protected:
    long DoAddRef() { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }
    // True when the last reference went; the caller then deletes itself.
    bool DoRelease(long& remaining)
    {
        remaining = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        return remaining == 0;
    }

private:
    std::atomic<long> m_refs{1};
};

class CXData final : public IXData, private RefCounted {
public:
    long AddRef() override { return DoAddRef(); }
    long Release() override
    {
        long remaining = 0;
        if (DoRelease(remaining))
            delete this;
        return remaining;
    }

    int SetIXDataStr(const wchar_t* key, const wchar_t* value) override
    {
        if (key == nullptr)
            return 0;
        try {
            return Store(key, Value(std::wstring(value != nullptr ? value : L"")));
        } catch (...) {
            return 0;
        }
    }
    int SetIXDataI32(const wchar_t* key, int32_t value) override { return Store(key, Value(value)); }
    int SetIXDataU32(const wchar_t* key, uint32_t value) override { return Store(key, Value(value)); }
    int SetIXDataI64(const wchar_t* key, int64_t value) override { return Store(key, Value(value)); }
    int SetIXDataU64(const wchar_t* key, uint64_t value) override { return Store(key, Value(value)); }
    int SetIXDataBool(const wchar_t* key, bool value) override { return Store(key, Value(value)); }
    int SetArray(const wchar_t* key, IXDataArray* array) override
    {
        if (array == nullptr)
            return 0;
        array->AddRef();
        return Store(key, Value(XDataPtr<IXDataArray>(array)));
    }

    int GetIXDataStr(const wchar_t* key, CStringW& value) override
    {
        try {
            std::wstring text;
            if (!Load(key, text))
                return 0;
            value = text;
            return 1;
        } catch (...) {
            return 0;
        }
    }
    int GetIXDataI32(const wchar_t* key, int32_t& value) override { return Load(key, value); }
    int GetIXDataU32(const wchar_t* key, uint32_t& value) override { return Load(key, value); }
    int GetIXDataI64(const wchar_t* key, int64_t& value) override { return Load(key, value); }
    int GetIXDataU64(const wchar_t* key, uint64_t& value) override { return Load(key, value); }
    int GetIXDataBool(const wchar_t* key, bool& value) override { return Load(key, value); }
    int GetArray(const wchar_t* key, IXDataArray** array) override
    {
        if (array == nullptr)
            return 0;
        XDataPtr<IXDataArray> held;
        if (!Load(key, held))
            return 0;
        *array = held.Detach();
        return 1;
    }

    int HasKey(const wchar_t* key) override { return GetType(key) != XDATA_NONE ? 1 : 0; }
    E_XDATA_TYPE GetType(const wchar_t* key) override
    {
        if (key == nullptr)
            return XDATA_NONE;
        try {
            std::lock_guard<std::mutex> lock(m_lock);
            const auto it = m_values.find(key);
            return it != m_values.end() ? TypeOf(it->second) : XDATA_NONE;
        } catch (...) {
            return XDATA_NONE;
        }
    }
    int RemoveKey(const wchar_t* key) override
    {
        if (key == nullptr)
            return 0;
        // The removed value may hold the last reference to an array; it is
        // released after the lock is let go, never while holding it.
        Value removed;
        try {
            std::lock_guard<std::mutex> lock(m_lock);
            const auto it = m_values.find(key);
            if (it == m_values.end())
                return 0;
            removed = std::move(it->second);
            m_values.erase(it);
        } catch (...) {
            return 0;
        }
        return 1;
    }
    unsigned GetCount() override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return static_cast<unsigned>(m_values.size());
    }
    int GetKeyAt(unsigned index, CStringW& key) override
    {
        try {
            std::wstring found;
            {
                std::lock_guard<std::mutex> lock(m_lock);
                if (index >= m_values.size())
                    return 0;
                found = std::next(m_values.begin(), static_cast<long>(index))->first;
            }
            key = found;
            return 1;
        } catch (...) {
            return 0;
        }
    }

private:
    ~CXData() override = default;

    int Store(const wchar_t* key, Value value)
    {
        if (key == nullptr)
            return 0;
        try {
            std::wstring name(key);
            {
                std::lock_guard<std::mutex> lock(m_lock);
                // Swapped, so an overwritten value is destroyed outside the lock.
                m_values[std::move(name)].swap(value);
            }
            return 1;
        } catch (...) {
            return 0;
        }
    }

    template <typename T>
    int Load(const wchar_t* key, T& out)
    {
        if (key == nullptr)
            return 0;
        try {
            std::lock_guard<std::mutex> lock(m_lock);
            const auto it = m_values.find(key);
            if (it == m_values.end())
                return 0;
            const T* stored = std::get_if<T>(&it->second);
            if (stored == nullptr)
                return 0;
            out = *stored;
            return 1;
        } catch (...) {
            return 0;
        }
    }

    std::mutex m_lock;
    std::map<std::wstring, Value> m_values;
};

class CXDataArray final : public IXDataArray, private RefCounted {
public:
    long AddRef() override { return DoAddRef(); }
    long Release() override
    {
        long remaining = 0;
        if (DoRelease(remaining))
            delete this;
        return remaining;
    }

    int Append(IXData* item) override
    {
        if (item == nullptr)
            return 0;
        item->AddRef();
        XDataPtr<IXData> held(item);
        try {
            std::lock_guard<std::mutex> lock(m_lock);
            m_items.push_back(std::move(held));
            return 1;
        } catch (...) {
            return 0;
        }
    }
    unsigned GetCount() override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return static_cast<unsigned>(m_items.size());
    }
    int GetAt(unsigned index, IXData** item) override
    {
        if (item == nullptr)
            return 0;
        XDataPtr<IXData> held;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (index >= m_items.size())
                return 0;
            held = m_items[index];
        }
        *item = held.Detach();
        return 1;
    }

private:
    ~CXDataArray() override = default;

    std::mutex m_lock;
    std::vector<XDataPtr<IXData>> m_items;
};

}  // namespace

int CreateIXData(IXData** data, int option)
{
    if (data == nullptr)
        return 0;
    *data = option == 0 ? new (std::nothrow) CXData() : nullptr;
    return *data != nullptr ? 1 : 0;
}

int CreateIXDataArray(IXDataArray** array, int option)
{
    if (array == nullptr)
        return 0;
    *array = option == 0 ? new (std::nothrow) CXDataArray() : nullptr;
    return *array != nullptr ? 1 : 0;
}

}  // namespace XData
}  // namespace Util

#pragma once
// CProfileDb: one SQLite connection to the profile database, with the
// recovery rule of the store: a database that SQLite finds corrupt or not a
// database, or whose tables the store cannot use, is moved aside and
// replaced by an empty one. Any other failure (a full disk, an I/O error, no
// permission) is reported and the file kept. Not locked by itself: callers
// hold Guard() around every call and around whatever must stay consistent
// with the database (a record's in-memory values).

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "pelbo/corekit/XData.h"

struct sqlite3;

namespace Keepsafe {

struct StoredValue {
    std::wstring key;
    E_XDATA_TYPE type = XDATA_NONE;
    int64_t integer = 0;  // I32, U32, I64, U64 (bit pattern) and BOOL
    std::wstring text;    // STR
};

class CProfileDb {
public:
    explicit CProfileDb(std::wstring path);
    ~CProfileDb();
    CProfileDb(const CProfileDb&) = delete;
    CProfileDb& operator=(const CProfileDb&) = delete;

    std::unique_lock<std::mutex> Guard() { return std::unique_lock<std::mutex>(m_lock); }
    const std::wstring& Path() const { return m_path; }

    // Opens the database when it is not open yet; false when it cannot be
    // used even after a fresh one was made.
    bool EnsureOpen();

    // The item's values; exists tells whether the user has an item.
    bool LoadItem(uint32_t userId, bool& exists, std::vector<StoredValue>& values);
    // Writes one value of an existing item; fails when the item is gone.
    bool WriteValue(uint32_t userId, const StoredValue& value);
    bool DeleteValue(uint32_t userId, const std::wstring& key);
    // Creates the item when missing and writes the values, all or nothing.
    bool SaveItem(uint32_t userId, const std::vector<StoredValue>& values);
    bool ListUsers(std::vector<uint32_t>& userIds);
    bool RemoveItem(uint32_t userId, bool& removed);

private:
    // damage tells why the file is unusable, empty when the failure lies
    // elsewhere.
    bool OpenChecked(int& error, std::string& damage);
    bool Exec(const char* sql);
    // Looks at a failed step: a corrupt database is replaced at once.
    void OnFailure(int error, const char* what);
    void MoveAsideAndRecreate(const char* reason);
    void CloseConnection();

    std::mutex m_lock;
    std::wstring m_path;
    sqlite3* m_db = nullptr;
};

}  // namespace Keepsafe

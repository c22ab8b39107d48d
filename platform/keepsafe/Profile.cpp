#include "pelbo/keepsafe/Profile.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "LoginItem.h"
#include "ProfileDb.h"
#include "pelbo/corekit/Log.h"
#include "pelbo/corekit/Path.h"

namespace Aux {
namespace Profile {
namespace Global {
namespace {

using Keepsafe::CLoginItem;
using Keepsafe::CProfileDb;
using Keepsafe::StoredValue;

constexpr wchar_t kTag[] = L"keepsafe";
constexpr wchar_t kFileName[] = L"keepsafe.db";

// The process's store. Lock order: the store's lock, then the database's
// guard; a record takes only the database's guard, so the two never cross.
struct Store {
    std::mutex lock;
    std::wstring chosenPath;  // empty: the default file in the data folder
    std::shared_ptr<CProfileDb> db;
    // One live record per user id, kept while the item exists so that
    // every caller gets the same object.
    std::map<uint32_t, XDataPtr<CLoginItem>> items;
};

Store& TheStore()
{
    static Store store;
    return store;
}

std::wstring PathOf(const Store& store)
{
    if (!store.chosenPath.empty())
        return store.chosenPath;
    return Util::Path::GetDataFolder(0).str() + L"/" + kFileName;
}

// The open database of the store, made on first use. Store lock held.
std::shared_ptr<CProfileDb> Database(Store& store)
{
    if (!store.db)
        store.db = std::make_shared<CProfileDb>(PathOf(store));
    return store.db;
}

// Brings the cached record of the user in line with the database, making
// it when needed; null when the user has no item. Store lock and database
// guard held.
CLoginItem* Refresh(Store& store, const std::shared_ptr<CProfileDb>& db, uint32_t userId, bool& ok)
{
    bool exists = false;
    std::vector<StoredValue> values;
    ok = db->LoadItem(userId, exists, values);
    auto it = store.items.find(userId);
    if (!ok)
        return it != store.items.end() ? it->second.get() : nullptr;
    if (!exists) {
        // Removed, perhaps by another process: records still held stop
        // writing to it.
        if (it != store.items.end()) {
            it->second->Detach();
            store.items.erase(it);
        }
        return nullptr;
    }
    if (it == store.items.end())
        it = store.items.emplace(userId, XDataPtr<CLoginItem>(new CLoginItem(db, userId))).first;
    it->second->Reload(values);
    return it->second.get();
}

}  // namespace

int GetLoginItem(uint32_t userId, IXData** item, int)
{
    if (item == nullptr || userId == 0)
        return 0;
    try {
        Store& store = TheStore();
        std::lock_guard<std::mutex> lock(store.lock);
        const std::shared_ptr<CProfileDb> db = Database(store);
        auto guard = db->Guard();
        bool ok = false;
        CLoginItem* record = Refresh(store, db, userId, ok);
        if (!ok || record == nullptr)
            return 0;
        record->AddRef();
        *item = record;
        return 1;
    } catch (...) {
        return 0;
    }
}

int SaveLoginItem(uint32_t userId, IXData* values)
{
    if (userId == 0)
        return 0;
    try {
        std::vector<StoredValue> stored;
        if (values != nullptr && !Keepsafe::ToStoredValues(*values, stored)) {
            Util::Log::Warn(kTag, L"SaveLoginItem: user %u: arrays are not kept in login items", userId);
            return 0;
        }
        Store& store = TheStore();
        std::lock_guard<std::mutex> lock(store.lock);
        const std::shared_ptr<CProfileDb> db = Database(store);
        auto guard = db->Guard();
        if (!db->SaveItem(userId, stored))
            return 0;
        bool ok = false;
        Refresh(store, db, userId, ok);
        return 1;
    } catch (...) {
        return 0;
    }
}

int HasLoginItem(uint32_t userId)
{
    if (userId == 0)
        return 0;
    try {
        Store& store = TheStore();
        std::lock_guard<std::mutex> lock(store.lock);
        const std::shared_ptr<CProfileDb> db = Database(store);
        auto guard = db->Guard();
        bool exists = false;
        std::vector<StoredValue> values;
        return db->LoadItem(userId, exists, values) && exists ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int ListLoginItems(std::vector<uint32_t>& userIds)
{
    try {
        Store& store = TheStore();
        std::lock_guard<std::mutex> lock(store.lock);
        const std::shared_ptr<CProfileDb> db = Database(store);
        auto guard = db->Guard();
        return db->ListUsers(userIds) ? 1 : 0;
    } catch (...) {
        userIds.clear();
        return 0;
    }
}

int RemoveLoginItem(uint32_t userId)
{
    if (userId == 0)
        return 0;
    try {
        Store& store = TheStore();
        std::lock_guard<std::mutex> lock(store.lock);
        const std::shared_ptr<CProfileDb> db = Database(store);
        auto guard = db->Guard();
        bool removed = false;
        if (!db->RemoveItem(userId, removed))
            return 0;
        auto it = store.items.find(userId);
        if (it != store.items.end()) {
            it->second->Detach();
            store.items.erase(it);
        }
        if (removed)
            Util::Log::Info(kTag, L"RemoveLoginItem: user %u removed", userId);
        return removed ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int Open(const wchar_t* path)
{
    try {
        Store& store = TheStore();
        std::lock_guard<std::mutex> lock(store.lock);
        store.items.clear();
        store.db.reset();
        store.chosenPath = path != nullptr ? path : L"";
        const std::shared_ptr<CProfileDb> db = Database(store);
        auto guard = db->Guard();
        return db->EnsureOpen() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

void Close()
{
    Store& store = TheStore();
    // Released outside the lock: the last release closes the connection.
    std::shared_ptr<CProfileDb> db;
    std::map<uint32_t, XDataPtr<CLoginItem>> items;
    std::lock_guard<std::mutex> lock(store.lock);
    items.swap(store.items);
    db.swap(store.db);
}

CStringW GetStorePath()
{
    try {
        Store& store = TheStore();
        std::lock_guard<std::mutex> lock(store.lock);
        return CStringW(store.db ? store.db->Path() : PathOf(store));
    } catch (...) {
        return CStringW();
    }
}

}  // namespace Global
}  // namespace Profile
}  // namespace Aux

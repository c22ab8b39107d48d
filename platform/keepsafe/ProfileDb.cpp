#include "ProfileDb.h"

#include <sqlite3.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <ctime>
#include <filesystem>
#include <system_error>
#include <utility>

#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/Log.h"

namespace fs = std::filesystem;

namespace Keepsafe {
namespace {

constexpr wchar_t kTag[] = L"CProfileDb";
// Another process may hold the write lock for a moment; wait for it rather
// than fail the caller's write.
constexpr int kBusyTimeoutMs = 5000;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS login_item ("
    "  user_id INTEGER PRIMARY KEY NOT NULL);"
    "CREATE TABLE IF NOT EXISTS item_value ("
    "  user_id INTEGER NOT NULL REFERENCES login_item(user_id) ON DELETE CASCADE,"
    "  key TEXT NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  value,"
    "  PRIMARY KEY (user_id, key)) WITHOUT ROWID;";

constexpr const char* kHasItem = "SELECT 1 FROM login_item WHERE user_id=?;";
constexpr const char* kItemValues = "SELECT key, type, value FROM item_value WHERE user_id=? ORDER BY key;";
constexpr const char* kWriteValue =
    "INSERT INTO item_value(user_id, key, type, value) VALUES(?, ?, ?, ?) "
    "ON CONFLICT(user_id, key) DO UPDATE SET type=excluded.type, value=excluded.value;";
constexpr const char* kDeleteValue = "DELETE FROM item_value WHERE user_id=? AND key=?;";
constexpr const char* kCreateItem = "INSERT OR IGNORE INTO login_item(user_id) VALUES(?);";
constexpr const char* kListUsers = "SELECT user_id FROM login_item ORDER BY user_id;";
constexpr const char* kRemoveItem = "DELETE FROM login_item WHERE user_id=?;";
// Every statement of the store, prepared once at open: a database of
// another shape (a file of an older or a foreign program) fails them.
constexpr const char* kStatements[] = {kHasItem,    kItemValues, kWriteValue, kDeleteValue,
                                       kCreateItem, kListUsers,  kRemoveItem};

std::string Utf8(const std::wstring& text)
{
    return ToMultiByte(text.c_str(), CP_UTF8);
}

std::wstring FromUtf8(const unsigned char* text)
{
    return text != nullptr ? ToWide(reinterpret_cast<const char*>(text), CP_UTF8) : std::wstring();
}

fs::path FsPath(const std::wstring& path)
{
    return fs::u8path(Utf8(path));
}

bool IsCorruption(int error)
{
    const int primary = error & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

// The store keeps the session token, so its files are the user's alone.
// SQLite gives the journal files the mode of the database file; a database
// left readable by others (an older version made it so) is closed up
// before it is opened. On Windows the per-user profile folder serves.
void KeepPrivate(const fs::path& file, bool create)
{
#if !defined(_WIN32)
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
    if (fd < 0)
        return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0 &&
        ::fchmod(fd, st.st_mode & 07700) == 0) {
        Util::Log::Info(kTag, L"KeepPrivate: %S was open to other users (mode %o), now to its owner only",
                        file.u8string().c_str(), static_cast<unsigned>(st.st_mode & 07777));
    }
    ::close(fd);
#else
    (void)file;
    (void)create;
#endif
}

// A prepared statement that is finalised on every path.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { m_error = sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr); }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool Ok() const { return m_error == SQLITE_OK; }
    int Error() const { return m_error; }
    sqlite3_stmt* get() const { return m_stmt; }

    void BindId(int index, uint32_t userId) { Check(sqlite3_bind_int64(m_stmt, index, userId)); }
    void BindText(int index, const std::string& text)
    {
        Check(sqlite3_bind_text(m_stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
    }
    void BindValue(int index, const StoredValue& value)
    {
        if (value.type == XDATA_STR)
            BindText(index, Utf8(value.text));
        else
            Check(sqlite3_bind_int64(m_stmt, index, value.integer));
    }
    // SQLITE_ROW, SQLITE_DONE or an error (kept in Error()).
    int Step()
    {
        if (!Ok())
            return m_error;
        const int rc = sqlite3_step(m_stmt);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            m_error = rc;
        return rc;
    }

private:
    void Check(int rc)
    {
        if (m_error == SQLITE_OK && rc != SQLITE_OK)
            m_error = rc;
    }

    sqlite3_stmt* m_stmt = nullptr;
    int m_error = SQLITE_OK;
};

std::string TimeStamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32] = {};
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return text;
}

}  // namespace

CProfileDb::CProfileDb(std::wstring path) : m_path(std::move(path)) {}

CProfileDb::~CProfileDb()
{
    CloseConnection();
}

void CProfileDb::CloseConnection()
{
    // sqlite3_close_v2 defers the close until every statement is finalised;
    // statements here never outlive a call.
    sqlite3_close_v2(m_db);
    m_db = nullptr;
}

bool CProfileDb::Exec(const char* sql)
{
    const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        OnFailure(rc, sql);
        return false;
    }
    return true;
}

bool CProfileDb::OpenChecked(int& error, std::string& damage)
{
    damage.clear();
    const fs::path file = FsPath(m_path);
    KeepPrivate(file, true);
    for (const char* suffix : {"-wal", "-shm"}) {
        fs::path journal = file;
        journal += suffix;
        KeepPrivate(journal, false);
    }
    error = sqlite3_open_v2(Utf8(m_path).c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (error == SQLITE_OK) {
        sqlite3_extended_result_codes(m_db, 1);
        sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    }
    // The first statements read the file header and every page of the
    // quick check: a damaged file fails here, before any caller sees it.
    const char* const setup[] = {
        "PRAGMA foreign_keys=ON;",
        "PRAGMA journal_mode=WAL;",
        "PRAGMA synchronous=FULL;",
    };
    for (const char* sql : setup) {
        if (error == SQLITE_OK)
            error = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    }
    if (error == SQLITE_OK) {
        Statement check(m_db, "PRAGMA quick_check;");
        const int rc = check.Step();
        if (rc != SQLITE_ROW) {
            error = check.Error();
        } else {
            const auto* answer = reinterpret_cast<const char*>(sqlite3_column_text(check.get(), 0));
            if (answer == nullptr || std::string(answer) != "ok") {
                error = SQLITE_CORRUPT;
                damage = std::string("quick check: ") + (answer != nullptr ? answer : "no answer");
            }
        }
    }
    if (error == SQLITE_OK)
        error = sqlite3_exec(m_db, kSchema, nullptr, nullptr, nullptr);
    // Tables of another shape fail the same way on every later call, for
    // ever: they count as damage. The foreign key check also fails when the
    // tables do not link up.
    bool shapeChecked = false;
    for (const char* sql : kStatements) {
        if (error != SQLITE_OK)
            break;
        shapeChecked = true;
        Statement check(m_db, sql);
        error = check.Error();
    }
    if (error == SQLITE_OK) {
        Statement links(m_db, "PRAGMA foreign_key_check(item_value);");
        int rc = SQLITE_ROW;
        while ((rc = links.Step()) == SQLITE_ROW) {
        }
        if (rc != SQLITE_DONE)
            error = links.Error();
    }
    if (shapeChecked && (error & 0xff) == SQLITE_ERROR)
        damage = std::string("unusable tables: ") + sqlite3_errmsg(m_db);
    if (error == SQLITE_OK)
        return true;
    if (damage.empty() && IsCorruption(error))
        damage = sqlite3_errstr(error);
    CloseConnection();
    return false;
}

bool CProfileDb::EnsureOpen()
{
    if (m_db != nullptr)
        return true;
    int error = SQLITE_OK;
    std::string damage;
    if (OpenChecked(error, damage))
        return true;
    if (damage.empty()) {
        // A full disk, an I/O error, a lock held elsewhere or a file or
        // folder that may not be read or written says nothing against the
        // file: moved aside, every login item would be lost once the cause
        // is gone. The next call tries again.
        Util::Log::Error(kTag, L"EnsureOpen: cannot open %s: %S (%d); the file stays as it is", m_path.c_str(),
                         sqlite3_errstr(error), error);
        return false;
    }
    MoveAsideAndRecreate(damage.c_str());
    return m_db != nullptr;
}

void CProfileDb::OnFailure(int error, const char* what)
{
    Util::Log::Warn(kTag, L"%S failed: %S (%d)", what, sqlite3_errstr(error), error);
    if (IsCorruption(error))
        MoveAsideAndRecreate(sqlite3_errstr(error));
}

void CProfileDb::MoveAsideAndRecreate(const char* reason)
{
    CloseConnection();
    const fs::path file = FsPath(m_path);
    const std::string stamp = TimeStamp();
    fs::path aside = file;
    aside += ".corrupt-" + stamp;
    std::error_code ec;
    for (int n = 1; fs::exists(aside, ec) && n < 1000; ++n) {
        aside = file;
        aside += ".corrupt-" + stamp + "-" + std::to_string(n);
    }
    fs::rename(file, aside, ec);
    if (ec) {
        Util::Log::Error(kTag, L"MoveAside: cannot move %s aside (%S): %S", m_path.c_str(), reason,
                         ec.message().c_str());
        return;
    }
    // The journal files belong to the damaged database; a fresh one must
    // not replay them.
    for (const char* suffix : {"-wal", "-shm"}) {
        fs::path journal = file;
        journal += suffix;
        fs::path journalAside = aside;
        journalAside += suffix;
        if (fs::exists(journal, ec))
            fs::rename(journal, journalAside, ec);
    }
    Util::Log::Error(kTag, L"MoveAside: %s was unusable (%S), moved to %S; starting an empty store",
                     m_path.c_str(), reason, aside.u8string().c_str());
    int error = SQLITE_OK;
    std::string damage;
    if (!OpenChecked(error, damage))
        Util::Log::Error(kTag, L"MoveAside: cannot create a fresh %s (%d)", m_path.c_str(), error);
}

bool CProfileDb::LoadItem(uint32_t userId, bool& exists, std::vector<StoredValue>& values)
{
    exists = false;
    values.clear();
    if (!EnsureOpen())
        return false;
    // One read transaction, so the existence and the values agree even
    // while another process writes.
    if (!Exec("BEGIN;"))
        return false;
    bool ok = true;
    {
        Statement has(m_db, kHasItem);
        has.BindId(1, userId);
        const int rc = has.Step();
        exists = rc == SQLITE_ROW;
        ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
        if (!ok)
            OnFailure(has.Error(), "LoadItem");
    }
    if (ok && exists) {
        Statement rows(m_db, kItemValues);
        rows.BindId(1, userId);
        int rc = SQLITE_ROW;
        while ((rc = rows.Step()) == SQLITE_ROW) {
            StoredValue value;
            value.key = FromUtf8(sqlite3_column_text(rows.get(), 0));
            value.type = static_cast<E_XDATA_TYPE>(sqlite3_column_int(rows.get(), 1));
            if (value.type == XDATA_STR)
                value.text = FromUtf8(sqlite3_column_text(rows.get(), 2));
            else
                value.integer = sqlite3_column_int64(rows.get(), 2);
            values.push_back(std::move(value));
        }
        if (rc != SQLITE_DONE) {
            ok = false;
            OnFailure(rows.Error(), "LoadItem");
        }
    }
    if (m_db != nullptr)
        sqlite3_exec(m_db, ok ? "COMMIT;" : "ROLLBACK;", nullptr, nullptr, nullptr);
    if (!ok)
        exists = false;
    return ok;
}

bool CProfileDb::WriteValue(uint32_t userId, const StoredValue& value)
{
    if (!EnsureOpen())
        return false;
    // The foreign key turns a write to an item that was removed (here or in
    // another process) into a failure instead of a stray row.
    Statement upsert(m_db, kWriteValue);
    upsert.BindId(1, userId);
    upsert.BindText(2, Utf8(value.key));
    if (upsert.Ok())
        sqlite3_bind_int(upsert.get(), 3, value.type);
    upsert.BindValue(4, value);
    if (upsert.Step() != SQLITE_DONE) {
        OnFailure(upsert.Error(), "WriteValue");
        return false;
    }
    return true;
}

bool CProfileDb::DeleteValue(uint32_t userId, const std::wstring& key)
{
    if (!EnsureOpen())
        return false;
    Statement del(m_db, kDeleteValue);
    del.BindId(1, userId);
    del.BindText(2, Utf8(key));
    if (del.Step() != SQLITE_DONE) {
        OnFailure(del.Error(), "DeleteValue");
        return false;
    }
    return true;
}

bool CProfileDb::SaveItem(uint32_t userId, const std::vector<StoredValue>& values)
{
    if (!EnsureOpen())
        return false;
    // IMMEDIATE takes the write lock up front, so a concurrent writer makes
    // this wait (busy timeout) instead of failing half-way.
    if (!Exec("BEGIN IMMEDIATE;"))
        return false;
    bool ok = true;
    {
        Statement create(m_db, kCreateItem);
        create.BindId(1, userId);
        if (create.Step() != SQLITE_DONE) {
            ok = false;
            OnFailure(create.Error(), "SaveItem");
        }
    }
    for (const StoredValue& value : values) {
        if (!ok || m_db == nullptr)
            break;
        ok = WriteValue(userId, value);
    }
    if (m_db == nullptr)
        return false;
    if (ok && sqlite3_exec(m_db, "COMMIT;", nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    sqlite3_exec(m_db, "ROLLBACK;", nullptr, nullptr, nullptr);
    return false;
}

bool CProfileDb::ListUsers(std::vector<uint32_t>& userIds)
{
    userIds.clear();
    if (!EnsureOpen())
        return false;
    Statement rows(m_db, kListUsers);
    int rc = SQLITE_ROW;
    while ((rc = rows.Step()) == SQLITE_ROW)
        userIds.push_back(static_cast<uint32_t>(sqlite3_column_int64(rows.get(), 0)));
    if (rc != SQLITE_DONE) {
        userIds.clear();
        OnFailure(rows.Error(), "ListUsers");
        return false;
    }
    return true;
}

bool CProfileDb::RemoveItem(uint32_t userId, bool& removed)
{
    removed = false;
    if (!EnsureOpen())
        return false;
    Statement del(m_db, kRemoveItem);
    del.BindId(1, userId);
    if (del.Step() != SQLITE_DONE) {
        OnFailure(del.Error(), "RemoveItem");
        return false;
    }
    removed = sqlite3_changes(m_db) > 0;
    return true;
}

}  // namespace Keepsafe

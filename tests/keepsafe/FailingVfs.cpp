#include "FailingVfs.h"

#include <sqlite3.h>

#include <atomic>
#include <mutex>

namespace FailingVfs {
namespace {

std::atomic<Fault> g_fault{Fault::None};
sqlite3_vfs* g_real = nullptr;
sqlite3_vfs g_vfs{};

// The real file lives right behind this header in the same allocation
// (szOsFile covers both).
struct ShimFile {
    sqlite3_file base;
    sqlite3_file* real;
};

sqlite3_file* Real(sqlite3_file* file)
{
    return reinterpret_cast<ShimFile*>(file)->real;
}

const sqlite3_io_methods& RealMethods(sqlite3_file* file)
{
    return *Real(file)->pMethods;
}

int Close(sqlite3_file* file)
{
    return RealMethods(file).xClose(Real(file));
}

int Read(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset)
{
    if (g_fault.load() == Fault::Reads)
        return SQLITE_IOERR_READ;
    return RealMethods(file).xRead(Real(file), buffer, amount, offset);
}

int Write(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset)
{
    if (g_fault.load() == Fault::Writes)
        return SQLITE_FULL;
    return RealMethods(file).xWrite(Real(file), buffer, amount, offset);
}

int Truncate(sqlite3_file* file, sqlite3_int64 size)
{
    if (g_fault.load() == Fault::Writes)
        return SQLITE_FULL;
    return RealMethods(file).xTruncate(Real(file), size);
}

int Sync(sqlite3_file* file, int flags)
{
    if (g_fault.load() == Fault::Writes)
        return SQLITE_IOERR_FSYNC;
    return RealMethods(file).xSync(Real(file), flags);
}

int FileSize(sqlite3_file* file, sqlite3_int64* size)
{
    return RealMethods(file).xFileSize(Real(file), size);
}

int Lock(sqlite3_file* file, int level)
{
    return RealMethods(file).xLock(Real(file), level);
}

int Unlock(sqlite3_file* file, int level)
{
    return RealMethods(file).xUnlock(Real(file), level);
}

int CheckReservedLock(sqlite3_file* file, int* reserved)
{
    return RealMethods(file).xCheckReservedLock(Real(file), reserved);
}

int FileControl(sqlite3_file* file, int op, void* arg)
{
    return RealMethods(file).xFileControl(Real(file), op, arg);
}

int SectorSize(sqlite3_file* file)
{
    return RealMethods(file).xSectorSize(Real(file));
}

int DeviceCharacteristics(sqlite3_file* file)
{
    return RealMethods(file).xDeviceCharacteristics(Real(file));
}

int ShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** map)
{
    return RealMethods(file).xShmMap(Real(file), region, size, extend, map);
}

int ShmLock(sqlite3_file* file, int offset, int n, int flags)
{
    return RealMethods(file).xShmLock(Real(file), offset, n, flags);
}

void ShmBarrier(sqlite3_file* file)
{
    RealMethods(file).xShmBarrier(Real(file));
}

int ShmUnmap(sqlite3_file* file, int deleteFlag)
{
    return RealMethods(file).xShmUnmap(Real(file), deleteFlag);
}

// No memory-mapped pages: every read goes through Read, where the fault is.
int Fetch(sqlite3_file*, sqlite3_int64, int, void** page)
{
    *page = nullptr;
    return SQLITE_OK;
}

int Unfetch(sqlite3_file*, sqlite3_int64, void*)
{
    return SQLITE_OK;
}

sqlite3_io_methods Methods()
{
    sqlite3_io_methods methods{};
    methods.iVersion = 3;
    methods.xClose = Close;
    methods.xRead = Read;
    methods.xWrite = Write;
    methods.xTruncate = Truncate;
    methods.xSync = Sync;
    methods.xFileSize = FileSize;
    methods.xLock = Lock;
    methods.xUnlock = Unlock;
    methods.xCheckReservedLock = CheckReservedLock;
    methods.xFileControl = FileControl;
    methods.xSectorSize = SectorSize;
    methods.xDeviceCharacteristics = DeviceCharacteristics;
    methods.xShmMap = ShmMap;
    methods.xShmLock = ShmLock;
    methods.xShmBarrier = ShmBarrier;
    methods.xShmUnmap = ShmUnmap;
    methods.xFetch = Fetch;
    methods.xUnfetch = Unfetch;
    return methods;
}

const sqlite3_io_methods kMethods = Methods();

int Open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags)
{
    auto* shim = reinterpret_cast<ShimFile*>(file);
    shim->real = reinterpret_cast<sqlite3_file*>(shim + 1);
    shim->real->pMethods = nullptr;
    const int rc = g_real->xOpen(g_real, name, shim->real, flags, outFlags);
    file->pMethods = shim->real->pMethods != nullptr ? &kMethods : nullptr;
    return rc;
}

}  // namespace

void Install()
{
    static std::once_flag once;
    std::call_once(once, [] {
        g_real = sqlite3_vfs_find(nullptr);
        // The other entry points (names, access checks, time) are the real
        // VFS's own; only the files are wrapped.
        g_vfs = *g_real;
        g_vfs.pNext = nullptr;
        g_vfs.zName = "pelbo-failing";
        g_vfs.szOsFile = static_cast<int>(sizeof(ShimFile)) + g_real->szOsFile;
        g_vfs.xOpen = Open;
        sqlite3_vfs_register(&g_vfs, 1);
    });
}

void Set(Fault fault)
{
    g_fault.store(fault);
}

}  // namespace FailingVfs

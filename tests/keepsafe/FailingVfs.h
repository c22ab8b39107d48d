#pragma once
// A SQLite VFS over the system's default one that, on request, fails every
// read the way a failing disk does (SQLITE_IOERR_READ) or every write the way
// a full one does (SQLITE_FULL). Installed as the default VFS, so the store
// under test goes through it without knowing; a real disk fault needs
// privileges, and permissions do not stop a test that runs as root.

namespace FailingVfs {

enum class Fault { None, Reads, Writes };

// Registers the VFS as the default, once per process. Connections opened
// before keep the VFS they were opened with.
void Install();
void Set(Fault fault);

}  // namespace FailingVfs

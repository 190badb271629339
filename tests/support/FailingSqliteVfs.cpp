#include "support/FailingSqliteVfs.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace zorp::test {

namespace {

constexpr int kOperations = 3;

// The state the C callbacks see; one test file system at a time.
struct VfsState {
    sqlite3_vfs vfs{};
    sqlite3_vfs* real = nullptr;
    std::mutex folderMutex;
    std::string folder;
    std::atomic<int> calls[kOperations];
    std::atomic<int> armedOperation{-1};
    std::atomic<int> failAt{0};
    std::atomic<int> code{SQLITE_IOERR};
    std::atomic<bool> sticky{false};
    std::atomic<int> failures{0};
    bool active = false;
};

VfsState& State() {
    static VfsState state;
    return state;
}

// A file of ours: our method table, then the real file in the space after it.
struct WrappedFile {
    sqlite3_file base;
    bool watched;
    sqlite3_file* Real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};

sqlite3_file* RealOf(sqlite3_file* file) { return reinterpret_cast<WrappedFile*>(file)->Real(); }

// Counts the call; true when this one is to fail.
bool ShouldFail(sqlite3_file* file, FailingSqliteVfs::Operation operation) {
    auto* wrapped = reinterpret_cast<WrappedFile*>(file);
    if (!wrapped->watched) {
        return false;
    }
    VfsState& state = State();
    const int index = static_cast<int>(operation);
    const int number = ++state.calls[index];
    if (state.armedOperation != index) {
        return false;
    }
    const int at = state.failAt;
    if (number == at || (state.sticky && number > at)) {
        ++state.failures;
        return true;
    }
    return false;
}

int Close(sqlite3_file* file) {
    sqlite3_file* real = RealOf(file);
    return real->pMethods ? real->pMethods->xClose(real) : SQLITE_OK;
}
int Read(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
    return RealOf(file)->pMethods->xRead(RealOf(file), buffer, amount, offset);
}
int Write(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
    if (ShouldFail(file, FailingSqliteVfs::Operation::kWrite)) {
        return State().code;
    }
    return RealOf(file)->pMethods->xWrite(RealOf(file), buffer, amount, offset);
}
int Truncate(sqlite3_file* file, sqlite3_int64 size) {
    if (ShouldFail(file, FailingSqliteVfs::Operation::kTruncate)) {
        const int code = State().code;
        return code == SQLITE_IOERR_WRITE ? SQLITE_IOERR_TRUNCATE : code;
    }
    return RealOf(file)->pMethods->xTruncate(RealOf(file), size);
}
int Sync(sqlite3_file* file, int flags) {
    if (ShouldFail(file, FailingSqliteVfs::Operation::kSync)) {
        const int code = State().code;
        return code == SQLITE_IOERR_WRITE ? SQLITE_IOERR_FSYNC : code;
    }
    return RealOf(file)->pMethods->xSync(RealOf(file), flags);
}
int FileSize(sqlite3_file* file, sqlite3_int64* size) {
    return RealOf(file)->pMethods->xFileSize(RealOf(file), size);
}
int Lock(sqlite3_file* file, int level) { return RealOf(file)->pMethods->xLock(RealOf(file), level); }
int Unlock(sqlite3_file* file, int level) {
    return RealOf(file)->pMethods->xUnlock(RealOf(file), level);
}
int CheckReservedLock(sqlite3_file* file, int* out) {
    return RealOf(file)->pMethods->xCheckReservedLock(RealOf(file), out);
}
int FileControl(sqlite3_file* file, int op, void* arg) {
    return RealOf(file)->pMethods->xFileControl(RealOf(file), op, arg);
}
int SectorSize(sqlite3_file* file) { return RealOf(file)->pMethods->xSectorSize(RealOf(file)); }
int DeviceCharacteristics(sqlite3_file* file) {
    return RealOf(file)->pMethods->xDeviceCharacteristics(RealOf(file));
}
int ShmMap(sqlite3_file* file, int page, int pageSize, int extend, void volatile** out) {
    sqlite3_file* real = RealOf(file);
    if (real->pMethods->iVersion < 2 || !real->pMethods->xShmMap) {
        return SQLITE_IOERR_SHMMAP;
    }
    return real->pMethods->xShmMap(real, page, pageSize, extend, out);
}
int ShmLock(sqlite3_file* file, int offset, int n, int flags) {
    return RealOf(file)->pMethods->xShmLock(RealOf(file), offset, n, flags);
}
void ShmBarrier(sqlite3_file* file) { RealOf(file)->pMethods->xShmBarrier(RealOf(file)); }
int ShmUnmap(sqlite3_file* file, int deleteFlag) {
    return RealOf(file)->pMethods->xShmUnmap(RealOf(file), deleteFlag);
}
int Fetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** out) {
    sqlite3_file* real = RealOf(file);
    if (real->pMethods->iVersion < 3 || !real->pMethods->xFetch) {
        *out = nullptr;
        return SQLITE_OK;
    }
    return real->pMethods->xFetch(real, offset, amount, out);
}
int Unfetch(sqlite3_file* file, sqlite3_int64 offset, void* page) {
    sqlite3_file* real = RealOf(file);
    if (real->pMethods->iVersion < 3 || !real->pMethods->xUnfetch) {
        return SQLITE_OK;
    }
    return real->pMethods->xUnfetch(real, offset, page);
}

const sqlite3_io_methods kMethods = {
    3,        Close,    Read,       Write,   Truncate,     Sync,
    FileSize, Lock,     Unlock,     CheckReservedLock,     FileControl,
    SectorSize,         DeviceCharacteristics,             ShmMap,
    ShmLock,  ShmBarrier,           ShmUnmap, Fetch,       Unfetch,
};

int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
    VfsState& state = State();
    auto* wrapped = reinterpret_cast<WrappedFile*>(file);
    wrapped->base.pMethods = nullptr;
    {
        std::lock_guard<std::mutex> lock(state.folderMutex);
        wrapped->watched = name && std::strncmp(name, state.folder.c_str(), state.folder.size()) == 0;
    }
    sqlite3_file* real = wrapped->Real();
    std::memset(real, 0, static_cast<size_t>(state.real->szOsFile));
    const int rc = state.real->xOpen(state.real, name, real, flags, outFlags);
    if (real->pMethods) {
        wrapped->base.pMethods = &kMethods;
    }
    return rc;
}

int Delete(sqlite3_vfs*, const char* name, int syncDir) {
    return State().real->xDelete(State().real, name, syncDir);
}
int Access(sqlite3_vfs*, const char* name, int flags, int* out) {
    return State().real->xAccess(State().real, name, flags, out);
}
int FullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
    return State().real->xFullPathname(State().real, name, size, out);
}
void* DlOpen(sqlite3_vfs*, const char* name) { return State().real->xDlOpen(State().real, name); }
void DlError(sqlite3_vfs*, int size, char* out) { State().real->xDlError(State().real, size, out); }
void (*DlSym(sqlite3_vfs*, void* handle, const char* symbol))(void) {
    return State().real->xDlSym(State().real, handle, symbol);
}
void DlClose(sqlite3_vfs*, void* handle) { State().real->xDlClose(State().real, handle); }
int Randomness(sqlite3_vfs*, int size, char* out) {
    return State().real->xRandomness(State().real, size, out);
}
int Sleep(sqlite3_vfs*, int micros) { return State().real->xSleep(State().real, micros); }
int CurrentTime(sqlite3_vfs*, double* out) { return State().real->xCurrentTime(State().real, out); }
int GetLastError(sqlite3_vfs*, int size, char* out) {
    return State().real->xGetLastError ? State().real->xGetLastError(State().real, size, out) : 0;
}
int CurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
    return State().real->xCurrentTimeInt64(State().real, out);
}

}  // namespace

FailingSqliteVfs::FailingSqliteVfs(std::filesystem::path folder) {
    VfsState& state = State();
    EXPECT_FALSE(state.active) << "one test file system at a time";
    sqlite3_initialize();
    state.real = sqlite3_vfs_find(nullptr);
    {
        std::lock_guard<std::mutex> lock(state.folderMutex);
        state.folder = folder.string();
    }
    sqlite3_vfs& vfs = state.vfs;
    vfs = sqlite3_vfs{};
    vfs.iVersion = 2;
    vfs.szOsFile = static_cast<int>(sizeof(WrappedFile)) + state.real->szOsFile;
    vfs.mxPathname = state.real->mxPathname;
    vfs.zName = "zorp-failing";
    vfs.xOpen = Open;
    vfs.xDelete = Delete;
    vfs.xAccess = Access;
    vfs.xFullPathname = FullPathname;
    vfs.xDlOpen = DlOpen;
    vfs.xDlError = DlError;
    vfs.xDlSym = DlSym;
    vfs.xDlClose = DlClose;
    vfs.xRandomness = Randomness;
    vfs.xSleep = Sleep;
    vfs.xCurrentTime = CurrentTime;
    vfs.xGetLastError = GetLastError;
    vfs.xCurrentTimeInt64 = CurrentTimeInt64;
    Count();
    EXPECT_EQ(sqlite3_vfs_register(&vfs, 1), SQLITE_OK);
    state.active = true;
}

FailingSqliteVfs::~FailingSqliteVfs() {
    VfsState& state = State();
    // Connections still open keep their files of this file system: they go on unharmed.
    state.armedOperation = -1;
    sqlite3_vfs_register(state.real, 1);
    sqlite3_vfs_unregister(&state.vfs);
    state.active = false;
}

void FailingSqliteVfs::Count() {
    VfsState& state = State();
    state.armedOperation = -1;
    for (auto& calls : state.calls) {
        calls = 0;
    }
    state.failures = 0;
}

void FailingSqliteVfs::Arm(Operation operation, int n, int code, bool sticky) {
    Count();
    VfsState& state = State();
    state.failAt = n;
    state.code = code;
    state.sticky = sticky;
    state.armedOperation = static_cast<int>(operation);
}

void FailingSqliteVfs::Disarm() { State().armedOperation = -1; }

int FailingSqliteVfs::Calls(Operation operation) const {
    return State().calls[static_cast<int>(operation)];
}

int FailingSqliteVfs::Failures() const { return State().failures; }

const char* FailingSqliteVfs::Name(Operation operation) {
    switch (operation) {
        case Operation::kWrite: return "write";
        case Operation::kSync: return "sync";
        case Operation::kTruncate: return "truncate";
    }
    return "?";
}

}  // namespace zorp::test

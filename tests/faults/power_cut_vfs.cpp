// A power cut for SQLite, loaded into the real program with LD_PRELOAD: it installs itself
// as the default VFS, in front of the one that was the default, and holds every write to a
// database, journal or WAL file in memory until that file is synced, as a disk's cache
// does. Reads and sizes see the held writes; a sync hands them to the file and then syncs
// it. When the process is killed, whatever was written since a file's last sync is gone,
// exactly as after a power cut that lands at that moment.
//
// The held writes are kept per file name for the whole process, so every connection (one
// per register, each on its own thread) sees the same file, as it would on a real disk.
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

// What was written to one file since its last sync, in order: writes and truncations.
struct HeldChange {
    bool truncate = false;
    sqlite3_int64 offset = 0;  // the new size for a truncation
    std::string bytes;
};

struct HeldFile {
    std::vector<HeldChange> changes;
};

std::mutex heldMutex;
std::map<std::string, HeldFile>& heldFiles() {
    static auto* files = new std::map<std::string, HeldFile>();
    return *files;
}

sqlite3_vfs* realVfs = nullptr;

struct CutFile {
    sqlite3_file base;
    std::string* name;  // owned; empty for files that are not held
    sqlite3_file* real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};

CutFile* cut(sqlite3_file* file) {
    return reinterpret_cast<CutFile*>(file);
}

bool held(CutFile* file) {
    return file->name != nullptr;
}

int realSize(CutFile* file, sqlite3_int64* size) {
    return file->real()->pMethods->xFileSize(file->real(), size);
}

// The file's size with the held changes applied.
int heldSize(CutFile* file, sqlite3_int64* size) {
    const int rc = realSize(file, size);
    if (rc != SQLITE_OK)
        return rc;
    for (const HeldChange& change : heldFiles()[*file->name].changes)
        *size = change.truncate ? change.offset
                                : std::max<sqlite3_int64>(
                                      *size, change.offset + sqlite3_int64(change.bytes.size()));
    return SQLITE_OK;
}

int cutClose(sqlite3_file* file) {
    CutFile* self = cut(file);
    const int rc =
        self->real()->pMethods ? self->real()->pMethods->xClose(self->real()) : SQLITE_OK;
    delete self->name;
    self->name = nullptr;
    return rc;
}

int cutRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
    CutFile* self = cut(file);
    if (!held(self))
        return self->real()->pMethods->xRead(self->real(), buffer, amount, offset);
    std::lock_guard lock(heldMutex);
    char* out = static_cast<char*>(buffer);
    int rc = self->real()->pMethods->xRead(self->real(), buffer, amount, offset);
    if (rc != SQLITE_OK && rc != SQLITE_IOERR_SHORT_READ)
        return rc;
    if (rc == SQLITE_IOERR_SHORT_READ) {
        sqlite3_int64 size = 0;
        realSize(self, &size);
        const sqlite3_int64 valid = std::clamp<sqlite3_int64>(size - offset, 0, amount);
        std::memset(out + valid, 0, size_t(amount - valid));
    }
    const sqlite3_int64 end = offset + amount;
    for (const HeldChange& change : heldFiles()[*self->name].changes) {
        if (change.truncate) {
            if (change.offset < end)
                std::memset(out + std::max<sqlite3_int64>(change.offset - offset, 0), 0,
                            size_t(end - std::max(change.offset, offset)));
            continue;
        }
        const sqlite3_int64 from = std::max(offset, change.offset);
        const sqlite3_int64 to = std::min(end, change.offset + sqlite3_int64(change.bytes.size()));
        if (from < to)
            std::memcpy(out + (from - offset), change.bytes.data() + (from - change.offset),
                        size_t(to - from));
    }
    sqlite3_int64 size = 0;
    heldSize(self, &size);
    return end > size ? SQLITE_IOERR_SHORT_READ : SQLITE_OK;
}

int cutWrite(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset) {
    CutFile* self = cut(file);
    if (!held(self))
        return self->real()->pMethods->xWrite(self->real(), data, amount, offset);
    std::lock_guard lock(heldMutex);
    heldFiles()[*self->name].changes.push_back(
        {false, offset, std::string(static_cast<const char*>(data), size_t(amount))});
    return SQLITE_OK;
}

int cutTruncate(sqlite3_file* file, sqlite3_int64 size) {
    CutFile* self = cut(file);
    if (!held(self))
        return self->real()->pMethods->xTruncate(self->real(), size);
    std::lock_guard lock(heldMutex);
    heldFiles()[*self->name].changes.push_back({true, size, {}});
    return SQLITE_OK;
}

// The held changes reach the file, then the file is synced: now they survive a cut.
int cutSync(sqlite3_file* file, int flags) {
    CutFile* self = cut(file);
    sqlite3_file* real = self->real();
    if (held(self)) {
        std::lock_guard lock(heldMutex);
        HeldFile& heldFile = heldFiles()[*self->name];
        for (const HeldChange& change : heldFile.changes) {
            const int rc = change.truncate
                               ? real->pMethods->xTruncate(real, change.offset)
                               : real->pMethods->xWrite(real, change.bytes.data(),
                                                        int(change.bytes.size()), change.offset);
            if (rc != SQLITE_OK)
                return rc;
        }
        heldFile.changes.clear();
    }
    return real->pMethods->xSync(real, flags);
}

int cutFileSize(sqlite3_file* file, sqlite3_int64* size) {
    CutFile* self = cut(file);
    if (!held(self))
        return realSize(self, size);
    std::lock_guard lock(heldMutex);
    return heldSize(self, size);
}

// Everything else goes to the real file unchanged.
int cutLock(sqlite3_file* f, int level) {
    return cut(f)->real()->pMethods->xLock(cut(f)->real(), level);
}
int cutUnlock(sqlite3_file* f, int level) {
    return cut(f)->real()->pMethods->xUnlock(cut(f)->real(), level);
}
int cutCheckReservedLock(sqlite3_file* f, int* out) {
    return cut(f)->real()->pMethods->xCheckReservedLock(cut(f)->real(), out);
}
int cutFileControl(sqlite3_file* f, int op, void* arg) {
    return cut(f)->real()->pMethods->xFileControl(cut(f)->real(), op, arg);
}
int cutSectorSize(sqlite3_file* f) {
    return cut(f)->real()->pMethods->xSectorSize(cut(f)->real());
}
int cutDeviceCharacteristics(sqlite3_file* f) {
    return cut(f)->real()->pMethods->xDeviceCharacteristics(cut(f)->real());
}
int cutShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
    return cut(f)->real()->pMethods->xShmMap(cut(f)->real(), region, size, extend, out);
}
int cutShmLock(sqlite3_file* f, int offset, int n, int flags) {
    return cut(f)->real()->pMethods->xShmLock(cut(f)->real(), offset, n, flags);
}
void cutShmBarrier(sqlite3_file* f) {
    cut(f)->real()->pMethods->xShmBarrier(cut(f)->real());
}
int cutShmUnmap(sqlite3_file* f, int deleteFlag) {
    return cut(f)->real()->pMethods->xShmUnmap(cut(f)->real(), deleteFlag);
}

// Version 2: shared memory for WAL, but no memory-mapped reads that would bypass xRead.
const sqlite3_io_methods kCutMethods = {2,
                                        cutClose,
                                        cutRead,
                                        cutWrite,
                                        cutTruncate,
                                        cutSync,
                                        cutFileSize,
                                        cutLock,
                                        cutUnlock,
                                        cutCheckReservedLock,
                                        cutFileControl,
                                        cutSectorSize,
                                        cutDeviceCharacteristics,
                                        cutShmMap,
                                        cutShmLock,
                                        cutShmBarrier,
                                        cutShmUnmap,
                                        nullptr,
                                        nullptr};

constexpr int kHeldKinds = SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_MAIN_JOURNAL | SQLITE_OPEN_WAL;

int cutOpen(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    CutFile* self = cut(file);
    self->name = nullptr;
    self->base.pMethods = nullptr;
    const int rc = realVfs->xOpen(realVfs, name, self->real(), flags, outFlags);
    if (rc != SQLITE_OK)
        return rc;
    if (name != nullptr && (flags & kHeldKinds) != 0)
        self->name = new std::string(name);
    self->base.pMethods = &kCutMethods;
    return SQLITE_OK;
}

// A file deleted is gone, held changes and all.
int cutDelete(sqlite3_vfs*, const char* name, int syncDir) {
    {
        std::lock_guard lock(heldMutex);
        heldFiles().erase(name);
    }
    return realVfs->xDelete(realVfs, name, syncDir);
}

int cutAccess(sqlite3_vfs*, const char* name, int flags, int* out) {
    return realVfs->xAccess(realVfs, name, flags, out);
}
int cutFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
    return realVfs->xFullPathname(realVfs, name, size, out);
}
void* cutDlOpen(sqlite3_vfs*, const char* name) {
    return realVfs->xDlOpen(realVfs, name);
}
void cutDlError(sqlite3_vfs*, int size, char* out) {
    realVfs->xDlError(realVfs, size, out);
}
void (*cutDlSym(sqlite3_vfs*, void* handle, const char* symbol))(void) {
    return realVfs->xDlSym(realVfs, handle, symbol);
}
void cutDlClose(sqlite3_vfs*, void* handle) {
    realVfs->xDlClose(realVfs, handle);
}
int cutRandomness(sqlite3_vfs*, int size, char* out) {
    return realVfs->xRandomness(realVfs, size, out);
}
int cutSleep(sqlite3_vfs*, int micro) {
    return realVfs->xSleep(realVfs, micro);
}
int cutCurrentTime(sqlite3_vfs*, double* out) {
    return realVfs->xCurrentTime(realVfs, out);
}
int cutGetLastError(sqlite3_vfs*, int size, char* out) {
    return realVfs->xGetLastError ? realVfs->xGetLastError(realVfs, size, out) : 0;
}
int cutCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
    return realVfs->xCurrentTimeInt64(realVfs, out);
}

sqlite3_vfs cutVfs;

__attribute__((constructor)) void installPowerCut() {
    realVfs = sqlite3_vfs_find(nullptr);
    if (realVfs == nullptr)
        return;
    cutVfs = sqlite3_vfs{2,
                         int(sizeof(CutFile) + realVfs->szOsFile),
                         realVfs->mxPathname,
                         nullptr,
                         "power-cut",
                         nullptr,
                         cutOpen,
                         cutDelete,
                         cutAccess,
                         cutFullPathname,
                         cutDlOpen,
                         cutDlError,
                         cutDlSym,
                         cutDlClose,
                         cutRandomness,
                         cutSleep,
                         cutCurrentTime,
                         cutGetLastError,
                         cutCurrentTimeInt64,
                         nullptr,
                         nullptr,
                         nullptr};
    sqlite3_vfs_register(&cutVfs, 1);
}

}  // namespace

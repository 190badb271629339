#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <thread>
#include <optional>
#include <string>
#include <vector>

#include "FileRecord.h"

struct sqlite3;
struct sqlite3_stmt;

// The disk's tree of files and folders in one SQLite database ("metadata.db" in the data
// folder). Every call is atomic on its own; a Transaction makes a sequence of calls atomic
// (other threads wait for it). Write-ahead logging with normal synchronisation: a commit is
// not flushed to the disk, so a crash of the server process loses nothing committed and the
// database stays consistent when the machine loses power (the last commits may be lost then).
// The WAL is copied into the database (and flushed) by a thread of its own every few seconds,
// never by a request: a flush on this filesystem also writes out the uploads' fresh data,
// which would stall the request that happened to trigger it.
class MetadataStore {
public:
    // The two roots: the user's own space and the shared space (share=1). Their parent is 0.
    static constexpr int64_t kRootId = 1;
    static constexpr int64_t kSharedRootId = 2;

    MetadataStore() = default;
    ~MetadataStore();
    MetadataStore(const MetadataStore&) = delete;
    MetadataStore& operator=(const MetadataStore&) = delete;

    bool Open(const std::filesystem::path& file, std::string* error);

    // Holds the store for the caller's sequence of calls; commits when destroyed unless
    // Rollback was called. Nested use on one thread joins the outer transaction.
    class Transaction {
    public:
        explicit Transaction(MetadataStore& store);
        ~Transaction();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void Rollback() { m_rollback = true; }

    private:
        MetadataStore& m_store;
        std::unique_lock<std::recursive_mutex> m_lock;
        bool m_outer;
        bool m_rollback = false;
    };

    static int64_t RootFor(bool share) { return share ? kSharedRootId : kRootId; }

    std::optional<FileRecord> Get(int64_t id);
    std::optional<FileRecord> FindChild(int64_t pid, const std::string& name);
    std::vector<FileRecord> Children(int64_t pid);

    // A new entry; returns it with its id, or nullopt when the insert failed.
    std::optional<FileRecord> Insert(const FileRecord& record);
    // Writes every column of the record back.
    bool Update(const FileRecord& record);

    // Moves an open upload's break point from `from` to `to` and records the chunks' hash, in
    // one statement that holds only while the attempt is still `gen`, open and at `from`.
    // False when it no longer is (another chunk, a restart or a deletion came first).
    bool AdvanceBreakPoint(int64_t id, int64_t gen, int64_t from, int64_t to,
                           const std::string& hash);

    // Deletes the entry and everything below it. `files` receives the removed file entries
    // (their uploads and content may need cleaning up).
    bool DeleteTree(int64_t id, std::vector<FileRecord>* files);

    // Whether any file still holds content with this hash.
    bool IsHashStored(const std::string& hash);

    // Bytes the disk holds or has promised to uploads under way, leaving out the upload of
    // `exceptUploadOf`: every stored content, plus the announced size of every open upload.
    int64_t UsedBytes(int64_t exceptUploadOf);

    int64_t FileCount();

private:
    bool Exec(const char* sql);
    bool Step(const char* sql);
    sqlite3_stmt* Prepare(const char* sql);
    std::vector<FileRecord> Query(sqlite3_stmt* statement);

    void CheckpointMain(std::filesystem::path file);

    std::recursive_mutex m_mutex;
    int m_depth = 0;  // nesting of Transaction on the owning thread
    sqlite3* m_db = nullptr;

    std::mutex m_checkpointMutex;
    std::condition_variable m_checkpointWake;
    bool m_stopping = false;
    std::thread m_checkpointer;
    std::vector<std::pair<const char*, sqlite3_stmt*>> m_statements;
};

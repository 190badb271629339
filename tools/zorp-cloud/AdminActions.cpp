#include "AdminActions.h"

#include "ActionRequest.h"
#include "BlockHasher.h"
#include "CloudStatus.h"
#include "Reply.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <vector>

bool AdminActions::IsLoopbackPeer(const httplib::Request& request) {
    const std::string& peer = request.remote_addr;
    return peer.rfind("127.", 0) == 0 || peer == "::1" || peer.rfind("::ffff:127.", 0) == 0;
}

void AdminActions::Fault(const httplib::Request& request, httplib::Response& response) {
    ActionRequest in(request);
    auto kind = FaultInjector::KindFromName(in.Text("kind"));
    if (!kind) {
        return Reply::Error(response, kStatusBadParameter, "parameter missing or malformed: kind");
    }
    FaultInjector::Rule rule;
    rule.action = in.Text("action");
    rule.kind = *kind;
    int64_t count = 1;
    int64_t skip = 0;
    int64_t ttl = 60;
    int64_t value = 0;
    int64_t afterBytes = 0;
    const char* valueName = "status";
    switch (*kind) {
        case FaultInjector::Kind::kStatus: valueName = "status"; break;
        case FaultInjector::Kind::kHttp: valueName = "code"; break;
        case FaultInjector::Kind::kDelay: valueName = "ms"; break;
        case FaultInjector::Kind::kStall: valueName = in.Has("ms") ? "ms" : "seconds"; break;
        case FaultInjector::Kind::kDrop: valueName = "bytes"; break;
        case FaultInjector::Kind::kMalformed: valueName = "unused"; break;
        case FaultInjector::Kind::kWrongBreakPoint: valueName = "breakPoint"; break;
        case FaultInjector::Kind::kCorrupt: valueName = "offset"; break;
        case FaultInjector::Kind::kOmit: valueName = "unused"; break;
        case FaultInjector::Kind::kClaimComplete: valueName = "unused"; break;
        case FaultInjector::Kind::kHtml: valueName = "code"; break;
        case FaultInjector::Kind::kLateReply: valueName = "ms"; break;
    }
    if (!in.Number("count", count, 1) || !in.Number("skip", skip, 0) ||
        !in.Number("ttl", ttl, 60) ||
        !in.Number(valueName, value, 0) ||
        !in.Number(*kind == FaultInjector::Kind::kStall ? "bytes" : "unused", afterBytes, 0)) {
        return Reply::Error(response, kStatusBadParameter, in.BadParameterText());
    }
    if (*kind == FaultInjector::Kind::kStatus && value == 0) {
        value = kStatusStorageError;  // a refusal the client cannot mistake for success
    }
    if (*kind == FaultInjector::Kind::kStall && !in.Has("ms")) {
        value *= 1000;
    }
    if (ttl < 1 || ttl > FaultInjector::kMaxTtlSeconds || count < 1 ||
        count > FaultInjector::kMaxCount || skip < 0 || skip > FaultInjector::kMaxCount) {
        return Reply::Error(response, kStatusBadParameter, "count, skip or ttl out of bounds");
    }
    rule.remaining = static_cast<int>(count);
    rule.skip = static_cast<int>(skip);
    rule.value = value;
    rule.afterBytes = afterBytes;
    rule.completeOnly = in.Text("complete") == "1";
    rule.field = in.Text("field");
    rule.expires = std::chrono::steady_clock::now() + std::chrono::seconds(ttl);
    std::string error;
    if (!m_context.faults.Add(rule, &error)) {
        return Reply::Error(response, kStatusBadParameter, error);
    }
    Reply::Ok(response, m_context.faults.Describe());
}

void AdminActions::Clear(const httplib::Request&, httplib::Response& response) {
    m_context.faults.Clear();
    m_context.requests.Clear();
    Reply::Ok(response, Json::Value(Json::objectValue));
}

void AdminActions::Requests(const httplib::Request& request, httplib::Response& response) {
    Reply::Ok(response, m_context.requests.Describe(request.get_param_value("action")));
}

void AdminActions::State(const httplib::Request&, httplib::Response& response) {
    Json::Value data(Json::objectValue);
    data["files"] = Json::Int64(m_context.metadata.FileCount());
    data["used"] = Json::Int64(m_context.metadata.UsedBytes(0));
    data["quota"] = Json::Int64(m_context.config.quota);
    data["faults"] = m_context.faults.Describe();
    Reply::Ok(response, data);
}

namespace {

// xorshift64*: fast, and the same bytes for the same seed on every machine.
class PatternBytes {
public:
    explicit PatternBytes(uint64_t seed) : m_state(seed * 2654435761u + 0x9E3779B97F4A7C15ull) {}
    void Fill(char* out, size_t size) {
        for (size_t i = 0; i < size; i += 8) {
            m_state ^= m_state >> 12;
            m_state ^= m_state << 25;
            m_state ^= m_state >> 27;
            const uint64_t word = m_state * 2685821657736338717ull;
            for (size_t j = 0; j < 8 && i + j < size; ++j) {
                out[i + j] = static_cast<char>(word >> (8 * j));
            }
        }
    }

private:
    uint64_t m_state;
};

}  // namespace

void AdminActions::Plant(const httplib::Request& request, httplib::Response& response) {
    ActionRequest in(request);
    int64_t pid = 0;
    int64_t size = 0;
    int64_t seed = 1;
    const std::string name = in.Text("name");
    const std::string fill = in.Has("fill") ? in.Text("fill") : std::string("zero");
    if (name.empty() || !in.Number("pid", pid, 0) || !in.Number("size", size) || size < 0 ||
        !in.Number("seed", seed, 1) || (fill != "zero" && fill != "random")) {
        return Reply::Error(response, kStatusBadParameter, in.BadParameterText());
    }
    auto folder = m_context.metadata.Get(pid == 0 ? MetadataStore::RootFor(in.Share()) : pid);
    if (!folder || !folder->IsFolder()) {
        return Reply::Error(response, kStatusNotFound, "folder not found");
    }
    static std::atomic<int> counter{0};
    const auto scratch = m_context.content.ScratchPath(std::to_string(++counter));
    BlockHasher hasher;
    std::vector<char> buffer(1 << 20);
    std::FILE* file = std::fopen(scratch.c_str(), "wb");
    bool ok = file != nullptr;
    if (ok && fill == "zero") {
        // Sparse: the size without the blocks; the hash still reads every zero.
        std::error_code ec;
        std::fclose(file);
        file = nullptr;
        std::filesystem::resize_file(scratch, static_cast<uintmax_t>(size), ec);
        ok = !ec;
        for (int64_t left = size; ok && left > 0;) {
            const size_t take = static_cast<size_t>(std::min<int64_t>(left, buffer.size()));
            hasher.Update(buffer.data(), take);
            left -= static_cast<int64_t>(take);
        }
    } else if (ok) {
        PatternBytes pattern(static_cast<uint64_t>(seed));
        for (int64_t left = size; ok && left > 0;) {
            const size_t take = static_cast<size_t>(std::min<int64_t>(left, buffer.size()));
            pattern.Fill(buffer.data(), take);
            hasher.Update(buffer.data(), take);
            ok = std::fwrite(buffer.data(), 1, take, file) == take;
            left -= static_cast<int64_t>(take);
        }
        ok = std::fclose(file) == 0 && ok;
        file = nullptr;
    }
    const std::string hash = hasher.Finish();
    if (ok && size > 0) {
        std::lock_guard<std::mutex> contentLock(m_context.contentMutex);
        ok = m_context.content.Adopt(scratch, hash);
    } else {
        std::error_code ec;
        std::filesystem::remove(scratch, ec);
    }
    if (!ok) {
        return Reply::Error(response, kStatusStorageError);
    }
    MetadataStore::Transaction transaction(m_context.metadata);
    FileRecord record;
    if (auto existing = m_context.metadata.FindChild(folder->id, name)) {
        record = *existing;
    }
    record.pid = folder->id;
    record.name = name;
    record.type = FileRecord::kTypeFile;
    record.share = folder->share;
    record.status = 1;
    record.size = size;
    record.hash = hash;
    record.modified = std::time(nullptr);
    std::optional<FileRecord> stored =
        record.id != 0 ? (m_context.metadata.Update(record) ? std::optional<FileRecord>(record)
                                                            : std::nullopt)
                       : m_context.metadata.Insert(record);
    if (!stored) {
        transaction.Rollback();
        return Reply::Error(response, kStatusStorageError);
    }
    Reply::Ok(response, Reply::FileData(stored->ToJson()));
}

#include "ContentStore.h"

namespace fs = std::filesystem;

bool ContentStore::Open(const fs::path& dataDir, std::string* error) {
    m_objects = dataDir / "objects";
    m_partial = dataDir / "partial";
    std::error_code ec;
    fs::create_directories(m_objects, ec);
    if (!ec) {
        fs::create_directories(m_partial, ec);
    }
    if (ec && error) {
        *error = ec.message();
    }
    return !ec;
}

fs::path ContentStore::PartialPath(int64_t fid, int64_t gen) const {
    return m_partial / (std::to_string(fid) + "." + std::to_string(gen) + ".part");
}

fs::path ContentStore::ObjectPath(const std::string& hash) const {
    return m_objects / hash.substr(0, 2) / hash;
}

bool ContentStore::HasObject(const std::string& hash) const {
    std::error_code ec;
    return !hash.empty() && fs::is_regular_file(ObjectPath(hash), ec);
}

std::unique_ptr<platform::WriteBehindFile> ContentStore::OpenPartial(int64_t fid, int64_t gen,
                                                                     int64_t keep) {
    auto file = std::make_unique<platform::WriteBehindFile>();
    if (!file->Open(PartialPath(fid, gen), keep)) {
        return nullptr;
    }
    return file;
}

int64_t ContentStore::PartialSize(int64_t fid, int64_t gen) const {
    std::error_code ec;
    auto size = fs::file_size(PartialPath(fid, gen), ec);
    return ec ? 0 : static_cast<int64_t>(size);
}

void ContentStore::DiscardPartial(int64_t fid, int64_t gen) {
    std::error_code ec;
    fs::remove(PartialPath(fid, gen), ec);
}

bool ContentStore::ReadPartial(int64_t fid, int64_t gen, int64_t offset, size_t size,
                               char* out) const {
    std::FILE* file = std::fopen(PartialPath(fid, gen).c_str(), "rb");
    if (!file) {
        return false;
    }
    bool ok = fseeko(file, offset, SEEK_SET) == 0 && std::fread(out, 1, size, file) == size;
    std::fclose(file);
    return ok;
}

bool ContentStore::CommitPartial(int64_t fid, int64_t gen, const std::string& hash) {
    const fs::path target = ObjectPath(hash);
    std::error_code ec;
    if (fs::is_regular_file(target, ec)) {
        DiscardPartial(fid, gen);
        return true;
    }
    fs::create_directories(target.parent_path(), ec);
    fs::rename(PartialPath(fid, gen), target, ec);
    return !ec;
}

bool ContentStore::Adopt(const fs::path& file, const std::string& hash) {
    const fs::path target = ObjectPath(hash);
    std::error_code ec;
    if (fs::is_regular_file(target, ec)) {
        fs::remove(file, ec);
        return true;
    }
    fs::create_directories(target.parent_path(), ec);
    fs::rename(file, target, ec);
    return !ec;
}

fs::path ContentStore::ScratchPath(const std::string& tag) const {
    return m_partial / ("scratch-" + tag + ".part");
}

void ContentStore::RemoveObject(const std::string& hash) {
    if (hash.empty()) {
        return;
    }
    std::error_code ec;
    fs::remove(ObjectPath(hash), ec);
}

std::unique_ptr<std::FILE, int (*)(std::FILE*)> ContentStore::OpenObject(
    const std::string& hash) const {
    std::FILE* file = hash.empty() ? nullptr : std::fopen(ObjectPath(hash).c_str(), "rb");
    return {file, &std::fclose};
}

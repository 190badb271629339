#include "FolderActions.h"

#include <ctime>

#include "ActionRequest.h"
#include "CloudStatus.h"
#include "NameRules.h"
#include "Reply.h"

std::optional<FileRecord> FolderActions::Folder(int64_t pid, bool share) {
    auto folder = m_context.metadata.Get(pid == 0 ? MetadataStore::RootFor(share) : pid);
    if (!folder || !folder->IsFolder()) {
        return std::nullopt;
    }
    return folder;
}

void FolderActions::CreatePath(const httplib::Request& request, httplib::Response& response) {
    ActionRequest in(request);
    int64_t pid = 0;
    if (!in.Has("path") || !in.Number("pid", pid, 0) || pid < 0) {
        return Reply::Error(response, kStatusBadParameter,
                            "parameter missing or malformed: " + (in.Has("path") ? "pid" : std::string("path")));
    }
    auto names = NameRules::SplitFolderPath(in.Text("path"));
    if (!names) {
        return Reply::Error(response, kStatusBadName);
    }
    MetadataStore::Transaction transaction(m_context.metadata);
    auto current = Folder(pid, in.Share());
    if (!current) {
        transaction.Rollback();
        return Reply::Error(response, kStatusNotFound, "parent folder not found");
    }
    for (const auto& name : *names) {
        auto child = m_context.metadata.FindChild(current->id, name);
        if (child) {
            if (!child->IsFolder()) {
                transaction.Rollback();
                return Reply::Error(response, kStatusConflict, "a file is named " + name);
            }
            current = child;
            continue;
        }
        FileRecord folder;
        folder.pid = current->id;
        folder.name = name;
        folder.type = FileRecord::kTypeFolder;
        folder.share = current->share;
        folder.status = 1;
        folder.modified = std::time(nullptr);
        current = m_context.metadata.Insert(folder);
        if (!current) {
            transaction.Rollback();
            return Reply::Error(response, kStatusStorageError);
        }
    }
    Reply::Ok(response, Reply::FileData(current->ToJson()));
}

void FolderActions::GetSubFiles(const httplib::Request& request, httplib::Response& response) {
    ActionRequest in(request);
    int64_t pid = 0;
    if (!in.Number("pid", pid, 0) || pid < 0) {
        return Reply::Error(response, kStatusBadParameter, in.BadParameterText());
    }
    auto folder = Folder(pid, in.Share());
    if (!folder) {
        return Reply::Error(response, kStatusNotFound, "folder not found");
    }
    Json::Value files(Json::arrayValue);
    for (const auto& child : m_context.metadata.Children(folder->id)) {
        files.append(child.ToJson());
    }
    Json::Value data(Json::objectValue);
    data["files"] = files;
    if (pid == 0) {
        data["root"] = folder->ToJson();
    }
    Reply::Ok(response, data);
}

void FolderActions::GetFile(const httplib::Request& request, httplib::Response& response) {
    ActionRequest in(request);
    int64_t fid = 0;
    if (!in.Number("fid", fid)) {
        return Reply::Error(response, kStatusBadParameter, in.BadParameterText());
    }
    auto record = m_context.metadata.Get(fid);
    if (!record) {
        return Reply::Error(response, kStatusNotFound);
    }
    Reply::Ok(response, Reply::FileData(m_context.ReportFile(*record, "getFile")));
}

void FolderActions::DeleteFile(const httplib::Request& request, httplib::Response& response) {
    ActionRequest in(request);
    int64_t fid = 0;
    if (!in.Number("fid", fid)) {
        return Reply::Error(response, kStatusBadParameter, in.BadParameterText());
    }
    if (fid == MetadataStore::kRootId || fid == MetadataStore::kSharedRootId) {
        return Reply::Error(response, kStatusBadParameter, "a root folder cannot be deleted");
    }
    std::lock_guard<std::mutex> contentLock(m_context.contentMutex);
    auto record = m_context.metadata.Get(fid);
    if (!record) {
        return Reply::Error(response, kStatusNotFound);
    }
    if (!record->lockKey.empty() && record->lockUntil > std::time(nullptr)) {
        return Reply::Error(response, kStatusLocked);
    }
    std::vector<FileRecord> removed;
    if (!m_context.metadata.DeleteTree(fid, &removed)) {
        return Reply::Error(response, kStatusStorageError);
    }
    for (const auto& file : removed) {
        // A chunk of this file still being received notices the missing entry and removes
        // what it wrote itself.
        m_context.content.DiscardPartial(file.id, file.uploadGen);
        m_context.uploads.ForgetFile(file.id);
        if (!file.hash.empty() && !m_context.metadata.IsHashStored(file.hash)) {
            m_context.content.RemoveObject(file.hash);
        }
    }
    Reply::Ok(response, Json::Value(Json::objectValue));
}

void FolderActions::GetFileByName(const httplib::Request& request, httplib::Response& response) {
    ActionRequest in(request);
    int64_t pid = 0;
    if (!in.Number("pid", pid, 0) || pid < 0 || !in.Has("name")) {
        return Reply::Error(response, kStatusBadParameter,
                            in.Has("name") ? in.BadParameterText() : "parameter missing or malformed: name");
    }
    const std::string name = in.Text("name");
    if (!NameRules::IsValidName(name)) {
        return Reply::Error(response, kStatusBadName);
    }
    auto folder = Folder(pid, in.Share());
    auto record = folder ? m_context.metadata.FindChild(folder->id, name) : std::nullopt;
    if (!record) {
        return Reply::Error(response, kStatusNotFound);
    }
    Reply::Ok(response, Reply::FileData(record->ToJson()));
}

#include "support/CloudTree.h"

#include <json/reader.h>

#include "cloud/CRequestContext.h"
#include "cloud/CloudFileEntry.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace zorp::test {

Tree ServerTree(const CloudServer& server, int64_t folderId, const std::string& prefix) {
    Tree tree;
    CRequestContext context;
    ServerReply reply =
        context.performRequest(RequestKind::kGetSubFiles, RequestParams().Add("pid", folderId));
    for (const auto& file : reply.Data()["files"]) {
        const CloudFileEntry entry = CloudFileEntry::FromJson(file);
        if (entry.IsFolder()) {
            tree[prefix + entry.name + "/"] = "";
            Tree below = ServerTree(server, entry.id, prefix + entry.name + "/");
            tree.insert(below.begin(), below.end());
        } else if (entry.IsComplete()) {
            std::string body;
            CRequestContext::Hooks hooks;
            hooks.body = [&](const char* data, size_t size) {
                body.append(data, size);
                return true;
            };
            context.performRequest(RequestKind::kDownload, RequestParams(""),
                                   server.DownloadUrl(entry.id), hooks);
            tree[prefix + entry.name] = body;
        } else {
            tree[prefix + entry.name] = "<incomplete>";
        }
    }
    return tree;
}

Tree LocalTree(const fs::path& folder, const std::string& prefix) {
    Tree tree;
    tree[prefix] = "";
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string relative = prefix + entry.path().lexically_relative(folder).generic_string();
        if (entry.is_directory()) {
            tree[relative + "/"] = "";
        } else {
            tree[relative] = ReadFile(entry.path());
        }
    }
    return tree;
}

std::vector<std::string> NamesOf(const std::string& message) {
    Json::Value value;
    Json::Reader().parse(message, value);
    std::vector<std::string> names;
    for (const auto& name : value["files"]) {
        names.push_back(name.asString());
    }
    return names;
}

}  // namespace zorp::test

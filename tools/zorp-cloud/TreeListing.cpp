#include "TreeListing.h"

#include <algorithm>
#include <iomanip>
#include <string>
#include <vector>

#include "MetadataStore.h"

namespace {

void PrintFolder(MetadataStore& metadata, int64_t id, const std::string& path, std::ostream& out,
                 bool ids) {
    std::vector<FileRecord> children = metadata.Children(id);
    std::sort(children.begin(), children.end(),
              [](const FileRecord& a, const FileRecord& b) { return a.name < b.name; });
    for (const auto& child : children) {
        const std::string childPath = path + child.name;
        if (child.IsFolder()) {
            out << "folder                      " << childPath << "/";
            if (ids) {
                out << "  id=" << child.id;
            }
            out << "\n";
            PrintFolder(metadata, child.id, childPath + "/", out, ids);
            continue;
        }
        const int64_t size = child.IsComplete() ? child.size : child.uploadSize;
        out << "file  " << std::setw(12) << size << "  " << std::left << std::setw(9)
            << (child.IsComplete() ? "complete" : "uploading") << std::right << "  " << childPath;
        if (!child.IsComplete()) {
            out << "   (" << child.breakPoint << " of " << child.uploadSize << " bytes)";
        }
        if (ids) {
            out << "  id=" << child.id;
        }
        out << "\n";
    }
}

}  // namespace

void TreeListing::Print(MetadataStore& metadata, std::ostream& out, bool ids) {
    PrintFolder(metadata, MetadataStore::kRootId, "/", out, ids);
    if (!metadata.Children(MetadataStore::kSharedRootId).empty()) {
        PrintFolder(metadata, MetadataStore::kSharedRootId, "shared:/", out, ids);
    }
}

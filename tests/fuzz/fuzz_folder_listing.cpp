// Fuzzes the reading of the folder listings a server sends: the get sub-files reply (its root
// and its files, folders and unfinished uploads alike) and the create path reply (the folder
// made or found). Besides crashes and sanitizer reports it checks that every element of an
// accepted listing comes out as one entry, in order, and that an entry's members are the ones
// the element carried (a missing status reads as complete).
#include <cstddef>
#include <cstdint>
#include <string>

#include "cloud/CRequestContext.h"
#include "cloud/CloudApi.h"
#include "cloud/CloudFileEntry.h"
#include "cloud/JsonFields.h"

namespace {

ServerReply ReplyOf(const std::string& text) {
    ServerReply reply;
    reply.httpCode = 200;
    reply.text = text;
    reply.parsed = !reply.text.empty() && CRequestContext::ParseReply(reply.text, reply.root);
    return reply;
}

void CheckEntry(const CloudFileEntry& entry, const Json::Value& element) {
    if (!element.isObject()) {
        // No object: a default entry with an empty name.
        if (!entry.name.empty() || entry.id != 0 || entry.status != 1) {
            __builtin_trap();
        }
        return;
    }
    const Json::Value& name = JsonFields::Member(element, "name");
    if (entry.name != (name.isString() ? name.asString() : std::string())) {
        __builtin_trap();
    }
    const Json::Value& id = JsonFields::Member(element, "id");
    if (id.isInt64() && entry.id != id.asInt64()) {
        __builtin_trap();
    }
    if (!element.isMember("status") && !entry.IsComplete()) {
        __builtin_trap();
    }
    if (entry.IsFolder() != (entry.type == CloudFileEntry::kTypeFolder)) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const ServerReply reply = ReplyOf(text);

    const SubFilesResult listing = CloudApi::ReadSubFiles(reply);
    if (listing.ok != reply.Succeeded()) {
        __builtin_trap();
    }
    if (!listing.ok && (!listing.files.empty() || listing.root)) {
        __builtin_trap();  // a refused listing lists nothing
    }
    if (listing.ok) {
        const Json::Value& files = JsonFields::Member(reply.Data(), "files");
        const size_t expected = files.isArray() ? files.size() : 0;
        if (listing.files.size() != expected) {
            __builtin_trap();
        }
        for (Json::ArrayIndex i = 0; i < expected; ++i) {
            CheckEntry(listing.files[i], files[i]);
        }
        const Json::Value& root = JsonFields::Member(reply.Data(), "root");
        if (listing.root.has_value() != root.isObject()) {
            __builtin_trap();
        }
        if (listing.root) {
            CheckEntry(*listing.root, root);
        }
    }

    const CreatePathResult created = CloudApi::ReadCreatePath(reply);
    if (created.ok && (!reply.Succeeded() || !created.file.isObject())) {
        __builtin_trap();
    }
    if (created.ok) {
        CheckEntry(created.folder, created.file);
    }
    // Any value of the reply read as an element.
    CheckEntry(CloudFileEntry::FromJson(reply.root), reply.root);
    return 0;
}

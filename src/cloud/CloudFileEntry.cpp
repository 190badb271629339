#include "cloud/CloudFileEntry.h"

#include "cloud/JsonFields.h"

CloudFileEntry CloudFileEntry::FromJson(const Json::Value& file) {
    using F = JsonFields;
    CloudFileEntry entry;
    if (!file.isObject()) {
        return entry;
    }
    entry.id = F::NumberOr(F::Member(file, "id"), 0);
    entry.pid = F::NumberOr(F::Member(file, "pid"), 0);
    entry.name = F::TextOr(F::Member(file, "name"));
    entry.type = static_cast<int>(F::NumberOr(F::Member(file, "type"), kTypeFile));
    entry.hash = F::TextOr(F::Member(file, "hash"));
    entry.size = F::NumberOr(F::Member(file, "size"), 0);
    entry.breakPoint = F::NumberOr(F::Member(file, "breakPoint"), 0);
    entry.status = file.isMember("status")
                       ? static_cast<int>(F::NumberOr(F::Member(file, "status"), 1))
                       : 1;
    return entry;
}

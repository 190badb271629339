#include "cloud/UploadFileRecord.h"

#include "cloud/JsonFields.h"

UploadFileRecord UploadFileRecord::FromJson(const Json::Value& file) {
    using F = JsonFields;
    UploadFileRecord record;
    record.file = file;
    record.present = file.isObject();
    if (!record.present) {
        return record;
    }
    record.id = F::WholeNumber(F::Member(file, "id"));
    record.pid = F::WholeNumber(F::Member(file, "pid"));
    record.status = F::WholeNumber(F::Member(file, "status"));
    record.type = F::WholeNumber(F::Member(file, "type"));
    record.size = F::WholeNumber(F::Member(file, "size"));
    record.breakPoint = F::WholeNumber(F::Member(file, "breakPoint"));
    record.hash = F::Text(F::Member(file, "hash"));
    return record;
}

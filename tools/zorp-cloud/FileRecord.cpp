#include "FileRecord.h"

Json::Value FileRecord::ToJson() const {
    Json::Value file(Json::objectValue);
    file["id"] = Json::Int64(id);
    file["pid"] = Json::Int64(pid);
    file["name"] = name;
    file["type"] = type;
    file["share"] = share ? 1 : 0;
    file["status"] = status;
    if (IsFolder()) {
        file["hash"] = "";
        file["size"] = Json::Int64(0);
        file["breakPoint"] = Json::Int64(0);
    } else if (IsComplete()) {
        file["hash"] = hash;
        file["size"] = Json::Int64(size);
        file["breakPoint"] = Json::Int64(size);
    } else {
        file["hash"] = uploadHash;
        file["size"] = Json::Int64(uploadSize);
        file["breakPoint"] = Json::Int64(breakPoint);
    }
    file["modified"] = Json::Int64(modified);
    return file;
}

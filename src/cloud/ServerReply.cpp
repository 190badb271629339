#include "cloud/ServerReply.h"

#include "cloud/CRequestContext.h"

namespace {
const Json::Value kNull;
}

bool ServerReply::Succeeded() const {
    return result == CURLE_OK && parsed && CRequestContext::judgeReply(root);
}

int64_t ServerReply::Status() const {
    if (!root.isObject() || !root["status"].isIntegral()) {
        return -1;
    }
    return root["status"].asInt64();
}

std::string ServerReply::Description() const {
    if (!root.isObject() || !root["description"].isString()) {
        return std::string();
    }
    return root["description"].asString();
}

const Json::Value& ServerReply::Data() const {
    if (!root.isObject()) {
        return kNull;
    }
    const Json::Value* data = root.find("data", "data" + 4);
    return data ? *data : kNull;
}

const Json::Value& ServerReply::File() const {
    const Json::Value& data = Data();
    if (!data.isObject()) {
        return kNull;
    }
    const Json::Value* file = data.find("file", "file" + 4);
    return file ? *file : kNull;
}

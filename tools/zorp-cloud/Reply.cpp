#include "Reply.h"

#include <json/writer.h>

#include "CloudStatus.h"

std::string Reply::Compact(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

void Reply::Ok(httplib::Response& response, const Json::Value& data) {
    Json::Value root(Json::objectValue);
    root["status"] = kStatusOk;
    root["description"] = "OK";
    root["data"] = data;
    response.status = 200;
    response.set_content(Compact(root), "application/json;charset=UTF-8");
}

void Reply::Error(httplib::Response& response, int status, const std::string& description,
                  const Json::Value& data) {
    Json::Value root(Json::objectValue);
    root["status"] = status;
    root["description"] = description;
    root["data"] = data;
    response.status = 200;
    response.set_content(Compact(root), "application/json;charset=UTF-8");
}

void Reply::Error(httplib::Response& response, int status) {
    Error(response, status, CloudStatusText(status));
}

Json::Value Reply::FileData(const Json::Value& file) {
    Json::Value data(Json::objectValue);
    data["file"] = file;
    return data;
}

#include "Reply.h"

#include <json/writer.h>

#include <memory>
#include <sstream>

#include "CloudStatus.h"

std::string Reply::Compact(const Json::Value& value) {
    thread_local const std::unique_ptr<Json::StreamWriter> writer = [] {
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        builder["emitUTF8"] = true;
        return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
    }();
    std::ostringstream text;
    writer->write(value, &text);
    return std::move(text).str();
}

void Reply::Ok(httplib::Response& response, Json::Value data) {
    Json::Value root(Json::objectValue);
    root["status"] = kStatusOk;
    root["description"] = "OK";
    root["data"] = std::move(data);
    response.status = 200;
    response.set_content(Compact(root), "application/json;charset=UTF-8");
}

void Reply::Error(httplib::Response& response, int status, const std::string& description,
                  Json::Value data) {
    Json::Value root(Json::objectValue);
    root["status"] = status;
    root["description"] = description;
    root["data"] = std::move(data);
    response.status = 200;
    response.set_content(Compact(root), "application/json;charset=UTF-8");
}

void Reply::Error(httplib::Response& response, int status) {
    Error(response, status, CloudStatusText(status));
}

Json::Value Reply::FileData(Json::Value file) {
    Json::Value data(Json::objectValue);
    data["file"] = std::move(file);
    return data;
}

#pragma once

#include <httplib.h>
#include <json/value.h>

#include <string>

// The reply envelope of every action: {"status", "description", "data"}, compact JSON. Every
// chunk of an upload gets one, so the data is moved in rather than copied and each thread
// keeps its JSON writer.
class Reply {
public:
    static void Ok(httplib::Response& response, Json::Value data);
    // A refusal: "status" is the CloudStatus, HTTP status stays 200 as the client expects
    // (it reads the envelope, and treats HTTP errors as transport failures).
    static void Error(httplib::Response& response, int status, const std::string& description,
                      Json::Value data = Json::Value());
    static void Error(httplib::Response& response, int status);
    // {"file": record}
    static Json::Value FileData(Json::Value file);
    static std::string Compact(const Json::Value& value);
};

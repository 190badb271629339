#include "cloud/ServerReply.h"

#include "cloud/CRequestContext.h"
#include "core/CommonUtils.h"
#include "cloud/JsonFields.h"

bool ServerReply::Succeeded() const {
    return result == CURLE_OK && parsed && CRequestContext::judgeReply(root);
}

int64_t ServerReply::Status() const {
    return JsonFields::WholeNumber(JsonFields::Member(root, "status")).value_or(-1);
}

std::string ServerReply::Description() const {
    return JsonFields::TextOr(JsonFields::Member(root, "description"));
}

const Json::Value& ServerReply::Data() const { return JsonFields::Member(root, "data"); }

const Json::Value& ServerReply::File() const { return JsonFields::Member(Data(), "file"); }

std::string ServerReply::ErrorText() const {
    return result != CURLE_OK ? CommonUtils::TransferErrorText(result) : text;
}

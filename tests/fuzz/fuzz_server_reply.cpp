// Fuzzes the reading of a server reply as the upload, get file, delete and lock requests see
// it: the text parsed as the envelope {"status", "description", "data"}, judged, and its file
// record read. Besides crashes and sanitizer reports it checks that the readers agree with
// each other: a record is read only from a JSON object, an accepted reply is a readable one,
// and every member of the record is there only when the server sent it in a usable form.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cloud/CRequestContext.h"
#include "cloud/CloudApi.h"
#include "cloud/JsonFields.h"
#include "cloud/ServerReply.h"
#include "cloud/UploadFileRecord.h"

namespace {

// What CRequestContext::Finish makes of a reply body.
ServerReply ReplyOf(const std::string& text, CURLcode result, long httpCode) {
    ServerReply reply;
    reply.result = result;
    reply.httpCode = httpCode;
    reply.text = text;
    reply.parsed = !reply.text.empty() && CRequestContext::ParseReply(reply.text, reply.root);
    return reply;
}

void CheckRecord(const UploadFileRecord& record, const Json::Value& file) {
    if (record.present != file.isObject()) {
        __builtin_trap();
    }
    if (!record.present && (record.id || record.status || record.breakPoint || record.hash)) {
        __builtin_trap();  // members read from something that is no object
    }
    const auto same = [&](const std::optional<int64_t>& member, const char* name) {
        const Json::Value& value = JsonFields::Member(file, name);
        if (member && (!value.isInt64() || value.asInt64() != *member)) {
            __builtin_trap();  // a member that was not sent as a whole number
        }
    };
    same(record.id, "id");
    same(record.pid, "pid");
    same(record.status, "status");
    same(record.type, "type");
    same(record.size, "size");
    same(record.breakPoint, "breakPoint");
    if (record.hash && !JsonFields::Member(file, "hash").isString()) {
        __builtin_trap();
    }
    if (record.IsComplete() != (record.status && *record.status == 1)) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    // The transport's outcome and the HTTP status do not change what the text reads as; the
    // judgement needs both.
    for (const CURLcode result : {CURLE_OK, CURLE_PARTIAL_FILE}) {
        const ServerReply reply = ReplyOf(text, result, result == CURLE_OK ? 200 : 0);
        const bool succeeded = reply.Succeeded();
        if (succeeded && (result != CURLE_OK || !reply.parsed || !reply.root.isObject())) {
            __builtin_trap();
        }
        (void)reply.Status();
        (void)reply.Description();
        (void)reply.ErrorText();
        const Json::Value& file = reply.File();
        if (!file.isNull() && !reply.Data().isObject()) {
            __builtin_trap();  // "file" found outside of an object "data"
        }

        const UploadFileResult upload = CloudApi::ReadUploadFile(reply);
        if (upload.ok && !upload.readable) {
            __builtin_trap();
        }
        if (upload.readable != (reply.parsed && reply.root.isObject())) {
            __builtin_trap();
        }
        if (upload.readable) {
            CheckRecord(upload.file, file);
        } else if (upload.file.present) {
            __builtin_trap();
        }
        CheckRecord(UploadFileRecord::FromJson(reply.root), reply.root);

        const ActionResult action = CloudApi::ReadAction(reply);
        if (action.ok != succeeded) {
            __builtin_trap();
        }
    }
    return 0;
}

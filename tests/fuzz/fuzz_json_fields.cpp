// Fuzzes the exception-free readers every reply goes through (JsonFields) on every value of any
// JSON text: jsoncpp throws on a conversion that does not fit and on a member lookup in an
// array, and a worker thread must not. Checks that the readers agree: a whole number is read
// the same by NumberOr, a text by TextOr, and Member finds only members of objects.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cloud/CRequestContext.h"
#include "cloud/JsonFields.h"

namespace {

constexpr const char* kNames[] = {"status", "description", "data", "file", "files", "root",
                                  "id", "pid", "name", "type", "hash", "size", "breakPoint", ""};

void Check(const Json::Value& value, int depth) {
    const auto whole = JsonFields::WholeNumber(value);
    if (whole && JsonFields::NumberOr(value, 7) != *whole) {
        __builtin_trap();
    }
    if (whole && !value.isInt64()) {
        __builtin_trap();
    }
    (void)JsonFields::NumberOr(value, -1);
    const auto text = JsonFields::Text(value);
    if (text.has_value() != value.isString() || JsonFields::TextOr(value, "x") != text.value_or("x")) {
        __builtin_trap();
    }
    for (const char* name : kNames) {
        const Json::Value& member = JsonFields::Member(value, name);
        if (!value.isObject() && !member.isNull()) {
            __builtin_trap();
        }
    }
    if (depth > 64) {
        return;
    }
    if (value.isObject()) {
        for (const auto& name : value.getMemberNames()) {
            const Json::Value& member = JsonFields::Member(value, name.c_str());
            // A name with a NUL in it is found only up to the NUL: no member, or another one.
            (void)member;
            Check(value[name], depth + 1);
        }
    } else if (value.isArray()) {
        for (const auto& element : value) {
            Check(element, depth + 1);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Json::Value root;
    if (CRequestContext::ParseReply(text, root)) {
        Check(root, 0);
    }
    // The input as a string value, the way a listing element's number may come as text.
    Check(Json::Value(text), 0);
    return 0;
}

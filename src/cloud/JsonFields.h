#pragma once

#include <json/value.h>

#include <cstdint>
#include <optional>
#include <string>

// Reads members of a server reply without exceptions. jsoncpp throws on a conversion that
// does not fit (asInt64 of a number past 2^63) and on a member lookup in an array or a
// number, and a worker thread must not: every reader of a reply goes through these.
class JsonFields {
public:
    // `name` of an object; a null value when `value` is no object or lacks the member.
    static const Json::Value& Member(const Json::Value& value, const char* name);
    // A whole number that fits in 64 bits; nothing for anything else (fractions, text, null).
    static std::optional<int64_t> WholeNumber(const Json::Value& value);
    // As WholeNumber, but also a fraction in range (cut towards zero) or decimal text: the
    // members of a listing element, which some servers write as text.
    static int64_t NumberOr(const Json::Value& value, int64_t fallback);
    // A string value; nothing for anything else.
    static std::optional<std::string> Text(const Json::Value& value);
    static std::string TextOr(const Json::Value& value, const std::string& fallback = {});
};

#include "cloud/JsonFields.h"

#include <charconv>
#include <cmath>
#include <cstring>

const Json::Value& JsonFields::Member(const Json::Value& value, const char* name) {
    static const Json::Value kNull;
    if (!value.isObject()) {
        return kNull;
    }
    const Json::Value* found = value.find(name, name + std::strlen(name));
    return found ? *found : kNull;
}

std::optional<int64_t> JsonFields::WholeNumber(const Json::Value& value) {
    if (value.isInt64()) {
        return value.asInt64();
    }
    return std::nullopt;
}

int64_t JsonFields::NumberOr(const Json::Value& value, int64_t fallback) {
    if (value.isInt64()) {
        return value.asInt64();
    }
    if (value.isDouble()) {
        // 2^63 itself is a double but no int64: the bounds are half-open.
        const double number = value.asDouble();
        if (std::isfinite(number) && number >= -9223372036854775808.0 &&
            number < 9223372036854775808.0) {
            return static_cast<int64_t>(number);
        }
        return fallback;
    }
    if (value.isString()) {
        const char* begin = nullptr;
        const char* end = nullptr;
        if (!value.getString(&begin, &end) || begin == end) {
            return fallback;
        }
        int64_t number = 0;
        const auto [stop, error] = std::from_chars(begin, end, number);
        return error == std::errc() && stop == end ? number : fallback;
    }
    return fallback;
}

std::optional<std::string> JsonFields::Text(const Json::Value& value) {
    if (value.isString()) {
        return value.asString();
    }
    return std::nullopt;
}

std::string JsonFields::TextOr(const Json::Value& value, const std::string& fallback) {
    return value.isString() ? value.asString() : fallback;
}

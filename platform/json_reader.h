// A strict reader of one JSON value: the lines a gang station's workers
// print, and what tests check the command line prints. Objects, arrays,
// strings (every escape, \u pairs to UTF-8), numbers, true, false, null.
// Anything else is an error.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vexu {

struct JsonValue {
    enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
    Kind kind = Kind::kNull;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;
    std::vector<std::string> order;  // member names as they came

    bool Has(const std::string& key) const { return members.count(key) != 0; }
    const JsonValue& operator[](const std::string& key) const;
};

// Parses the whole text as one value; false with a reason on any error
// (including a key given twice and anything after the value).
bool ParseJson(std::string_view text, JsonValue& value, std::string& error);

}  // namespace vexu

// A small JSON reader for the tests: enough to check that the tracker's JSON is well formed and
// to read its fields back. Strings stay UTF-8; numbers keep their text.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace json {

struct Value {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    std::string text; // a string's contents, or a number's text
    std::vector<Value> items;
    std::map<std::string, Value> members;

    const Value& operator[](const std::string& name) const;
    const Value& operator[](size_t index) const { return items.at(index); }
    bool Has(const std::string& name) const { return members.count(name) != 0; }
};

// Parses a whole document; nullopt for anything that is not valid JSON (trailing text included).
std::optional<Value> Parse(const std::string& text);

} // namespace json

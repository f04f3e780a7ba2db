// A JSON reader for the tracker's own captures: strings stay UTF-8 (\u escapes, surrogate pairs
// included, become UTF-8), numbers keep their text. Nesting deeper than 64 levels is refused, so
// that a hostile file cannot exhaust the stack.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace track {

struct JsonValue {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    std::string text; // a string's contents, or a number's text
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    // A missing member reads as null.
    const JsonValue& operator[](const std::string& name) const;
    bool Is(Kind wanted) const { return kind == wanted; }
};

// A whole document; nullopt for anything that is not valid JSON, trailing text included.
std::optional<JsonValue> ParseJson(const std::string& text);

} // namespace track

#include "host/track/compare/JsonDocument.h"

#include <stdexcept>

namespace track {

namespace {

constexpr int kMaxDepth = 64;

class Parser {
public:
    explicit Parser(const std::string& text) : text_(text) {}

    JsonValue Document() {
        JsonValue value = ParseValue(0);
        SkipSpace();
        if (pos_ != text_.size())
            throw std::runtime_error("trailing text");
        return value;
    }

private:
    void SkipSpace() {
        while (pos_ < text_.size() &&
               (text_[pos_] == ' ' || text_[pos_] == '\n' || text_[pos_] == '\r' || text_[pos_] == '\t'))
            ++pos_;
    }
    char Peek() {
        SkipSpace();
        if (pos_ >= text_.size())
            throw std::runtime_error("unexpected end");
        return text_[pos_];
    }
    void Expect(char c) {
        if (Peek() != c)
            throw std::runtime_error("unexpected character");
        ++pos_;
    }
    bool Literal(const std::string& word) {
        if (text_.compare(pos_, word.size(), word) != 0)
            return false;
        pos_ += word.size();
        return true;
    }

    JsonValue ParseValue(int depth) {
        if (depth > kMaxDepth)
            throw std::runtime_error("nested too deep");
        JsonValue value;
        const char c = Peek();
        if (c == '{' || c == '[') {
            const bool object = c == '{';
            value.kind = object ? JsonValue::Object : JsonValue::Array;
            ++pos_;
            if (Peek() == (object ? '}' : ']')) {
                ++pos_;
                return value;
            }
            for (;;) {
                if (object) {
                    if (Peek() != '"')
                        throw std::runtime_error("member name");
                    const std::string name = ParseString();
                    Expect(':');
                    value.members[name] = ParseValue(depth + 1);
                } else {
                    value.items.push_back(ParseValue(depth + 1));
                }
                if (Peek() == ',') {
                    ++pos_;
                    continue;
                }
                Expect(object ? '}' : ']');
                return value;
            }
        }
        if (c == '"') {
            value.kind = JsonValue::String;
            value.text = ParseString();
            return value;
        }
        if (Literal("true") || Literal("false")) {
            value.kind = JsonValue::Bool;
            value.boolean = text_[pos_ - 1] == 'e' && text_[pos_ - 2] == 'u';
            return value;
        }
        if (Literal("null"))
            return value;
        const size_t start = pos_;
        while (pos_ < text_.size() && std::string("0123456789.eE+-").find(text_[pos_]) != std::string::npos)
            ++pos_;
        if (pos_ == start || text_.find_first_of("0123456789", start) >= pos_)
            throw std::runtime_error("unexpected character");
        value.kind = JsonValue::Number;
        value.text = text_.substr(start, pos_ - start);
        return value;
    }

    static void AppendUtf8(std::string& out, unsigned long code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    unsigned long Hex4() {
        if (pos_ + 4 > text_.size())
            throw std::runtime_error("short \\u escape");
        const std::string digits = text_.substr(pos_, 4);
        if (digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            throw std::runtime_error("bad \\u escape");
        pos_ += 4;
        return std::stoul(digits, nullptr, 16);
    }

    unsigned long CodePoint() {
        const unsigned long first = Hex4();
        if (first < 0xD800 || first > 0xDBFF || text_.compare(pos_, 2, "\\u") != 0)
            return first;
        const size_t back = pos_;
        pos_ += 2;
        const unsigned long second = Hex4();
        if (second < 0xDC00 || second > 0xDFFF) {
            pos_ = back;
            return first;
        }
        return 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
    }

    std::string ParseString() {
        Expect('"');
        std::string out;
        while (pos_ < text_.size()) {
            const unsigned char c = static_cast<unsigned char>(text_[pos_++]);
            if (c == '"')
                return out;
            if (c < 0x20)
                throw std::runtime_error("raw control character in a string");
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (pos_ >= text_.size())
                break;
            const char e = text_[pos_++];
            const std::string plain = "\"\\/", named = "nrtbf", meant = "\n\r\t\b\f";
            if (plain.find(e) != std::string::npos)
                out += e;
            else if (named.find(e) != std::string::npos)
                out += meant[named.find(e)];
            else if (e == 'u')
                AppendUtf8(out, CodePoint());
            else
                throw std::runtime_error("bad escape");
        }
        throw std::runtime_error("unterminated string");
    }

    const std::string& text_;
    size_t pos_ = 0;
};

} // namespace

const JsonValue& JsonValue::operator[](const std::string& name) const {
    static const JsonValue missing;
    const auto found = members.find(name);
    return found == members.end() ? missing : found->second;
}

std::optional<JsonValue> ParseJson(const std::string& text) {
    try {
        return Parser(text).Document();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace track

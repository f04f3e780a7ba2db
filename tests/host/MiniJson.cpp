#include "tests/host/MiniJson.h"

#include <stdexcept>

namespace json {

namespace {

class Parser {
public:
    explicit Parser(const std::string& text) : text_(text) {}

    Value Document() {
        Value value = ParseValue();
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
            throw std::runtime_error(std::string("expected ") + c);
        ++pos_;
    }
    bool Literal(const char* word) {
        const std::string w = word;
        if (text_.compare(pos_, w.size(), w) != 0)
            return false;
        pos_ += w.size();
        return true;
    }

    Value ParseValue() {
        Value value;
        const char c = Peek();
        if (c == '{') {
            value.kind = Value::Object;
            ++pos_;
            if (Peek() == '}') {
                ++pos_;
                return value;
            }
            for (;;) {
                if (Peek() != '"')
                    throw std::runtime_error("member name");
                const std::string name = ParseString();
                Expect(':');
                value.members[name] = ParseValue();
                if (Peek() == ',') {
                    ++pos_;
                    continue;
                }
                Expect('}');
                return value;
            }
        }
        if (c == '[') {
            value.kind = Value::Array;
            ++pos_;
            if (Peek() == ']') {
                ++pos_;
                return value;
            }
            for (;;) {
                value.items.push_back(ParseValue());
                if (Peek() == ',') {
                    ++pos_;
                    continue;
                }
                Expect(']');
                return value;
            }
        }
        if (c == '"') {
            value.kind = Value::String;
            value.text = ParseString();
            return value;
        }
        if (Literal("true") || Literal("false")) {
            value.kind = Value::Bool;
            value.boolean = text_[pos_ - 2] == 'u'; // "true" ends in "ue", "false" in "se"
            return value;
        }
        if (Literal("null"))
            return value;
        const size_t start = pos_;
        if (pos_ < text_.size() && text_[pos_] == '-')
            ++pos_;
        while (pos_ < text_.size() && std::string("0123456789.eE+-").find(text_[pos_]) != std::string::npos)
            ++pos_;
        if (pos_ == start || (pos_ == start + 1 && text_[start] == '-'))
            throw std::runtime_error("unexpected character");
        value.kind = Value::Number;
        value.text = text_.substr(start, pos_ - start);
        return value;
    }

    static void AppendUtf8(std::string& out, unsigned code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
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
            switch (e) {
            case '"':
            case '\\':
            case '/':
                out += e;
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'u': {
                if (pos_ + 4 > text_.size())
                    throw std::runtime_error("short \\u escape");
                AppendUtf8(out, static_cast<unsigned>(std::stoul(text_.substr(pos_, 4), nullptr, 16)));
                pos_ += 4;
                break;
            }
            default:
                throw std::runtime_error("bad escape");
            }
        }
        throw std::runtime_error("unterminated string");
    }

    const std::string& text_;
    size_t pos_ = 0;
};

} // namespace

const Value& Value::operator[](const std::string& name) const {
    static const Value missing;
    const auto found = members.find(name);
    return found == members.end() ? missing : found->second;
}

std::optional<Value> Parse(const std::string& text) {
    try {
        return Parser(text).Document();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace json

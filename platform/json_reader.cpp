#include "platform/json_reader.h"

#include <cstdlib>

namespace vexu {

namespace {

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool Document(JsonValue& value, std::string& error) {
        const bool ok = Value(value, 0) && (Blank(), pos_ == text_.size() || Fail("text after the value"));
        if (!ok) error = error_ + " at " + std::to_string(pos_);
        return ok;
    }

private:
    bool Fail(const char* why) {
        if (error_.empty()) error_ = why;
        return false;
    }
    void Blank() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' ||
                                       text_[pos_] == '\r'))
            ++pos_;
    }
    bool Take(char c) {
        Blank();
        if (pos_ < text_.size() && text_[pos_] == c) return ++pos_, true;
        return false;
    }
    bool Word(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return Fail("unknown word");
        pos_ += word.size();
        return true;
    }

    bool Value(JsonValue& v, int depth) {
        if (depth > 64) return Fail("nested too deep");
        Blank();
        if (pos_ >= text_.size()) return Fail("value missing");
        const char c = text_[pos_];
        if (c == '{') return Object(v, depth);
        if (c == '[') return Array(v, depth);
        if (c == '"') return v.kind = JsonValue::Kind::kString, String(v.text);
        if (c == 't') return v.kind = JsonValue::Kind::kBool, v.boolean = true, Word("true");
        if (c == 'f') return v.kind = JsonValue::Kind::kBool, Word("false");
        if (c == 'n') return v.kind = JsonValue::Kind::kNull, Word("null");
        return Number(v);
    }

    bool Object(JsonValue& v, int depth) {
        v.kind = JsonValue::Kind::kObject;
        ++pos_;
        if (Take('}')) return true;
        do {
            std::string key;
            Blank();
            if (pos_ >= text_.size() || text_[pos_] != '"' || !String(key)) return Fail("member name expected");
            if (!Take(':')) return Fail("':' expected");
            if (v.members.count(key)) return Fail("member given twice");
            if (!Value(v.members[key], depth + 1)) return false;
            v.order.push_back(key);
        } while (Take(','));
        return Take('}') || Fail("'}' expected");
    }

    bool Array(JsonValue& v, int depth) {
        v.kind = JsonValue::Kind::kArray;
        ++pos_;
        if (Take(']')) return true;
        do {
            v.items.emplace_back();
            if (!Value(v.items.back(), depth + 1)) return false;
        } while (Take(','));
        return Take(']') || Fail("']' expected");
    }

    bool Number(JsonValue& v) {
        const size_t start = pos_;
        auto digits = [&] {
            const size_t from = pos_;
            while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
            return pos_ > from;
        };
        if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
        if (pos_ < text_.size() && text_[pos_] == '0') {
            ++pos_;
        } else if (!digits()) {
            return Fail("number expected");
        }
        if (pos_ < text_.size() && text_[pos_] == '.' && (++pos_, !digits())) return Fail("digits after '.'");
        if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
            if (!digits()) return Fail("exponent digits");
        }
        v.kind = JsonValue::Kind::kNumber;
        v.number = std::strtod(std::string(text_.substr(start, pos_ - start)).c_str(), nullptr);
        return true;
    }

    bool Hex4(uint32_t& unit) {
        if (pos_ + 4 > text_.size()) return Fail("short \\u escape");
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[pos_++];
            const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                          : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (d < 0) return Fail("bad \\u escape");
            unit = unit * 16 + static_cast<uint32_t>(d);
        }
        return true;
    }

    static void Utf8(uint32_t cp, std::string& out) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | cp >> 6);
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | cp >> 12);
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | cp >> 18);
            out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool String(std::string& out) {
        ++pos_;  // the opening quote
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return Fail("raw control character in a string");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= text_.size()) break;
            const char e = text_[pos_++];
            static const std::string_view kEscapes = "\"\"\\\\//b\bf\fn\nr\rt\t";
            const size_t at = kEscapes.find(e);
            if (e != 'u' && (at == std::string_view::npos || at % 2)) return Fail("bad escape");
            if (e != 'u') {
                out += kEscapes[at + 1];
                continue;
            }
            uint32_t unit = 0;
            if (!Hex4(unit)) return false;
            if (unit >= 0xD800 && unit < 0xDC00) {
                uint32_t low = 0;
                if (text_.substr(pos_, 2) != "\\u" || (pos_ += 2, !Hex4(low)) || low < 0xDC00 || low > 0xDFFF)
                    return Fail("lone surrogate");
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            } else if (unit >= 0xDC80 && unit <= 0xDCFF) {
                // A byte that is not UTF-8, as the writer keeps it.
                out += static_cast<char>(unit - 0xDC00);
                continue;
            } else if (unit >= 0xDC00 && unit < 0xE000) {
                return Fail("lone surrogate");
            }
            Utf8(unit, out);
        }
        return Fail("unterminated string");
    }

    std::string_view text_;
    size_t pos_ = 0;
    std::string error_;
};

}  // namespace

const JsonValue& JsonValue::operator[](const std::string& key) const {
    static const JsonValue kMissing;
    auto it = members.find(key);
    return it == members.end() ? kMissing : it->second;
}

bool ParseJson(std::string_view text, JsonValue& value, std::string& error) {
    value = JsonValue{};
    return Reader(text).Document(value, error);
}

}  // namespace vexu

#pragma once
// A strict little JSON reader for checking what the tools print: parses one
// document into a tree, or reports that the text is not JSON.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace kx::test {

struct Json {
    enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
    bool flag = false;
    double number = 0.0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    bool has(const std::string& key) const { return kind == Kind::Object && members.count(key) != 0; }
    const Json& operator[](const std::string& key) const { return members.at(key); }
    const Json& operator[](size_t i) const { return items.at(i); }
    size_t size() const { return kind == Kind::Array ? items.size() : members.size(); }
};

class JsonReader {
public:
    // True when `text` is exactly one JSON value, white space around it aside.
    static bool parse(const std::string& text, Json& out) {
        JsonReader r(text);
        return r.value(out, 0) && (r.space(), r.pos_ == text.size());
    }

private:
    explicit JsonReader(const std::string& text) : s_(text) {}

    char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
    bool eat(char c) { return peek() == c && c != '\0' ? (++pos_, true) : false; }
    bool digits() {
        const size_t start = pos_;
        while (std::isdigit(static_cast<unsigned char>(peek()))) ++pos_;
        return pos_ > start;
    }
    void space() {
        while (std::strchr(" \t\n\r", peek()) != nullptr && peek() != '\0') ++pos_;
    }
    bool string(std::string& out) {
        if (!eat('"')) return false;
        while (!eat('"')) {
            const char c = peek();
            if (c == '\0' || static_cast<unsigned char>(c) < 0x20) return false;
            ++pos_;
            if (c != '\\') {
                out += c;
                continue;
            }
            const char e = peek();
            ++pos_;
            if (e == 'u') {
                for (int k = 0; k < 4; ++k, ++pos_) {
                    if (!std::isxdigit(static_cast<unsigned char>(peek()))) return false;
                }
                out += '?';
            } else if (e != '\0' && std::strchr("\"\\/", e) != nullptr) {
                out += e;
            } else if (e != '\0' && std::strchr("bfnrt", e) != nullptr) {
                out += "\b\f\n\r\t"[std::strchr("bfnrt", e) - "bfnrt"];
            } else {
                return false;
            }
        }
        return true;
    }
    bool number(double& out) {
        const size_t start = pos_;
        eat('-');
        if (!eat('0') && !digits()) return false;
        if (eat('.') && !digits()) return false;
        if ((eat('e') || eat('E')) && (eat('+') || eat('-') || true) && !digits()) return false;
        out = std::strtod(s_.substr(start, pos_ - start).c_str(), nullptr);
        return true;
    }
    // Items of an array or members of an object up to `close`.
    bool sequence(Json& out, char close, int depth) {
        space();
        if (eat(close)) return true;
        do {
            space();
            Json item;
            std::string key;
            if (close == '}' && !(string(key) && (space(), eat(':')))) return false;
            if (!value(item, depth + 1)) return false;
            if (close == ']') {
                out.items.push_back(item);
            } else if (!out.members.emplace(key, item).second) {
                return false;  // duplicate keys are a fault here
            }
            space();
        } while (eat(','));
        return eat(close);
    }
    bool value(Json& out, int depth) {
        space();
        if (depth > 64) return false;
        if (eat('{')) return out.kind = Json::Kind::Object, sequence(out, '}', depth);
        if (eat('[')) return out.kind = Json::Kind::Array, sequence(out, ']', depth);
        if (peek() == '"') return out.kind = Json::Kind::String, string(out.text);
        for (const char* word : {"true", "false", "null"}) {
            if (s_.compare(pos_, std::strlen(word), word) == 0) {
                pos_ += std::strlen(word);
                out.kind = word[0] == 'n' ? Json::Kind::Null : Json::Kind::Bool;
                out.flag = word[0] == 't';
                return true;
            }
        }
        out.kind = Json::Kind::Number;
        return number(out.number);
    }

    const std::string& s_;
    size_t pos_ = 0;
};

}  // namespace kx::test

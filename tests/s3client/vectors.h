// vectors.h - reads the published signing examples the client's tests check
// against (copied byte for byte into tests/data), with a JSON reader
// just big enough for them: objects, arrays, strings, numbers.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace vectors {

struct Json {
    enum Kind { Null, Number, String, Array, Object } kind = Null;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    const Json &operator[](const std::string &name) const
    {
        auto it = members.find(name);
        if (it == members.end()) {
            throw std::runtime_error("no member " + name);
        }
        return it->second;
    }
    const std::string &str() const { return text; }
};

class Reader {
public:
    explicit Reader(const std::string &text) : s_(text) {}

    Json value()
    {
        skip();
        Json v;
        const char c = peek();
        if (c == '{') {
            v.kind = Json::Object;
            ++pos_;
            while (skip(), peek() != '}') {
                std::string name = string();
                skip();
                expect(':');
                v.members[name] = value();
                skip();
                if (peek() == ',') {
                    ++pos_;
                }
            }
            ++pos_;
        } else if (c == '[') {
            v.kind = Json::Array;
            ++pos_;
            while (skip(), peek() != ']') {
                v.items.push_back(value());
                skip();
                if (peek() == ',') {
                    ++pos_;
                }
            }
            ++pos_;
        } else if (c == '"') {
            v.kind = Json::String;
            v.text = string();
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            v.kind = Json::Number;
            char *end = nullptr;
            v.number = strtod(s_.c_str() + pos_, &end);
            pos_ = static_cast<size_t>(end - s_.c_str());
        } else {
            // true, false, null: not used by the examples beyond their shape.
            while (pos_ < s_.size() && isalpha(static_cast<unsigned char>(s_[pos_]))) {
                ++pos_;
            }
        }
        return v;
    }

private:
    char peek() const
    {
        if (pos_ >= s_.size()) {
            throw std::runtime_error("JSON ends early");
        }
        return s_[pos_];
    }
    void skip()
    {
        while (pos_ < s_.size() && isspace(static_cast<unsigned char>(s_[pos_]))) {
            ++pos_;
        }
    }
    void expect(char c)
    {
        if (peek() != c) {
            throw std::runtime_error(std::string("JSON: expected ") + c);
        }
        ++pos_;
    }
    std::string string()
    {
        expect('"');
        std::string out;
        while (peek() != '"') {
            char c = s_[pos_++];
            if (c == '\\') {
                c = s_[pos_++];
                switch (c) {
                case 'n': out += '\n'; break;
                case 't': out += '\t'; break;
                case 'r': out += '\r'; break;
                case 'u': {
                    // Only the ASCII range occurs in the examples.
                    out += static_cast<char>(strtol(s_.substr(pos_, 4).c_str(), nullptr, 16));
                    pos_ += 4;
                    break;
                }
                default: out += c; break;
                }
            } else {
                out += c;
            }
        }
        ++pos_;
        return out;
    }

    const std::string &s_;
    size_t pos_ = 0;
};

// One file of tests/data, read whole and parsed.
inline Json load(const std::string &name)
{
    const std::string path = SITEMIRROR_TEST_DATA "/" + name;
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string text = ss.str();
    return Reader(text).value();
}

} // namespace vectors

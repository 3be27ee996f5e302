// A minimal JSON reader for test data: objects keep their member order, numbers
// are doubles, strings are UTF-8.  Malformed input yields nothing.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace json_lite {

struct Value {
  enum class Type : uint8_t { kNull, kBool, kNumber, kString, kArray, kObject };
  Type type = Type::kNull;
  bool boolean = false;
  double number = 0;
  std::string string;
  std::vector<std::string> keys;  // objects: member names, parallel to items
  std::vector<Value> items;       // arrays and objects

  bool is_null() const { return type == Type::kNull; }
  // The member named `key`, or nullptr.
  const Value* find(std::string_view key) const {
    for (std::size_t i = 0; i < keys.size(); ++i)
      if (keys[i] == key) return &items[i];
    return nullptr;
  }
  const Value& operator[](std::string_view key) const {
    static const Value kNull;
    const Value* v = find(key);
    return v ? *v : kNull;
  }
};

class Parser {
 public:
  explicit Parser(std::string_view text) : s_(text) {}

  std::optional<Value> parse() {
    Value v;
    if (!value(&v)) return std::nullopt;
    skip_ws();
    if (i_ != s_.size()) return std::nullopt;
    return v;
  }

 private:
  void skip_ws() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) ++i_;
  }
  bool eat(char c) {
    skip_ws();
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  bool literal(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) return false;
    i_ += word.size();
    return true;
  }
  bool value(Value* v) {
    skip_ws();
    if (i_ == s_.size()) return false;
    switch (s_[i_]) {
      case '{': {
        ++i_;
        v->type = Value::Type::kObject;
        if (eat('}')) return true;
        do {
          Value key;
          skip_ws();
          if (!string(&key.string) || !eat(':')) return false;
          v->keys.push_back(std::move(key.string));
          v->items.emplace_back();
          if (!value(&v->items.back())) return false;
        } while (eat(','));
        return eat('}');
      }
      case '[':
        ++i_;
        v->type = Value::Type::kArray;
        if (eat(']')) return true;
        do {
          v->items.emplace_back();
          if (!value(&v->items.back())) return false;
        } while (eat(','));
        return eat(']');
      case '"':
        v->type = Value::Type::kString;
        return string(&v->string);
      case 't':
        v->type = Value::Type::kBool;
        v->boolean = true;
        return literal("true");
      case 'f':
        v->type = Value::Type::kBool;
        return literal("false");
      case 'n':
        return literal("null");
      default: {
        v->type = Value::Type::kNumber;
        const std::size_t start = i_;
        while (i_ < s_.size() && std::string_view("+-0123456789.eE").find(s_[i_]) != std::string_view::npos)
          ++i_;
        if (start == i_) return false;
        const std::string text(s_.substr(start, i_ - start));
        char* end = nullptr;
        v->number = std::strtod(text.c_str(), &end);
        return end == text.c_str() + text.size();
      }
    }
  }
  bool hex4(uint32_t* out) {
    if (s_.size() - i_ < 4) return false;
    *out = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = s_[i_++];
      const int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
      if (d < 0) return false;
      *out = *out * 16 + static_cast<uint32_t>(d);
    }
    return true;
  }
  static void put_utf8(uint32_t cp, std::string* out) {
    if (cp < 0x80) {
      out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out->push_back(static_cast<char>(0xc0 | cp >> 6));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3f)));
    } else if (cp < 0x10000) {
      out->push_back(static_cast<char>(0xe0 | cp >> 12));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3f)));
    } else {
      out->push_back(static_cast<char>(0xf0 | cp >> 18));
      out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3f)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3f)));
    }
  }
  bool string(std::string* out) {
    if (i_ == s_.size() || s_[i_] != '"') return false;
    ++i_;
    while (i_ < s_.size()) {
      const char c = s_[i_++];
      if (c == '"') return true;
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (i_ == s_.size()) return false;
      const char e = s_[i_++];
      switch (e) {
        case 'b':
          out->push_back('\b');
          break;
        case 'f':
          out->push_back('\f');
          break;
        case 'n':
          out->push_back('\n');
          break;
        case 'r':
          out->push_back('\r');
          break;
        case 't':
          out->push_back('\t');
          break;
        case 'u': {
          uint32_t cp;
          if (!hex4(&cp)) return false;
          if (cp >= 0xd800 && cp < 0xdc00 && s_.substr(i_, 2) == "\\u") {
            i_ += 2;
            uint32_t low;
            if (!hex4(&low) || low < 0xdc00 || low >= 0xe000) return false;
            cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
          }
          put_utf8(cp, out);
          break;
        }
        default:
          out->push_back(e);
          break;  // \" \\ \/
      }
    }
    return false;
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

inline std::optional<Value> parse(std::string_view text) {
  return Parser(text).parse();
}

inline std::optional<Value> parse_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return parse(text.str());
}

}  // namespace json_lite

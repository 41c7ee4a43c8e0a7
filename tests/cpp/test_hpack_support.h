// Test support for the HPACK tests and benchmark: a small JSON reader (just
// what the RFC examples and the corpus stories use: objects, arrays, strings
// and numbers), hex, files, and the
// stories of a corpus folder.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/http2/hpack/header.h"
#include "core/util/utf8.h"

namespace hpack_test {

struct Json {
  enum class Type { Null, Number, String, Array, Object } type = Type::Null;
  double number = 0;
  std::string text;
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;  // in document order

  const Json& operator[](std::string_view key) const {
    static const Json kNull;
    for (const auto& [k, v] : members) {
      if (k == key) return v;
    }
    return kNull;
  }
};

class JsonReader {
 public:
  explicit JsonReader(std::string_view s) : s_(s) {}

  Json parse() {
    Json v = value();
    skip();
    if (i_ != s_.size()) throw std::runtime_error("trailing JSON");
    return v;
  }

 private:
  void skip() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) ++i_;
  }
  char peek() {
    skip();
    if (i_ >= s_.size()) throw std::runtime_error("truncated JSON");
    return s_[i_];
  }
  void expect(char c) {
    if (peek() != c) throw std::runtime_error(std::string("expected ") + c);
    ++i_;
  }
  Json value() {
    Json v;
    const char c = peek();
    if (c == '{') {
      v.type = Json::Type::Object;
      ++i_;
      if (peek() == '}') return ++i_, v;
      for (;;) {
        std::string key = string();
        expect(':');
        v.members.emplace_back(std::move(key), value());
        if (peek() == '}') return ++i_, v;
        expect(',');
      }
    }
    if (c == '[') {
      v.type = Json::Type::Array;
      ++i_;
      if (peek() == ']') return ++i_, v;
      for (;;) {
        v.items.push_back(value());
        if (peek() == ']') return ++i_, v;
        expect(',');
      }
    }
    if (c == '"') {
      v.type = Json::Type::String;
      v.text = string();
      return v;
    }
    size_t used = 0;
    v.type = Json::Type::Number;
    v.number = std::stod(std::string(s_.substr(i_, 32)), &used);
    i_ += used;
    return v;
  }
  char32_t hex4() {
    const auto cp = static_cast<char32_t>(std::stoul(std::string(s_.substr(i_, 4)), nullptr, 16));
    i_ += 4;
    return cp;
  }
  std::string string() {
    expect('"');
    std::string out;
    for (;;) {
      const char c = s_.at(i_++);
      if (c == '"') return out;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      // These files use only \uXXXX (surrogate pairs included) and
      // escaped quotes and backslashes.
      const char e = s_.at(i_++);
      if (e != 'u') {
        out.push_back(e);
        continue;
      }
      char32_t cp = hex4();
      if (cp >= 0xD800 && cp < 0xDC00 && s_.substr(i_, 2) == "\\u") {
        i_ += 2;
        cp = 0x10000 + ((cp - 0xD800) << 10) + (hex4() - 0xDC00);
      }
      vintrel::utf8::append(out, cp);
    }
  }

  std::string_view s_;
  size_t i_ = 0;
};

inline std::string read_file(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

inline Json read_json(const std::filesystem::path& p) { return JsonReader(read_file(p)).parse(); }

// Hex digits to bytes; spaces between octets are ignored.
inline std::string unhex(std::string_view hex) {
  std::string digits(hex);
  std::erase(digits, ' ');
  std::string out;
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

inline std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    out.push_back(kDigits[static_cast<uint8_t>(c) >> 4]);
    out.push_back(kDigits[static_cast<uint8_t>(c) & 15]);
  }
  return out;
}

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// One case of a story: the wire bytes (empty in raw-data), the headers,
// and the table size the encoder was set to, if given.
struct StoryCase {
  std::string wire;
  HeaderList headers;
  size_t header_table_size = 0;  // 0: not given
};

inline std::vector<StoryCase> read_story(const std::filesystem::path& p) {
  const Json doc = read_json(p);
  std::vector<StoryCase> cases;
  for (const Json& c : doc["cases"].items) {
    StoryCase sc;
    sc.wire = unhex(c["wire"].text);
    sc.header_table_size = static_cast<size_t>(c["header_table_size"].number);
    for (const Json& h : c["headers"].items) {
      for (const auto& [name, value] : h.members) sc.headers.emplace_back(name, value.text);
    }
    cases.push_back(std::move(sc));
  }
  return cases;
}

// The story files of a corpus, by folder ("raw-data", "nghttp2", ...),
// each list sorted.
inline std::map<std::string, std::vector<std::filesystem::path>> corpus_stories(const std::filesystem::path& root) {
  std::map<std::string, std::vector<std::filesystem::path>> out;
  if (!std::filesystem::is_directory(root)) return out;
  for (const auto& dir : std::filesystem::directory_iterator(root)) {
    if (!dir.is_directory()) continue;
    auto& list = out[dir.path().filename().string()];
    for (const auto& f : std::filesystem::directory_iterator(dir.path())) {
      if (f.path().extension() == ".json") list.push_back(f.path());
    }
    std::sort(list.begin(), list.end());
  }
  return out;
}

// A recorded header list as encoder input (pseudo-headers by their names).
inline std::vector<vintrel::h2::hpack::DecodedHeader> to_encoder_input(const HeaderList& list) {
  using vintrel::h2::hpack::HeaderKind;
  std::vector<vintrel::h2::hpack::DecodedHeader> out;
  for (const auto& [name, value] : list) {
    HeaderKind kind = HeaderKind::Field;
    for (const HeaderKind k : {HeaderKind::Authority, HeaderKind::Method, HeaderKind::Scheme, HeaderKind::Path,
                               HeaderKind::Protocol, HeaderKind::Status}) {
      if (name == vintrel::h2::hpack::pseudo_name(k)) kind = k;
    }
    out.push_back(vintrel::h2::hpack::DecodedHeader{kind, name, value});
  }
  return out;
}

}  // namespace hpack_test

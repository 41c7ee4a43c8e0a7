// The repr of an event object: Name(field=value, ...), with the value forms
// every event shares: integers in decimal, flags as true or false, an
// optional value as Some(value) or None, text between double quotes with
// the escapes of util::append_quoted. For example
//   Repr("Data").integer("stream_id", 3).flag("end_stream", true).integer("len", 5).finish()
// gives Data(stream_id=3, end_stream=true, len=5). Plain C++: results.h
// makes the str of a finished repr.
#pragma once

#include <charconv>
#include <concepts>
#include <optional>
#include <string>
#include <string_view>

#include "core/util/quote.h"

namespace vintrel::py {

// An integer type other than bool (a flag prints as true/false).
template <class I>
concept ReprInteger = std::integral<I> && !std::same_as<I, bool>;

class Repr {
 public:
  explicit Repr(std::string_view name) {
    out_.reserve(64);
    out_ += name;
    out_ += '(';
  }

  template <ReprInteger I>
  Repr& integer(std::string_view field, I value) {
    key(field);
    append_integer(value);
    return *this;
  }
  Repr& flag(std::string_view field, bool value) {
    key(field);
    out_ += value ? "true" : "false";
    return *this;
  }
  Repr& text(std::string_view field, std::string_view value) {
    key(field);
    util::append_quoted(out_, value);
    return *this;
  }
  // Some(value) or None.
  template <ReprInteger I>
  Repr& optional(std::string_view field, std::optional<I> value) {
    key(field);
    if (value) {
      out_ += "Some(";
      append_integer(*value);
      out_ += ')';
    } else {
      out_ += "None";
    }
    return *this;
  }
  Repr& optional_text(std::string_view field, std::optional<std::string_view> value) {
    key(field);
    if (value) {
      out_ += "Some(";
      util::append_quoted(out_, *value);
      out_ += ')';
    } else {
      out_ += "None";
    }
    return *this;
  }

  // The finished text; the builder is left empty.
  std::string finish() {
    out_ += ')';
    return std::move(out_);
  }

 private:
  void key(std::string_view field) {
    if (!first_) out_ += ", ";
    first_ = false;
    out_ += field;
    out_ += '=';
  }
  template <class I>
  void append_integer(I value) {
    char buf[24];  // the longest 64-bit value, with its sign, is 20 characters
    const auto end = std::to_chars(buf, buf + sizeof buf, value).ptr;
    out_.append(buf, static_cast<size_t>(end - buf));
  }

  std::string out_;
  bool first_ = true;
};

}  // namespace vintrel::py

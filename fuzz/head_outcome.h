// The outcome of parsing a head, comparable between one whole feed and a
// feed in pieces.
#pragma once

#include <string>
#include <vector>

#include "core/http1/fields.h"
#include "core/http1/head_parse.h"
#include "support.h"

namespace vintrel::fuzz {

struct HeadOutcome {
  int error = -1;  // the ParseError, or -1
  bool head = false;
  std::string line;
  int kind = 0;
  uint64_t length = 0;
  bool keep_alive = false, upgrade = false, http10 = false, expect = false;
  std::vector<std::string> fields;  // "name: value"
  std::string rest;                 // bytes left in the buffer and not fed

  bool operator==(const HeadOutcome&) const = default;

  void record(const http1::HeadCommon& h) {
    head = true;
    kind = static_cast<int>(h.body_kind);
    length = h.content_length;
    keep_alive = h.keep_alive;
    upgrade = h.is_upgrade;
    http10 = h.http10();
    http1::for_each_field(h.headers, [this](std::string_view n, std::string_view v) {
      fields.push_back(std::string(n).append(": ").append(v));
    });
  }
};

// Feeds the pieces until a head or a failure; `receive(reader, piece, out)`
// parses one piece into `out`.
template <class Receive>
HeadOutcome feed_head(const std::vector<std::string_view>& pieces, Receive receive) {
  http1::HeadReader reader;
  HeadOutcome out;
  size_t i = 0;
  while (i < pieces.size() && !out.head && out.error < 0) receive(reader, Exact(pieces[i++]).view(), out);
  out.rest = std::string(reader.buffer().view());
  for (; i < pieces.size(); ++i) out.rest.append(pieces[i]);
  return out;
}

}  // namespace vintrel::fuzz

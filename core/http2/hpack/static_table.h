// The HPACK static table: 61 entries, index 1 to 61.
#pragma once

#include <array>
#include <cstddef>

#include "core/http2/hpack/header.h"

namespace vintrel::h2::hpack {

inline constexpr size_t kStaticTableSize = 61;

namespace static_table_detail {
constexpr DecodedHeader field(std::string_view n, std::string_view v) { return DecodedHeader::field(n, v); }
constexpr DecodedHeader pseudo(HeaderKind k, std::string_view v,
                               http::MethodKind m = http::MethodKind::Extension) {
  DecodedHeader h = DecodedHeader::pseudo(k, v);
  h.method = m;
  return h;
}
constexpr DecodedHeader status(uint16_t code) {
  constexpr std::string_view kDigits = "200204206304400404500";
  size_t at = 0;
  switch (code) {
    case 200: at = 0; break;
    case 204: at = 3; break;
    case 206: at = 6; break;
    case 304: at = 9; break;
    case 400: at = 12; break;
    case 404: at = 15; break;
    default: at = 18; break;
  }
  return DecodedHeader::status_of(code, kDigits.substr(at, 3));
}
}  // namespace static_table_detail

// kStaticTable[i - 1] is static index i.
inline constexpr std::array<DecodedHeader, kStaticTableSize> kStaticTable = [] {
  using namespace static_table_detail;
  return std::array<DecodedHeader, kStaticTableSize>{
    pseudo(HeaderKind::Authority, ""),  // 1
    pseudo(HeaderKind::Method, "GET", http::MethodKind::Get),  // 2
    pseudo(HeaderKind::Method, "POST", http::MethodKind::Post),  // 3
    pseudo(HeaderKind::Path, "/"),  // 4
    pseudo(HeaderKind::Path, "/index.html"),  // 5
    pseudo(HeaderKind::Scheme, "http"),  // 6
    pseudo(HeaderKind::Scheme, "https"),  // 7
    status(200),  // 8
    status(204),  // 9
    status(206),  // 10
    status(304),  // 11
    status(400),  // 12
    status(404),  // 13
    status(500),  // 14
    field("accept-charset", ""),  // 15
    field("accept-encoding", "gzip, deflate"),  // 16
    field("accept-language", ""),  // 17
    field("accept-ranges", ""),  // 18
    field("accept", ""),  // 19
    field("access-control-allow-origin", ""),  // 20
    field("age", ""),  // 21
    field("allow", ""),  // 22
    field("authorization", ""),  // 23
    field("cache-control", ""),  // 24
    field("content-disposition", ""),  // 25
    field("content-encoding", ""),  // 26
    field("content-language", ""),  // 27
    field("content-length", ""),  // 28
    field("content-location", ""),  // 29
    field("content-range", ""),  // 30
    field("content-type", ""),  // 31
    field("cookie", ""),  // 32
    field("date", ""),  // 33
    field("etag", ""),  // 34
    field("expect", ""),  // 35
    field("expires", ""),  // 36
    field("from", ""),  // 37
    field("host", ""),  // 38
    field("if-match", ""),  // 39
    field("if-modified-since", ""),  // 40
    field("if-none-match", ""),  // 41
    field("if-range", ""),  // 42
    field("if-unmodified-since", ""),  // 43
    field("last-modified", ""),  // 44
    field("link", ""),  // 45
    field("location", ""),  // 46
    field("max-forwards", ""),  // 47
    field("proxy-authenticate", ""),  // 48
    field("proxy-authorization", ""),  // 49
    field("range", ""),  // 50
    field("referer", ""),  // 51
    field("refresh", ""),  // 52
    field("retry-after", ""),  // 53
    field("server", ""),  // 54
    field("set-cookie", ""),  // 55
    field("strict-transport-security", ""),  // 56
    field("transfer-encoding", ""),  // 57
    field("user-agent", ""),  // 58
    field("vary", ""),  // 59
    field("via", ""),  // 60
    field("www-authenticate", ""),  // 61
  };
}();

}  // namespace vintrel::h2::hpack

#include "core/http1/date.h"

#include <chrono>
#include <cstring>

namespace vintrel::http1 {

namespace {

constexpr std::string_view kNames = "MonTueWedThuFriSatSunJanFebMarAprMayJunJulAugSepOctNovDec";
constexpr std::string_view kTemplate = ", 00 0000 00:00:00 GMT";
constexpr int64_t kFirst = 0;                 // 1970-01-01T00:00:00Z
constexpr int64_t kLast = 253402300799;       // 9999-12-31T23:59:59Z
constexpr int64_t kNanos = 1000000000;

void put2(char* p, int64_t v) noexcept {
  p[0] = static_cast<char>('0' + v / 10);
  p[1] = static_cast<char>('0' + v % 10);
}

// Floor division, for instants before the epoch.
int64_t floor_div(int64_t a, int64_t b) noexcept { return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0); }

}  // namespace

void render_imf_fixdate(int64_t unix_seconds, char out[kDateLength]) noexcept {
  const int64_t t = unix_seconds < kFirst ? kFirst : unix_seconds > kLast ? kLast : unix_seconds;
  const int64_t days = t / 86400;
  const int64_t secs = t % 86400;
  // Civil date from the day count (proleptic Gregorian, eras of 400 years).
  const int64_t z = days + 719468;
  const int64_t era = z / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  const int64_t weekday = (days + 3) % 7;  // 1970-01-01 was a Thursday; 0 is Monday

  std::memcpy(out, kNames.data() + weekday * 3, 3);
  // The template without the month: ", 00 " then " 0000 00:00:00 GMT".
  std::memcpy(out + 3, kTemplate.data(), 5);
  std::memcpy(out + 8, kNames.data() + 21 + (month - 1) * 3, 3);
  std::memcpy(out + 11, kTemplate.data() + 4, kTemplate.size() - 4);
  put2(out + 5, day);
  put2(out + 12, year / 100);
  put2(out + 14, year % 100);
  put2(out + 17, secs / 3600);
  put2(out + 20, secs / 60 % 60);
  put2(out + 23, secs % 60);
}

std::string_view DateCache::at(int64_t now_ns) noexcept {
  if (now_ns >= renew_at_ns_) {
    const int64_t secs = floor_div(now_ns, kNanos);
    render_imf_fixdate(secs, text_);
    renew_at_ns_ = secs < INT64_MAX / kNanos ? (secs + 1) * kNanos : INT64_MAX;
    ++renders_;
  }
  return std::string_view(text_, kDateLength);
}

std::string_view current_date() noexcept {
  thread_local DateCache cache;
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return cache.at(static_cast<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()));
}

}  // namespace vintrel::http1

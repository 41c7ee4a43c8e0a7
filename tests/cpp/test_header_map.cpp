#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/http/header_field.h"
#include "core/http/header_map.h"
#include "core/util/siphash.h"

namespace vintrel::http {
namespace {

HeaderName N(std::string_view s) { return HeaderName::trusted(s); }
HeaderValue V(std::string_view s) { return HeaderValue::trusted(s); }

// prefix followed by the decimal n (appended, not concatenated with +,
// which trips a false -Wrestrict in GCC 12 at -O3).
std::string numbered(std::string_view prefix, uint64_t n) {
  std::string out(prefix);
  out += std::to_string(n);
  return out;
}

std::vector<std::string> keys(const HeaderMap& m) {
  std::vector<std::string> out;
  for (size_t i = 0; i < m.name_count(); ++i) out.emplace_back(m.name(i));
  return out;
}

// ---------------------------------------------------------------- fields

TEST(HeaderField, NameFoldsAndViewsInputWhenAlreadyLower) {
  NameScratch scratch;
  const std::string lower = "content-type";
  auto r = parse_header_name(lower, scratch);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->view().data(), lower.data());  // no copy

  auto mixed = parse_header_name("Content-Type", scratch);
  ASSERT_TRUE(mixed.ok());
  EXPECT_EQ(mixed->view(), "content-type");
  // The hash made during folding is the hash of the folded name.
  EXPECT_EQ(mixed->fast_hash(), fast_name_hash("content-type"));
  EXPECT_EQ(HeaderName::trusted("content-type").fast_hash(), fast_name_hash("content-type"));
  std::string upper, lower_s;
  for (size_t n = 1; n < 300; ++n) {  // every block remainder, both paths
    upper += static_cast<char>('A' + n % 26);
    lower_s += static_cast<char>('a' + n % 26);
    auto r = parse_header_name(upper, scratch);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->fast_hash(), fast_name_hash(lower_s)) << n;
  }
  EXPECT_NE(fast_name_hash("ab"), fast_name_hash("ba"));
  EXPECT_NE(fast_name_hash("abcdXbcdY"), fast_name_hash("abcdYbcdX"));
  EXPECT_NE(fast_name_hash("a"), fast_name_hash(std::string_view("a\0", 2)));  // the length counts
  // Folding takes the table path for token characters beyond [a-z0-9-].
  for (std::string_view odd : {"X_Y", "a!b#c$d%e&f'g*h+i.j^k_l`m|n~", "ABCDEFGHIJKLMNOP_QRSTUVWXYZ"}) {
    std::string lower(odd);
    for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    auto r = parse_header_name(odd, scratch);
    ASSERT_TRUE(r.ok()) << odd;
    EXPECT_EQ(r->view(), lower);
    EXPECT_EQ(r->fast_hash(), fast_name_hash(lower)) << odd;
  }
}

TEST(HeaderField, NameLimits) {
  NameScratch scratch;
  EXPECT_FALSE(parse_header_name("", scratch).ok());
  EXPECT_FALSE(parse_header_name("a b", scratch).ok());
  EXPECT_FALSE(parse_header_name("a:", scratch).ok());
  EXPECT_FALSE(parse_header_name(std::string_view("a\0", 2), scratch).ok());
  EXPECT_FALSE(parse_header_name("\xc3\xa9", scratch).ok());
  EXPECT_TRUE(parse_header_name("!#$%&'*+-.^_`|~09az", scratch).ok());

  const std::string max_lower(kMaxHeaderNameLength, 'x');
  auto lower = parse_header_name(max_lower, scratch);
  ASSERT_TRUE(lower.ok());
  EXPECT_EQ(lower->view().data(), max_lower.data());
  const std::string max_mixed(kMaxHeaderNameLength, 'X');
  auto mixed = parse_header_name(max_mixed, scratch);
  ASSERT_TRUE(mixed.ok());
  EXPECT_EQ(mixed->view(), max_lower);
  EXPECT_FALSE(parse_header_name(std::string(kMaxHeaderNameLength + 1, 'x'), scratch).ok());
  std::string long_bad(1000, 'x');
  long_bad[999] = ' ';
  EXPECT_FALSE(parse_header_name(long_bad, scratch).ok());

  EXPECT_EQ(name_shape("abc"), NameShape::Lower);
  EXPECT_EQ(name_shape("aBc"), NameShape::Mixed);
  EXPECT_EQ(name_shape("a c"), NameShape::Invalid);
  EXPECT_EQ(field_error_text(FieldError::InvalidName), "invalid header name");
}

TEST(HeaderField, Values) {
  std::string ok = "\t";
  for (int c = 32; c < 256; ++c) {
    if (c != 127) ok += static_cast<char>(c);
  }
  EXPECT_TRUE(is_valid_header_value(ok));
  EXPECT_TRUE(is_valid_header_value(""));
  for (int c : {0, 8, 10, 13, 31, 127}) {
    EXPECT_FALSE(is_valid_header_value(std::string("a") + static_cast<char>(c))) << c;
  }
  // Checked a word at a time: a bad byte or a tab at every place of every
  // length up to three words and a tail.
  for (size_t n = 1; n <= 27; ++n) {
    for (size_t at = 0; at < n; ++at) {
      std::string v(n, '\x80');
      v[at] = '\t';
      EXPECT_TRUE(is_valid_header_value(v)) << n << " " << at;
      for (char bad : {'\0', '\x1f', '\x7f', '\n'}) {
        v[at] = bad;
        EXPECT_FALSE(is_valid_header_value(v)) << n << " " << at;
      }
    }
  }
  EXPECT_EQ(field_error_text(FieldError::InvalidValue), "invalid header value");
}

// ---------------------------------------------------------------- order

TEST(HeaderMap, ValuesGroupUnderFirstInsertion) {
  HeaderMap m;
  ASSERT_TRUE(m.append(N("a"), V("1")).ok());
  ASSERT_TRUE(m.append(N("b"), V("2")).ok());
  ASSERT_TRUE(m.append(N("a"), V("3")).ok());
  EXPECT_EQ(m.value_count(), 3u);
  EXPECT_EQ(keys(m), (std::vector<std::string>{"a", "b"}));
  std::vector<std::string> pairs;
  m.for_each([&](std::string_view n, std::string_view v) { pairs.push_back(std::string(n) + "=" + std::string(v)); });
  EXPECT_EQ(pairs, (std::vector<std::string>{"a=1", "a=3", "b=2"}));

  ASSERT_TRUE(m.replace(N("a"), V("x")).ok());
  EXPECT_EQ(keys(m), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(m.get_all(N("a")).size(), 1u);
  EXPECT_EQ(*m.get(N("a")), "x");
  EXPECT_EQ(m.value_count(), 2u);
  ASSERT_TRUE(m.replace(N("c"), V("y")).ok());
  EXPECT_EQ(keys(m), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(HeaderMap, SetdefaultKeepsExisting) {
  HeaderMap m;
  EXPECT_EQ(*m.setdefault(N("a"), V("1")), "1");
  EXPECT_EQ(*m.setdefault(N("a"), V("2")), "1");
  EXPECT_EQ(m.value_count(), 1u);
}

TEST(HeaderMap, RemoveMovesLastIntoHole) {
  HeaderMap m;
  for (auto n : {"a", "b", "c", "d"}) ASSERT_TRUE(m.append(N(n), V(n)).ok());
  ASSERT_TRUE(m.append(N("d"), V("d2")).ok());
  EXPECT_TRUE(m.remove(N("b")));
  EXPECT_EQ(keys(m), (std::vector<std::string>{"a", "d", "c"}));
  EXPECT_EQ(m.get_all(N("d")).size(), 2u);
  EXPECT_EQ(m.value_count(), 4u);
  EXPECT_FALSE(m.remove(N("b")));
  EXPECT_TRUE(m.remove(N("c")));  // the last one: nothing moves
  EXPECT_EQ(keys(m), (std::vector<std::string>{"a", "d"}));
  for (auto n : {"a", "d"}) EXPECT_TRUE(m.contains(N(n)));
  EXPECT_FALSE(m.contains(N("c")));
}

TEST(HeaderMap, EqualityIgnoresNameOrderOnly) {
  HeaderMap a, b;
  ASSERT_TRUE(a.append(N("x"), V("1")).ok());
  ASSERT_TRUE(a.append(N("y"), V("2")).ok());
  ASSERT_TRUE(b.append(N("y"), V("2")).ok());
  ASSERT_TRUE(b.append(N("x"), V("1")).ok());
  EXPECT_TRUE(a == b);
  ASSERT_TRUE(a.append(N("x"), V("3")).ok());
  ASSERT_TRUE(b.append(N("x"), V("3")).ok());
  EXPECT_TRUE(a == b);
  HeaderMap c;
  ASSERT_TRUE(c.append(N("x"), V("3")).ok());
  ASSERT_TRUE(c.append(N("x"), V("1")).ok());
  ASSERT_TRUE(c.append(N("y"), V("2")).ok());
  EXPECT_FALSE(a == c);
}

// Random inserts and removals against a simple model, across growth.
TEST(HeaderMap, MatchesModelUnderChurn) {
  std::mt19937 rng(7);
  HeaderMap m;
  std::vector<std::pair<std::string, std::vector<std::string>>> model;
  for (int step = 0; step < 20000; ++step) {
    const std::string name = numbered("h", rng() % 3000);
    auto it = std::find_if(model.begin(), model.end(), [&](auto& p) { return p.first == name; });
    if (rng() % 3 == 0) {
      const bool present = it != model.end();
      EXPECT_EQ(m.remove(N(name)), present);
      if (present) {
        *it = std::move(model.back());
        model.pop_back();
      }
    } else {
      const std::string value = std::to_string(step);
      ASSERT_TRUE(m.append(N(name), V(value)).ok());
      if (it == model.end()) {
        model.push_back({name, {value}});
      } else {
        it->second.push_back(value);
      }
    }
  }
  ASSERT_EQ(m.name_count(), model.size());
  size_t values = 0;
  for (size_t i = 0; i < model.size(); ++i) {
    EXPECT_EQ(m.name(i), model[i].first);
    const std::vector<std::string> got(m.get_all(N(model[i].first)).begin(), m.get_all(N(model[i].first)).end());
    EXPECT_EQ(got, model[i].second);
    values += got.size();
  }
  EXPECT_EQ(m.value_count(), values);
}

// ---------------------------------------------------------------- capacity

TEST(HeaderMap, FullRefusesEveryStore) {
  HeaderMap m;
  for (size_t i = 0; i < HeaderMap::kMaxNames; ++i) {
    ASSERT_TRUE(m.append(N(numbered("n", i)), V("v")).ok()) << i;
  }
  EXPECT_TRUE(m.full());
  const HeaderMap before = m;
  auto r = m.append(N("n0"), V("w"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(map_error_text(r.error()), "header map is full (http::HeaderMap MAX_SIZE, 32768 entries)");
  EXPECT_FALSE(m.append(N("new"), V("w")).ok());
  EXPECT_FALSE(m.replace(N("n0"), V("w")).ok());
  EXPECT_FALSE(m.replace(N("new"), V("w")).ok());
  EXPECT_FALSE(m.setdefault(N("new"), V("w")).ok());
  EXPECT_EQ(*m.setdefault(N("n1"), V("w")), "v");  // stores nothing
  EXPECT_TRUE(m == before);
  EXPECT_EQ(m.value_count(), HeaderMap::kMaxNames);
  EXPECT_TRUE(m.remove(N("n5")));
  EXPECT_TRUE(m.append(N("n0"), V("w")).ok());
}

// ---------------------------------------------------------------- flooding

// Distinct valid names whose fast hashes agree in their low 15 bits, so
// that they share one home slot at every table size. The fast hash is
// unkeyed and public, so an attacker finds such names the same way, by
// plain search: one name in 2^15 hits, which costs a few seconds of work
// for tens of thousands of them.
std::vector<std::string> colliding_names(size_t count) {
  constexpr uint64_t kMask = (1u << 15) - 1;
  const std::string alpha = "abcdefghijklmnopqrstuvwxyz0123456789";
  char name[8] = {'f', 'a', 'a', 'a', 'a', 'a', 'a', 'a'};
  size_t digit[8] = {};
  const uint64_t target = fast_name_hash("flood") & kMask;
  std::vector<std::string> names;
  names.reserve(count);
  while (names.size() < count) {
    const std::string_view candidate(name, sizeof name);
    if ((fast_name_hash(candidate) & kMask) == target) names.emplace_back(candidate);
    // Next name: an odometer over positions 1..7.
    for (size_t p = 7; p >= 1; --p) {
      if (++digit[p] < alpha.size()) {
        name[p] = alpha[digit[p]];
        break;
      }
      digit[p] = 0;
      name[p] = alpha[0];
    }
  }
  return names;
}

TEST(HeaderMapFlood, CollidingNamesReallyCollide) {
  const auto names = colliding_names(1000);
  NameScratch scratch;
  for (const auto& n : names) {
    ASSERT_EQ(name_shape(n), NameShape::Lower) << n;
    EXPECT_EQ(fast_name_hash(n) & 0x7fff, fast_name_hash(names[0]) & 0x7fff);
  }
  // Without the switch this is the quadratic case: 1000 names in one
  // cluster would cost ~500,000 probes.
  HeaderMap m;
  for (const auto& n : names) ASSERT_TRUE(m.append(N(n), V("v")).ok());
  EXPECT_TRUE(m.keyed());
}

// Robin hood lookups stop at the first slot nearer its home than the probe,
// so no lookup or removal walks further than the largest displacement.
TEST(HeaderMapFlood, DisplacementStaysShort) {
  const size_t n = 8000;
  const auto names = colliding_names(n);
  HeaderMap m;
  for (const auto& name : names) ASSERT_TRUE(m.append(N(name), V("v")).ok());
  EXPECT_TRUE(m.keyed());
  EXPECT_EQ(m.name_count(), n);
  // Undefended, the last of them would sit ~8000 slots from home.
  std::printf("max displacement: %zu for %zu colliding names\n", m.max_displacement(), n);
  EXPECT_LT(m.max_displacement(), HeaderMap::kLongProbe);
  for (const auto& name : names) ASSERT_TRUE(m.contains(N(name)));
  for (size_t i = 0; i < n; i += 2) ASSERT_TRUE(m.remove(N(names[i])));
  EXPECT_LT(m.max_displacement(), HeaderMap::kLongProbe);
  for (size_t i = 0; i < n; ++i) EXPECT_EQ(m.contains(N(names[i])), i % 2 == 1);
}

TEST(HeaderMapFlood, OrdinaryNamesKeepTheFastHash) {
  HeaderMap m;
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(m.append(N(numbered("x-header-", static_cast<uint64_t>(i))), V("v")).ok());
  EXPECT_FALSE(m.keyed());
}

TEST(HeaderMapFlood, CopyKeepsKeyedIndex) {
  HeaderMap m;
  for (const auto& name : colliding_names(200)) ASSERT_TRUE(m.append(N(name), V("v")).ok());
  ASSERT_TRUE(m.keyed());
  HeaderMap copy = m;
  EXPECT_TRUE(copy == m);
  for (size_t i = 0; i < m.name_count(); ++i) EXPECT_TRUE(copy.contains(N(m.name(i))));
  // Equality across maps under different hashes: the keyed map keeps 40
  // names, too few to make a fresh map switch.
  while (m.name_count() > 40) ASSERT_TRUE(m.remove(N(std::string(m.name(0)))));
  HeaderMap plain;
  for (size_t i = m.name_count(); i-- > 0;) ASSERT_TRUE(plain.append(N(m.name(i)), V("v")).ok());
  ASSERT_FALSE(plain.keyed());
  EXPECT_TRUE(plain == m && m == plain);
}

}  // namespace
}  // namespace vintrel::http

namespace vintrel {
namespace {

TEST(SipHash, KeyMatters) {
  EXPECT_NE(siphash13({1, 2}, "content-type"), siphash13({1, 3}, "content-type"));
  EXPECT_EQ(siphash13({1, 2}, "content-type"), siphash13({1, 2}, "content-type"));
  // Reference vector of SipHash-1-3 (key 00..0f, empty input).
  EXPECT_EQ(siphash13({0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL}, ""), 0xabac0158050fc4dcULL);
}

}  // namespace
}  // namespace vintrel::http

namespace vintrel::http {
namespace {

HeaderName N2(std::string_view s) { return HeaderName::trusted(s); }
HeaderValue V2(std::string_view s) { return HeaderValue::trusted(s); }

std::vector<std::string> fields(const HeaderMap& m) {
  std::vector<std::string> out;
  m.for_each([&](std::string_view n, std::string_view v) { out.push_back(std::string(n) + "=" + std::string(v)); });
  return out;
}

TEST(HeaderMapFields, AppendFieldsFoldsAndGroups) {
  HeaderMap m;
  ASSERT_TRUE(m.append(N2("host"), V2("h")).ok());
  const std::string long_name(40, 'X');
  const FieldView head[] = {{"Accept", "a"}, {"HOST", "h2"}, {long_name, "l"}, {"accept", "b"}, {"X-Y_z", ""}};
  ASSERT_TRUE(m.append_fields(head).ok());
  EXPECT_EQ(fields(m), (std::vector<std::string>{"host=h", "host=h2", "accept=a", "accept=b",
                                                 std::string(40, 'x') + "=l", "x-y_z="}));
  EXPECT_EQ(m.value_count(), 6u);
  // The folded names are found by their hash like any other.
  EXPECT_EQ(*m.get(N2(std::string(40, 'x'))), "l");
  EXPECT_EQ(m.get_all(N2("accept")).size(), 2u);
  EXPECT_EQ(*m.get(N2("x-y_z")), "");
  EXPECT_TRUE(m == HeaderMap(m));
}

TEST(HeaderMapFields, HandlesMoveWithTheirFieldsAndAreQueuedWhenDropped) {
  using H = HeaderMap::Handle;
  HeaderMap m;
  HeaderMap::Handles taken;
  ASSERT_TRUE(m.append(N2("a"), V2("1"), {10, 11}, taken).ok());
  EXPECT_EQ(taken.name, 10u);
  EXPECT_EQ(taken.value, 11u);
  ASSERT_TRUE(m.append(N2("a"), V2("2"), {20, 21}, taken).ok());  // the name has one already
  EXPECT_EQ(taken.name, 0u);
  EXPECT_EQ(taken.value, 21u);
  ASSERT_TRUE(m.append(N2("b"), V2("3")).ok());
  ASSERT_TRUE(m.append(N2("b"), V2("4"), {30, 31}, taken).ok());  // a name without one takes it
  EXPECT_EQ(taken.name, 30u);
  EXPECT_EQ(m.name_handle(m.find(N2("b"))), 30u);
  const uint64_t epoch = m.epoch();
  ASSERT_TRUE(m.append(N2("c"), V2("5"), {40, 41}, taken).ok());
  EXPECT_EQ(m.epoch(), epoch);  // appending moves nothing

  std::vector<H> dropped;
  ASSERT_TRUE(m.replace(N2("a"), V2("x"), {50, 51}, taken).ok());
  m.take_dropped(dropped);
  EXPECT_EQ(dropped, (std::vector<H>{11, 21}));
  EXPECT_NE(m.epoch(), epoch);
  ASSERT_TRUE(m.remove(N2("a")));  // "c" moves into a's place with its handles
  m.take_dropped(dropped);
  EXPECT_EQ(dropped, (std::vector<H>{10, 51}));
  EXPECT_EQ(m.name(0), "c");
  EXPECT_EQ(m.name_handle(0), 40u);
  EXPECT_EQ(m.value_handle(m.first_record(0)), 41u);

  HeaderMap copy(m), kept(m, HeaderMap::KeepHandles{});
  std::vector<H> seen;
  copy.for_each_handle([&](H h) { seen.push_back(h); });
  EXPECT_TRUE(seen.empty());
  kept.for_each_handle([&](H h) { seen.push_back(h); });
  EXPECT_EQ(seen, (std::vector<H>{40, 41, 30, 31}));
  m.clear();
  m.take_dropped(dropped);
  EXPECT_EQ(dropped, (std::vector<H>{40, 41, 30, 31}));
  EXPECT_TRUE(m.empty());
}

// Replacing again and again leaves dead bytes and records behind, which
// compaction reclaims without disturbing order, values or handles.
TEST(HeaderMapFields, CompactionKeepsEverything) {
  HeaderMap m;
  HeaderMap::Handles taken;
  const std::string big(1000, 'v');
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(m.append(N2(numbered("n", static_cast<uint64_t>(i))), V2("x"), {1, 2}, taken).ok());
  for (int round = 0; round < 200; ++round) {
    for (int i = 0; i < 8; i += 2) {
      const std::string name = numbered("n", static_cast<uint64_t>(i));
      ASSERT_TRUE(m.replace(N2(name), V2(big), {0, 3}, taken).ok());
      ASSERT_TRUE(m.append(N2(name), V2(numbered("r", static_cast<uint64_t>(round))), {0, 4}, taken).ok());
    }
  }
  std::vector<HeaderMap::Handle> dropped;
  m.take_dropped(dropped);
  EXPECT_EQ(dropped.size(), 4u + 4u * 199u * 2u);
  EXPECT_EQ(keys(m), (std::vector<std::string>{"n0", "n1", "n2", "n3", "n4", "n5", "n6", "n7"}));
  EXPECT_EQ(m.value_count(), 12u);
  for (int i = 0; i < 8; ++i) {
    const auto values = m.get_all(N2(numbered("n", static_cast<uint64_t>(i))));
    const std::vector<std::string> got(values.begin(), values.end());
    if (i % 2) {
      EXPECT_EQ(got, (std::vector<std::string>{"x"}));
    } else {
      EXPECT_EQ(got, (std::vector<std::string>{big, "r199"}));
      auto it = values.begin();
      EXPECT_EQ(m.value_handle(it.record()), 3u);
      ++it;
      EXPECT_EQ(m.value_handle(it.record()), 4u);
    }
  }
}

TEST(HeaderMapFields, ReplacingTheOnlyValueReusesItsRecord) {
  HeaderMap m;
  HeaderMap::Handles taken;
  ASSERT_TRUE(m.append(N2("a"), V2("12345"), {0, 7}, taken).ok());
  ASSERT_TRUE(m.append(N2("b"), V2("b")).ok());
  const uint64_t names = m.name_epoch(), epoch = m.epoch();
  ASSERT_TRUE(m.replace(N2("a"), V2("xy"), {0, 8}, taken).ok());  // fits: in place
  EXPECT_EQ(*m.get(N2("a")), "xy");
  ASSERT_TRUE(m.replace(N2("a"), V2("a longer value"), {0, 0}, taken).ok());
  EXPECT_EQ(*m.get(N2("a")), "a longer value");
  EXPECT_EQ(*m.get(N2("b")), "b");
  EXPECT_EQ(m.value_count(), 2u);
  std::vector<HeaderMap::Handle> dropped;
  m.take_dropped(dropped);
  EXPECT_EQ(dropped, (std::vector<HeaderMap::Handle>{7, 8}));
  // Entry numbers stand; value records changed their bytes.
  EXPECT_EQ(m.name_epoch(), names);
  EXPECT_NE(m.epoch(), epoch);
}

TEST(HeaderMapFields, ReserveKeepsViewsOfAFillingMap) {
  HeaderMap m;
  m.reserve(100, 100, 100 * 16);
  ASSERT_TRUE(m.append(N2("first"), V2("value")).ok());
  const std::string_view first = *m.get(N2("first"));
  for (int i = 0; i < 99; ++i) ASSERT_TRUE(m.append(N2(numbered("name-", static_cast<uint64_t>(i))), V2("v")).ok());
  EXPECT_EQ(first.data(), m.get(N2("first"))->data());
}

}  // namespace
}  // namespace vintrel::http

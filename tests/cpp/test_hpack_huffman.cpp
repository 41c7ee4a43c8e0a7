#include <gtest/gtest.h>

#include <map>
#include <random>
#include <sstream>

#include "core/http2/hpack/huffman.h"
#include "core/http2/hpack/static_table.h"
#include "test_hpack_common.h"

namespace hpack_test {
namespace {

namespace huffman = vintrel::h2::hpack::huffman;
using vintrel::h2::hpack::kStaticTable;

std::vector<std::vector<std::string>> read_tsv(const std::filesystem::path& p) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(read_file(p));
  std::string line;
  std::getline(in, line);  // comment
  std::getline(in, line);  // column names
  while (std::getline(in, line)) {
    std::vector<std::string> row;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, '\t');) row.push_back(cell);
    if (row.size() == 2) row.emplace_back();
    rows.push_back(row);
  }
  return rows;
}

// The compiled tables against the data they were made from (the Huffman
// table is also checked by `tools/gen_huffman.py --check`).
TEST(HpackTables, MatchTheirData) {
  const auto codes = read_tsv(data_dir() / "huffman_code.tsv");
  ASSERT_EQ(codes.size(), 257u);
  for (const auto& row : codes) {
    const huffman::Code c = huffman::kCodes.at(std::stoul(row[0]));
    EXPECT_EQ(c.bits, std::stoul(row[1], nullptr, 16)) << row[0];
    EXPECT_EQ(c.length, std::stoul(row[2])) << row[0];
  }
  const auto entries = read_tsv(data_dir() / "static_table.tsv");
  ASSERT_EQ(entries.size(), kStaticTable.size());
  for (const auto& row : entries) {
    const auto& h = kStaticTable.at(std::stoul(row[0]) - 1);
    EXPECT_EQ(h.name, row[1]);
    EXPECT_EQ(h.value, row[2]);
  }
}

std::string encode(std::string_view s) {
  std::string out(huffman::encoded_length(s), '\0');
  out.resize(huffman::encode(s, out.data()));
  return out;
}

std::optional<std::string> decode(std::string_view s) {
  std::string out(huffman::decode_room(s.size()), '\0');
  size_t n = 0;
  if (!huffman::decode(s, out.data(), &n)) return std::nullopt;
  out.resize(n);
  return out;
}

// Bit-by-bit reference decoder: the nibble automaton must agree with it on
// any input, valid or not.
std::optional<std::string> reference_decode(std::string_view in) {
  std::map<std::pair<uint32_t, int>, int> by_code;
  for (size_t s = 0; s < 257; ++s) {
    by_code[{huffman::kCodes[s].bits, huffman::kCodes[s].length}] = static_cast<int>(s);
  }
  std::string out;
  uint32_t code = 0;
  int len = 0;
  for (const char c : in) {
    for (int bit = 7; bit >= 0; --bit) {
      code = (code << 1) | ((static_cast<uint8_t>(c) >> bit) & 1u);
      ++len;
      const auto it = by_code.find({code, len});
      if (it == by_code.end()) continue;
      if (it->second == 256) return std::nullopt;
      out.push_back(static_cast<char>(it->second));
      code = 0;
      len = 0;
    }
  }
  if (len >= 8 || code != (1u << len) - 1) return std::nullopt;
  return out;
}

TEST(HpackHuffman, AgreesWithBitwiseReference) {
  std::mt19937 rng(9);
  for (int i = 0; i < 3000; ++i) {
    std::string s(rng() % 40, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    // Every byte value round trips, at every length.
    ASSERT_EQ(decode(encode(s)), s);
    // Random and damaged codes: same verdict and output as the reference.
    std::string coded = i % 2 == 0 ? encode(s) : s;
    if (!coded.empty()) coded[rng() % coded.size()] ^= static_cast<char>(1u << (rng() % 8));
    ASSERT_EQ(decode(coded), reference_decode(coded)) << hex(coded);
  }
}

}  // namespace
}  // namespace hpack_test

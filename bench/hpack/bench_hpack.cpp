// HPACK throughput: our decoder and encoder against libnghttp2's inflater
// and deflater on the same stories, in the same run.
//
//   cmake -S . -B build/bench -G Ninja -DVINTREL_PYTHON=OFF -DVINTREL_BENCH=ON
//   cmake --build build/bench --target bench_hpack && build/bench/bench_hpack [corpus-dir]
//
// The corpus defaults to ../shared/data/hpack-test-case beside the checkout,
// else the stories kept in tests/data/hpack/corpus. Decoding runs over every
// encoded story folder, encoding over raw-data; each story is one
// compression context, started afresh on every pass. Rates are MB/s of
// header-block octets (the blocks read when decoding, the blocks written
// when encoding); the best of several passes counts.
#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "core/http2/hpack/decoder.h"
#include "core/http2/hpack/encoder.h"
#include "test_hpack_support.h"

namespace {

using namespace vintrel::h2::hpack;
using hpack_test::StoryCase;

struct Story {
  std::vector<StoryCase> cases;
  std::vector<std::vector<DecodedHeader>> ours;  // encoder input per case
  std::vector<std::vector<nghttp2_nv>> theirs;
};

// Best times of `ours` and `theirs`, run in turns so that both see the
// same load on a shared machine.
template <class F, class G>
std::pair<double, double> best_seconds(int passes, F&& ours, G&& theirs) {
  const auto time = [](auto& run) {
    const auto t0 = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  };
  double a = 1e30;
  double b = 1e30;
  for (int i = 0; i < passes; ++i) {
    a = std::min(a, time(ours));
    b = std::min(b, time(theirs));
  }
  return {a, b};
}

size_t g_sink = 0;  // keeps the work observable

void decode_ours(const std::vector<Story>& stories) {
  for (const Story& st : stories) {
    HpackDecoder d;
    SinkFn sink([](const DecodedHeader& h) {
      g_sink += h.name.size() + h.value.size();
      return SinkAction::Continue;
    });
    for (const StoryCase& c : st.cases) {
      if (c.header_table_size != 0) d.queue_size_update(c.header_table_size);
      if (!d.decode_block(c.wire, sink).ok()) std::abort();
    }
  }
}

void decode_theirs(const std::vector<Story>& stories) {
  for (const Story& st : stories) {
    nghttp2_hd_inflater* inflater = nullptr;
    nghttp2_hd_inflate_new(&inflater);
    for (const StoryCase& c : st.cases) {
      if (c.header_table_size != 0) nghttp2_hd_inflate_change_table_size(inflater, c.header_table_size);
      auto* in = reinterpret_cast<const uint8_t*>(c.wire.data());
      size_t left = c.wire.size();
      for (;;) {
        nghttp2_nv nv;
        int flags = 0;
        const ssize_t rv = nghttp2_hd_inflate_hd2(inflater, &nv, &flags, in, left, 1);
        if (rv < 0) std::abort();
        in += rv;
        left -= static_cast<size_t>(rv);
        if (flags & NGHTTP2_HD_INFLATE_EMIT) g_sink += nv.namelen + nv.valuelen;
        if (flags & NGHTTP2_HD_INFLATE_FINAL) {
          nghttp2_hd_inflate_end_headers(inflater);
          break;
        }
        if ((flags & NGHTTP2_HD_INFLATE_EMIT) == 0 && left == 0) break;
      }
    }
    nghttp2_hd_inflate_del(inflater);
  }
}

size_t encode_ours(const std::vector<Story>& stories, std::string& out) {
  size_t octets = 0;
  for (const Story& st : stories) {
    HpackEncoder e;
    for (const auto& list : st.ours) {
      out.clear();
      if (!e.encode_block(list, out).ok()) std::abort();
      octets += out.size();
    }
  }
  return octets;
}

size_t encode_theirs(const std::vector<Story>& stories, std::vector<uint8_t>& out) {
  size_t octets = 0;
  for (const Story& st : stories) {
    nghttp2_hd_deflater* deflater = nullptr;
    nghttp2_hd_deflate_new(&deflater, 4096);
    for (const auto& nva : st.theirs) {
      const size_t bound = nghttp2_hd_deflate_bound(deflater, nva.data(), nva.size());
      if (out.size() < bound) out.resize(bound);
      const ssize_t n = nghttp2_hd_deflate_hd(deflater, out.data(), out.size(), nva.data(), nva.size());
      if (n < 0) std::abort();
      octets += static_cast<size_t>(n);
    }
    nghttp2_hd_deflate_del(deflater);
  }
  return octets;
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path root = argc > 1 ? argv[1] : VINTREL_SOURCE_DIR "/../shared/data/hpack-test-case";
  if (!std::filesystem::is_directory(root)) root = VINTREL_SOURCE_DIR "/tests/data/hpack/corpus";
  std::vector<Story> encoded;
  std::vector<Story> raw;
  size_t wire_octets = 0;
  for (const auto& [folder, paths] : hpack_test::corpus_stories(root)) {
    for (const auto& p : paths) {
      Story st;
      st.cases = hpack_test::read_story(p);
      if (folder == "raw-data") {
        raw.push_back(std::move(st));
      } else {
        for (const StoryCase& c : st.cases) wire_octets += c.wire.size();
        encoded.push_back(std::move(st));
      }
    }
  }
  // Inputs are built once, outside the timing, for both sides.
  for (Story& st : raw) {
    for (const StoryCase& c : st.cases) {
      st.ours.push_back(hpack_test::to_encoder_input(c.headers));
      std::vector<nghttp2_nv> nva;
      for (const auto& [name, value] : c.headers) {
        nva.push_back(nghttp2_nv{reinterpret_cast<uint8_t*>(const_cast<char*>(name.data())),
                                 reinterpret_cast<uint8_t*>(const_cast<char*>(value.data())), name.size(),
                                 value.size(), NGHTTP2_NV_FLAG_NONE});
      }
      st.theirs.push_back(std::move(nva));
    }
  }
  constexpr int kPasses = 15;
  const double mb = static_cast<double>(wire_octets) / 1e6;
  const auto [dec_ours, dec_theirs] =
      best_seconds(kPasses, [&] { decode_ours(encoded); }, [&] { decode_theirs(encoded); });
  std::string out_ours;
  std::vector<uint8_t> out_theirs;
  size_t enc_octets_ours = 0;
  size_t enc_octets_theirs = 0;
  const auto [enc_ours, enc_theirs] = best_seconds(kPasses, [&] { enc_octets_ours = encode_ours(raw, out_ours); },
                                                    [&] { enc_octets_theirs = encode_theirs(raw, out_theirs); });

  std::printf("corpus: %s (%zu encoded stories, %.2f MB of blocks; %zu raw stories)\n", root.c_str(),
              encoded.size(), mb, raw.size());
  std::printf("decode  ours %8.1f MB/s   libnghttp2 %s %8.1f MB/s   ours/theirs speed %.2fx\n", mb / dec_ours,
              NGHTTP2_VERSION, mb / dec_theirs, dec_theirs / dec_ours);
  std::printf("encode  ours %8.1f MB/s (%zu octets)   libnghttp2 %8.1f MB/s (%zu octets)   ours/theirs speed %.2fx\n",
              static_cast<double>(enc_octets_ours) / 1e6 / enc_ours, enc_octets_ours,
              static_cast<double>(enc_octets_theirs) / 1e6 / enc_theirs, enc_octets_theirs, enc_theirs / enc_ours);
  return g_sink == 0;
}

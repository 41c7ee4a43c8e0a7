// The HTTP/2 frame reader, with the real HPACK decoder behind it, fed a
// hostile peer's bytes three ways under the same random limits, each with a
// fresh reader and decoder:
//
//  - one frame per call: the reference, which gives each frame's events or
//    failure on its own;
//  - the whole input in one call;
//  - in pieces cut where the input says.
//
// Every call of the other two must give exactly what the reference frames
// predict for the bytes delivered so far: the events of the frames it
// completes, or, when one of them fails, that frame's failure (reason and
// message), no events, and the bytes after that frame held; an oversize
// frame fails as soon as its head is complete and every later call fails
// the same way. Each delivery goes on after a failure (the rest of its
// pieces, then empty calls while the last one failed, then one more), so
// what the reader does with bytes held past a failure is checked too. This
// covers "whole and split give the same events and hold the same bytes"
// without a failure, and "the events before a failure are those of the
// frames before it" with one, with nothing left to judgement.
//
// Each piece is a heap block of exactly its size, freed right after its
// call, and every batch is kept: once the last call is made the reader and
// decoder are destroyed and each batch is read again and compared with what
// was recorded when it was made (views into a call's own data excepted: the
// caller owns that). So a view into bytes the reader overwrote, moved or
// freed is caught, as a difference or by AddressSanitizer.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/http2/frame_reader.h"
#include "core/http2/hpack_adapter.h"
#include "support.h"

using namespace vintrel;

namespace {

// Length-prefixed, so that descriptions compare exactly.
void put(std::string& out, std::string_view bytes) {
  out += std::to_string(bytes.size());
  out += ':';
  out.append(bytes);
}

// A view lying inside `data` (the caller's bytes of the call) is written as
// a placeholder without being read; any other view is read in full.
void put_view(std::string& out, std::string_view bytes, std::string_view data) {
  const auto at = reinterpret_cast<uintptr_t>(bytes.data());
  const auto lo = reinterpret_cast<uintptr_t>(data.data());
  if (!bytes.empty() && bytes.size() <= data.size() && at >= lo && at - lo <= data.size() - bytes.size()) {
    out += "<in data:" + std::to_string(bytes.size()) + ">";
    return;
  }
  put(out, bytes);
}

void num(std::string& out, const char* name, uint64_t value) {
  out += ' ';
  out += name;
  out += '=';
  out += std::to_string(value);
}

template <class T>
void opt(std::string& out, const char* name, const std::optional<T>& value) {
  if (value) {
    num(out, name, static_cast<uint64_t>(*value));
  } else {
    out += ' ';
    out += name;
    out += "=-";
  }
}

// Every field of an event and all of its bytes.
std::string describe(const h2::FrameEvent& event, std::string_view data) {
  std::string out;
  if (const auto* f = std::get_if<h2::DataFrame>(&event)) {
    fuzz::check(f->data.size() <= f->flow_controlled_len, "data longer than its payload");
    out = "DATA";
    num(out, "stream", f->stream_id);
    num(out, "end_stream", f->end_stream);
    num(out, "flow", f->flow_controlled_len);
    out += ' ';
    put_view(out, f->data, data);
  } else if (const auto* f = std::get_if<h2::HeadersFrame>(&event)) {
    out = "HEADERS";
    num(out, "stream", f->stream_id);
    num(out, "end_stream", f->end_stream);
    num(out, "truncated", f->truncated);
    for (size_t p = 0; p < h2::kPseudoCount; ++p) {
      const auto which = static_cast<h2::HeaderKind>(p);
      if (auto value = f->pseudo(which)) {
        out += ' ';
        out += h2::pseudo_name(which);
        out += '=';
        put(out, *value);
      }
    }
    f->fields().for_each([&out](std::string_view name, std::string_view value) {
      fuzz::check(!name.empty(), "empty field name kept");
      out += ' ';
      put(out, name);
      out += '=';
      put(out, value);
    });
  } else if (const auto* f = std::get_if<h2::PriorityFrame>(&event)) {
    out = "PRIORITY";
    num(out, "stream", f->stream_id);
  } else if (const auto* f = std::get_if<h2::SettingsFrame>(&event)) {
    out = "SETTINGS";
    num(out, "ack", f->ack);
    const h2::Settings& s = f->settings;
    opt(out, "header_table_size", s.header_table_size);
    opt(out, "enable_push", s.enable_push);
    opt(out, "max_concurrent_streams", s.max_concurrent_streams);
    opt(out, "initial_window_size", s.initial_window_size);
    opt(out, "max_frame_size", s.max_frame_size);
    opt(out, "max_header_list_size", s.max_header_list_size);
  } else if (const auto* f = std::get_if<h2::RstStreamFrame>(&event)) {
    out = "RST_STREAM";
    num(out, "stream", f->stream_id);
    num(out, "code", f->error_code);
  } else if (const auto* f = std::get_if<h2::PingFrame>(&event)) {
    out = "PING";
    num(out, "ack", f->ack);
    out += ' ';
    put(out, std::string_view(f->data.data(), f->data.size()));
  } else if (const auto* f = std::get_if<h2::GoAwayFrame>(&event)) {
    out = "GOAWAY";
    num(out, "last_stream", f->last_stream_id);
    num(out, "code", f->error_code);
    out += ' ';
    put_view(out, f->debug_data, data);
  } else if (const auto* f = std::get_if<h2::WindowUpdateFrame>(&event)) {
    out = "WINDOW_UPDATE";
    num(out, "stream", f->stream_id);
    num(out, "increment", f->increment);
  } else if (const auto* f = std::get_if<h2::StreamErrorFrame>(&event)) {
    out = "STREAM_ERROR";
    num(out, "stream", f->stream_id);
    num(out, "code", f->error_code);
  }
  return out;
}

std::string describe(const h2::ProtocolError& error) {
  std::string out = "reason=";
  out += error.reason ? std::to_string(*error.reason) : "none";
  out += ' ';
  out += error.message;
  return out;
}

// What one receive call gave.
struct Call {
  bool ok = true;
  std::string error;
  std::vector<std::string> events;
  size_t buffered = 0;

  bool operator==(const Call&) const = default;
};

void show(const char* label, const Call& call) {
  std::fprintf(stderr, "  %s: %s, %zu held, %zu events\n", label,
               call.ok ? "ok" : fuzz::escaped(call.error).c_str(), call.buffered, call.events.size());
  for (const auto& e : call.events) std::fprintf(stderr, "    %s\n", fuzz::escaped(e.substr(0, 400)).c_str());
}

struct Limits {
  std::optional<uint32_t> frame;
  std::optional<uint32_t> list;
  std::optional<size_t> table_update;
};

// A fresh reader and decoder, the calls made on them, and every batch they
// filled.
class Delivery {
 public:
  explicit Delivery(const Limits& limits) : reader_(std::in_place), decoder_(std::in_place) {
    if (limits.frame) {
      fuzz::check(reader_->set_max_recv_frame_size(*limits.frame).ok() == (*limits.frame != 0),
                  "frame size 0 taken or other refused");
    }
    if (limits.list) reader_->set_max_header_list_size(*limits.list);
    if (limits.table_update) decoder_->hpack().queue_size_update(*limits.table_update);
  }

  uint64_t max_frame() const { return reader_->max_recv_frame_size(); }

  Call receive(std::string_view piece) {
    const size_t held_before = reader_->buffered();
    Kept kept;
    Call call;
    {
      const fuzz::Exact copy(piece);
      auto status = reader_->receive(copy.view(), *decoder_, kept.batch);
      call.ok = status.ok();
      if (!call.ok) call.error = describe(status.error());
      call.buffered = reader_->buffered();
      fuzz::check(call.buffered <= held_before + piece.size(), "reader holds more than it was given");
      kept.data = copy.view();
      for (const auto& event : kept.batch.events) {
        call.events.push_back(describe(event, {}));
        kept.lasting.push_back(describe(event, kept.data));
      }
    }  // the piece is freed: a later call that reads it is caught
    kept_.push_back(std::move(kept));
    return call;
  }

  // Destroys the reader and its decoder, then reads every batch again.
  void finish() {
    auto& hpack = decoder_->hpack();
    fuzz::check(hpack.table_size() <= hpack.max_table_size(), "HPACK table over its size");
    reader_.reset();
    decoder_.reset();
    for (const Kept& kept : kept_) {
      // `data` is freed: put_view only compares addresses with it.
      for (size_t i = 0; i < kept.batch.events.size(); ++i)
        fuzz::check(describe(kept.batch.events[i], kept.data) == kept.lasting[i], "a batch changed after its call");
    }
  }

 private:
  struct Kept {
    h2::FrameBatch batch;
    std::string_view data;             // the call's piece, freed since
    std::vector<std::string> lasting;  // its events, views into `data` left out
  };

  std::optional<h2::FrameReader> reader_;
  std::optional<h2::HpackBlockDecoder> decoder_;
  std::vector<Kept> kept_;
};

// One frame of the input as the length fields cut it, and what the
// reference gave for it. The list ends at an oversize frame (nothing after
// it is ever read) or before an incomplete one.
struct Frame {
  size_t start;
  size_t end;
  bool oversize;
  Call outcome;
};

std::vector<Frame> cut_frames(std::string_view bytes, uint64_t max_frame) {
  std::vector<Frame> frames;
  size_t at = 0;
  while (bytes.size() - at >= h2::kFrameHeadLen) {
    const uint32_t length = h2::read_be24(bytes.data() + at);
    const size_t end = at + h2::kFrameHeadLen + length;
    if (length > max_frame) {
      frames.push_back({at, end, true, {}});
      break;
    }
    if (end > bytes.size()) break;
    frames.push_back({at, end, false, {}});
    at = end;
  }
  return frames;
}

// Feeds the reference one frame per call (an oversize frame with all after
// it, an incomplete tail on its own) and returns the frames with each one's
// outcome.
std::vector<Frame> run_reference(std::string_view bytes, const Limits& limits) {
  Delivery ref(limits);
  std::vector<Frame> frames = cut_frames(bytes, ref.max_frame());
  size_t held = 0;
  for (Frame& frame : frames) {
    const size_t length = frame.oversize ? bytes.size() - frame.start : frame.end - frame.start;
    frame.outcome = ref.receive(bytes.substr(frame.start, length));
    held = frame.oversize ? length : 0;
    fuzz::check(frame.outcome.buffered == held, "one frame per call: held bytes");
    fuzz::check(frame.oversize ? !frame.outcome.ok : frame.outcome.ok || frame.outcome.events.empty(),
                "one frame per call: oversize frame read or failing call with events");
  }
  const bool stuck = !frames.empty() && frames.back().oversize;
  const size_t done = frames.empty() ? 0 : frames.back().end;
  if (!stuck && done < bytes.size()) {
    const Call tail = ref.receive(bytes.substr(done));
    held = bytes.size() - done;
    fuzz::check(tail.ok && tail.events.empty() && tail.buffered == held, "incomplete frame read");
  }
  // Nothing further: the same bytes held, or the same failure again.
  const Call again = ref.receive({});
  fuzz::check(again.events.empty() && again.buffered == held &&
                  (stuck ? !again.ok && again.error == frames.back().outcome.error : again.ok),
              "an empty call changed the reader");
  ref.finish();
  return frames;
}

// What a call should give once `delivered` bytes of the input were handed
// over, from the reference's outcome of each frame.
class Model {
 public:
  explicit Model(const std::vector<Frame>& frames) : frames_(frames) {}

  bool stuck() const { return stuck_; }

  Call expect(size_t delivered) {
    Call call;
    while (next_ < frames_.size()) {
      const Frame& frame = frames_[next_];
      if (frame.oversize) {
        // Fails once its head is complete, and stays held.
        if (frame.start + h2::kFrameHeadLen > delivered) break;
        stuck_ = true;
        return failed(frame, delivered - frame.start);
      }
      if (frame.end > delivered) break;
      ++next_;
      if (!frame.outcome.ok) return failed(frame, delivered - frame.end);
      call.events.insert(call.events.end(), frame.outcome.events.begin(), frame.outcome.events.end());
    }
    call.buffered = delivered - (next_ == 0 ? 0 : frames_[next_ - 1].end);
    return call;
  }

 private:
  static Call failed(const Frame& frame, size_t held) {
    Call call;
    call.ok = false;
    call.error = frame.outcome.error;
    call.buffered = held;
    return call;
  }

  const std::vector<Frame>& frames_;
  size_t next_ = 0;
  bool stuck_ = false;
};

void run_against(const char* name, std::string_view bytes, const Limits& limits,
                 const std::vector<std::string_view>& pieces, const std::vector<Frame>& frames) {
  Delivery delivery(limits);
  Model model(frames);
  size_t delivered = 0;
  size_t calls = 0;
  Call last;
  auto step = [&](std::string_view piece) {
    delivered += piece.size();
    last = delivery.receive(piece);
    const Call want = model.expect(delivered);
    if (!(last == want)) {
      std::fprintf(stderr, "%s delivery, call %zu, %zu of %zu bytes delivered:\n", name, calls, delivered,
                   bytes.size());
      show("expected", want);
      show("got", last);
      fuzz::finding("a delivery differs from the frames read one by one");
    }
    ++calls;
  };
  for (std::string_view piece : pieces) step(piece);
  // Bytes held past a failure are read by the next call, even an empty one.
  while (!last.ok && !model.stuck()) step({});
  step({});
  delivery.finish();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Limits limits;
  // Small limits most of the time, so that the limits themselves are hit.
  if (in.ConsumeBool())
    limits.frame = in.ConsumeBool() ? in.ConsumeIntegral<uint32_t>() : in.ConsumeIntegralInRange<uint32_t>(0, 64);
  if (in.ConsumeBool())
    limits.list = in.ConsumeBool() ? in.ConsumeIntegral<uint32_t>() : in.ConsumeIntegralInRange<uint32_t>(0, 512);
  if (in.ConsumeBool()) limits.table_update = in.ConsumeIntegralInRange<size_t>(0, 8192);
  const fuzz::Cuts cuts = fuzz::read_cuts(in);
  const std::string bytes = in.ConsumeRemainingBytesAsString();

  const std::vector<Frame> frames = run_reference(bytes, limits);
  run_against("whole", bytes, limits, {bytes}, frames);
  if (cuts.splits()) run_against("split", bytes, limits, fuzz::cut(bytes, cuts, 40), frames);
  return 0;
}

// Repr, the builder of event reprs (plain C++, no interpreter needed).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "src/py/repr.h"

namespace vintrel::py {
namespace {

// The event forms: Headers(stream_id=1, status=Some(200), end_stream=false, fields=2).
TEST(Repr, EventForms) {
  EXPECT_EQ(Repr("Headers")
                .integer("stream_id", uint32_t{1})
                .optional("status", std::optional<uint16_t>(200))
                .flag("end_stream", false)
                .integer("fields", size_t{2})
                .finish(),
            "Headers(stream_id=1, status=Some(200), end_stream=false, fields=2)");
  EXPECT_EQ(Repr("Settings")
                .flag("ack", true)
                .optional("max_concurrent_streams", std::optional<uint32_t>())
                .finish(),
            "Settings(ack=true, max_concurrent_streams=None)");
  EXPECT_EQ(Repr("H1RequestHead").text("method", "GET").text("target", "/a\"b\n").finish(),
            "H1RequestHead(method=\"GET\", target=\"/a\\\"b\\n\")");
  EXPECT_EQ(Repr("X").optional_text("a", std::nullopt).optional_text("b", "t").finish(),
            "X(a=None, b=Some(\"t\"))");
  EXPECT_EQ(Repr("Empty").finish(), "Empty()");
}

TEST(Repr, IntegerExtremes) {
  EXPECT_EQ(Repr("W")
                .integer("min", std::numeric_limits<int64_t>::min())
                .integer("max", std::numeric_limits<uint64_t>::max())
                .integer("zero", 0)
                .finish(),
            "W(min=-9223372036854775808, max=18446744073709551615, zero=0)");
}

}  // namespace
}  // namespace vintrel::py

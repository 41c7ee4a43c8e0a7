// The stream state machine seen from C++: failures come back as values of
// the right form, and a refused transition leaves the state untouched.
#include <gtest/gtest.h>

#include "core/http2/streams/state.h"

namespace vintrel::h2 {
namespace {

TEST(StreamState, RefusedPeerFrameIsLibraryGoAwayAndKeepsState) {
  StreamState s;
  ASSERT_TRUE(s.recv_open(false, false));
  const std::string before = s.debug();
  auto again = s.recv_open(true, false);
  ASSERT_FALSE(again);
  const auto* error = std::get_if<Error>(&again.error());
  ASSERT_NE(error, nullptr);
  const auto* away = std::get_if<GoAway>(error);
  ASSERT_NE(away, nullptr);
  EXPECT_EQ(away->reason, reason::kProtocolError);
  EXPECT_EQ(away->initiator, Initiator::Library);
  EXPECT_EQ(s.debug(), before);
}

TEST(StreamState, RefusedLocalFrameIsUserError) {
  StreamState s;
  ASSERT_TRUE(s.send_open(false));
  auto again = s.send_open(false);
  ASSERT_FALSE(again);
  const auto* user = std::get_if<UserError>(&again.error());
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(user->kind, UserErrorKind::UnexpectedFrameType);
  EXPECT_EQ(s.debug(), "Open { local: Streaming, remote: AwaitingHeaders }");
}

TEST(StreamState, ScheduledResetSurfacesAsGoAwayWithItsReason) {
  StreamState s;
  ASSERT_TRUE(s.set_scheduled_reset(0x63));
  EXPECT_EQ(s.debug(), "Closed(ScheduledLibraryReset(Reason(0x63)))");
  auto open = s.ensure_recv_open();
  ASSERT_FALSE(open);
  const auto& away = std::get<GoAway>(std::get<Error>(open.error()));
  EXPECT_EQ(away.reason, 0x63u);
}

}  // namespace
}  // namespace vintrel::h2

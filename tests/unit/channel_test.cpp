#include "sys/channel.h"

#include <gtest/gtest.h>

#include <thread>

namespace nimbra {
namespace {

using namespace std::chrono_literals;

TEST(Channel, BoundedSendReportsFullWithoutTakingTheItem) {
  Channel<std::string> c = make_channel<std::string>(1);
  std::string a = "a", b = "b";
  EXPECT_EQ(c.sender.try_send(a), SendResult::Sent);
  EXPECT_EQ(c.sender.try_send(b), SendResult::Full);
  EXPECT_EQ(b, "b");  // still the caller's
  EXPECT_EQ(c.receiver.try_receive(), "a");
  EXPECT_EQ(c.receiver.try_receive(), std::nullopt);
  EXPECT_EQ(c.sender.try_send(b), SendResult::Sent);
}

TEST(Channel, UnboundedTakesEverythingInOrder) {
  Channel<int> c = make_unbounded_channel<int>();
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(c.sender.try_send(i), SendResult::Sent);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(c.receiver.try_receive(), i);
}

TEST(Channel, ClosesWhenTheLastSenderGoesButKeepsWhatWasSent) {
  Channel<int> c = make_channel<int>(4);
  Sender<int> copy = c.sender;
  EXPECT_EQ(copy.try_send(1), SendResult::Sent);
  c.sender = Sender<int>();
  auto first = c.receiver.receive_for(0ms);
  ASSERT_TRUE(std::holds_alternative<int>(first));
  EXPECT_EQ(std::get<int>(first), 1);
  EXPECT_TRUE(std::holds_alternative<TimedOut>(c.receiver.receive_for(0ms)));  // the copy keeps it open
  EXPECT_EQ(copy.try_send(2), SendResult::Sent);
  copy = Sender<int>();
  EXPECT_EQ(c.receiver.receive(), 2);
  EXPECT_EQ(c.receiver.receive(), std::nullopt);
  EXPECT_TRUE(std::holds_alternative<ChannelClosed>(c.receiver.receive_for(1s)));
}

TEST(Channel, SendersSeeAGoneReceiverAsClosed) {
  Channel<int> c = make_channel<int>(1);
  c.receiver = Receiver<int>();
  EXPECT_EQ(c.sender.try_send(1), SendResult::Closed);
}

TEST(Channel, TimedReceiveTimesOutThenWakesForAnItemOrTheClose) {
  Channel<int> c = make_channel<int>(1);
  EXPECT_TRUE(std::holds_alternative<TimedOut>(c.receiver.receive_for(5ms)));
  std::thread t([s = std::move(c.sender)]() mutable {
    std::this_thread::sleep_for(20ms);
    (void)s.try_send(7);
    std::this_thread::sleep_for(20ms);
  });
  auto first = c.receiver.receive_for(10s);
  ASSERT_TRUE(std::holds_alternative<int>(first));
  EXPECT_EQ(std::get<int>(first), 7);
  EXPECT_TRUE(std::holds_alternative<ChannelClosed>(c.receiver.receive_for(10s)));
  t.join();
}

}  // namespace
}  // namespace nimbra

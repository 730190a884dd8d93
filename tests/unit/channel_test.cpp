#include "sys/channel.h"

#include <gtest/gtest.h>

#include <thread>

namespace nimbra {
namespace {

using namespace std::chrono_literals;

TEST(Channel, BoundedSendReportsFullWithoutTakingTheItemAndUnboundedTakesAll) {
  Channel<std::string> c = make_channel<std::string>(1);
  std::string a = "a", b = "b";
  EXPECT_EQ(c.sender.try_send(a), SendResult::Sent);
  EXPECT_EQ(c.sender.try_send(b), SendResult::Full);
  EXPECT_EQ(b, "b");  // still the caller's
  EXPECT_EQ(c.receiver.try_receive(), "a");
  EXPECT_EQ(c.receiver.try_receive(), std::nullopt);
  EXPECT_EQ(c.sender.try_send(b), SendResult::Sent);
  c.receiver = Receiver<std::string>();
  EXPECT_EQ(c.sender.try_send(a), SendResult::Closed);  // the receiver is gone

  Channel<int> all = make_unbounded_channel<int>();
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(all.sender.try_send(i), SendResult::Sent);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(all.receiver.try_receive(), i);
}

TEST(Channel, ClosesWhenTheLastSenderGoesButKeepsWhatWasSent) {
  Channel<int> c = make_channel<int>(4);
  Sender<int> copy = c.sender;
  EXPECT_EQ(copy.try_send(1), SendResult::Sent);
  c.sender = Sender<int>();
  EXPECT_EQ(std::get<int>(c.receiver.receive_for(0ms)), 1);
  EXPECT_TRUE(std::holds_alternative<TimedOut>(c.receiver.receive_for(0ms)));  // the copy keeps it open
  // A timed receive wakes for an item sent later; an untimed one, which only the close's notice can end, for the close.
  std::thread t([s = std::move(copy)]() mutable {
    std::this_thread::sleep_for(20ms);
    (void)s.try_send(7);
    std::this_thread::sleep_for(20ms);
  });
  EXPECT_EQ(std::get<int>(c.receiver.receive_for(10s)), 7);
  EXPECT_EQ(c.receiver.receive(), std::nullopt);
  EXPECT_TRUE(std::holds_alternative<ChannelClosed>(c.receiver.receive_for(0ms)));
  t.join();
}

}  // namespace
}  // namespace nimbra

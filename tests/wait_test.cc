// The wait the service loop blocks in, and the listening socket beneath it: which
// sockets poll finds readable, how a wait is cut short, and an accept that never
// blocks, whatever the client or the descriptor table does.
#include "net/wait.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/socket.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using test_support::client;
using steady = std::chrono::steady_clock;

// Long enough that a wait which was not cut short is plainly seen to hang.
constexpr int very_long_limit_ms = 60'000;
// How soon a cut-short wait, or a call that must not block, has to come back.
constexpr auto promptly = 3s;

// Both ends of a connected local stream: one to wait on, one to play the client.
struct socket_pair {
  net::socket_handle ours;
  net::socket_handle theirs;
};

socket_pair make_socket_pair() {
  int ends[2] = {-1, -1};
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
  return {net::socket_handle(ends[0]), net::socket_handle(ends[1])};
}

void write_byte(const net::socket_handle& sock) {
  ASSERT_EQ(::send(sock.get(), "x", 1, MSG_NOSIGNAL), 1);
}

// Runs call on a thread of its own. When it has not returned within the limit,
// rescue() runs to set it free, so that a failing test ends instead of hanging.
bool returns_within(std::chrono::milliseconds limit, const std::function<void()>& call,
                    const std::function<void()>& rescue) {
  std::promise<void> finished;
  std::future<void> done = finished.get_future();
  std::thread worker([&] {
    call();
    finished.set_value();
  });
  bool in_time = done.wait_for(limit) == std::future_status::ready;
  if (!in_time) rescue();
  worker.join();
  return in_time;
}

// Puts the process's descriptor limit back as it was when the test ends.
class descriptor_limit {
 public:
  descriptor_limit() { getrlimit(RLIMIT_NOFILE, &saved_); }
  descriptor_limit(const descriptor_limit&) = delete;
  descriptor_limit& operator=(const descriptor_limit&) = delete;
  ~descriptor_limit() { setrlimit(RLIMIT_NOFILE, &saved_); }

  rlim_t hard() const { return saved_.rlim_max; }
  rlim_t soft() const { return saved_.rlim_cur; }
  bool set_soft(rlim_t soft) const {
    rlimit changed = saved_;
    changed.rlim_cur = soft;
    return setrlimit(RLIMIT_NOFILE, &changed) == 0;
  }

 private:
  rlimit saved_{};
};

class WaitTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(net::startup(), 0); }

  // A wait on one socket nobody writes to.
  net::wait_status wait_on_silence(int limit_ms) {
    net::read_set set;
    set.add(silent.ours.get());
    return net::wait_readable(set, limit_ms);
  }

  socket_pair silent = make_socket_pair();
};

TEST(ReadSet, Holds64SocketsAndRefusesThe65th) {
  net::read_set set;
  for (int sock = 100; sock < 164; ++sock) EXPECT_TRUE(set.add(sock)) << sock;
  EXPECT_TRUE(set.full());
  EXPECT_EQ(set.size(), net::read_set_capacity);

  EXPECT_FALSE(set.add(164));
  EXPECT_EQ(set.size(), 64u);
  EXPECT_TRUE(set.contains(100));
  EXPECT_TRUE(set.contains(163));
  EXPECT_FALSE(set.contains(164));

  set.clear();
  EXPECT_EQ(set.size(), 0u);
  EXPECT_FALSE(set.contains(100));
  EXPECT_TRUE(set.add(164));
}

TEST_F(WaitTest, SilentSocketsTimeOutWithNoneReadable) {
  std::vector<socket_pair> pairs;
  net::read_set set;
  for (int i = 0; i < 3; ++i) {
    pairs.push_back(make_socket_pair());
    set.add(pairs.back().ours.get());
  }
  EXPECT_EQ(net::wait_readable(set, 50), net::wait_status::timed_out);
  for (const socket_pair& pair : pairs) EXPECT_FALSE(set.is_readable(pair.ours.get()));
}

// The sockets go in against the order of their numbers, so that a mark landing on
// the wrong entry of the set shows.
TEST_F(WaitTest, MarksExactlyTheSocketsThatBecameReadable) {
  std::vector<socket_pair> pairs;
  for (int i = 0; i < 5; ++i) pairs.push_back(make_socket_pair());
  net::read_set set;
  for (auto pair = pairs.rbegin(); pair != pairs.rend(); ++pair) set.add(pair->ours.get());
  write_byte(pairs[1].theirs);
  write_byte(pairs[4].theirs);

  ASSERT_EQ(net::wait_readable(set, 2000), net::wait_status::ready);
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    EXPECT_EQ(set.is_readable(pairs[i].ours.get()), i == 1 || i == 4) << "pair " << i;
  }
  EXPECT_FALSE(set.is_readable(silent.ours.get())) << "a socket outside the set is never readable";

  // Marks do not outlive the wait: once the data is read, the next wait finds nothing.
  char byte = 0;
  ASSERT_EQ(::recv(pairs[1].ours.get(), &byte, 1, 0), 1);
  ASSERT_EQ(::recv(pairs[4].ours.get(), &byte, 1, 0), 1);
  EXPECT_EQ(net::wait_readable(set, 50), net::wait_status::timed_out);
  EXPECT_FALSE(set.is_readable(pairs[1].ours.get()));
}

// Whatever the client did, the wait must report its socket so that the loop reads
// it and learns of the data, the close or the reset.
TEST_F(WaitTest, AClientThatSentClosedOrResetIsReadable) {
  struct ending {
    const char* what;
    std::function<void(client&)> act;
  };
  const std::vector<ending> endings = {
      {"sent a byte", [](client& c) { c.send("x"); }},
      {"closed", [](client& c) { c.close(); }},
      {"reset", [](client& c) { c.reset(); }},
  };
  net::listen_result listening = net::open_listener(0, 20);
  ASSERT_EQ(listening.failed_step, net::listen_step::done);
  const std::uint16_t port = net::local_port(listening.listener);

  for (const ending& e : endings) {
    SCOPED_TRACE(e.what);
    client peer(port);
    ASSERT_TRUE(peer.connected());
    net::read_set listener_only;
    listener_only.add(listening.listener.get());
    ASSERT_EQ(net::wait_readable(listener_only, 2000), net::wait_status::ready);
    net::accept_result accepted = net::accept_client(listening.listener);
    ASSERT_EQ(accepted.status, net::accept_status::accepted);

    e.act(peer);
    net::read_set set;
    set.add(accepted.client.get());
    EXPECT_EQ(net::wait_readable(set, 2000), net::wait_status::ready);
    EXPECT_TRUE(set.is_readable(accepted.client.get()));
  }
}

// select(2) cannot watch a descriptor numbered 1024 or more; a busy process gets there.
TEST_F(WaitTest, DescriptorNumbersAbove1023Work) {
  constexpr int high_number = 1500;
  descriptor_limit limit;
  if (limit.soft() <= high_number + 1) {
    if (limit.hard() <= high_number + 1) GTEST_SKIP() << "the hard descriptor limit is below " << high_number + 2;
    ASSERT_TRUE(limit.set_soft(high_number + 2));
  }
  socket_pair talking = make_socket_pair();
  socket_pair quiet = make_socket_pair();
  ASSERT_EQ(dup2(talking.ours.get(), high_number), high_number);
  ASSERT_EQ(dup2(quiet.ours.get(), high_number + 1), high_number + 1);
  net::socket_handle high(high_number);
  net::socket_handle higher(high_number + 1);

  net::read_set set;
  set.add(higher.get());
  set.add(high.get());
  EXPECT_EQ(net::wait_readable(set, 50), net::wait_status::timed_out);

  write_byte(talking.theirs);
  ASSERT_EQ(net::wait_readable(set, 2000), net::wait_status::ready);
  EXPECT_TRUE(set.is_readable(high_number));
  EXPECT_FALSE(set.is_readable(high_number + 1));
}

TEST_F(WaitTest, ACancelFromAnotherThreadEndsTheWaitPromptly) {
  std::thread canceller([] {
    std::this_thread::sleep_for(100ms);
    net::cancel_blocking_call();
  });
  const steady::time_point start = steady::now();
  net::wait_status status = wait_on_silence(very_long_limit_ms);
  const steady::duration waited = steady::now() - start;
  canceller.join();

  EXPECT_EQ(status, net::wait_status::interrupted);
  EXPECT_LT(waited, promptly);
  EXPECT_EQ(wait_on_silence(50), net::wait_status::timed_out) << "the wake-up was not drained";
}

// A cancel that comes between two waits is not lost: the next wait returns at once.
// It is used up there, and the wait after that waits again.
TEST_F(WaitTest, ACancelBeforeTheWaitEndsTheNextWaitOnly) {
  net::cancel_blocking_call();

  const steady::time_point start = steady::now();
  EXPECT_EQ(wait_on_silence(very_long_limit_ms), net::wait_status::interrupted);
  EXPECT_LT(steady::now() - start, promptly);

  EXPECT_EQ(wait_on_silence(50), net::wait_status::timed_out);
}

void cancel_on_signal(int) {
  net::cancel_blocking_call();
}

// The way a stop request reaches the wait: a signal handler that cancels it. The
// signal both interrupts poll and leaves a wake-up behind; neither may leak into
// the wait after.
TEST_F(WaitTest, ASignalHandlerThatCancelsEndsTheWait) {
  struct sigaction cancelling {};
  cancelling.sa_handler = cancel_on_signal;
  sigemptyset(&cancelling.sa_mask);
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &cancelling, &previous), 0);

  const pthread_t waiter = pthread_self();
  std::thread signaller([waiter] {
    std::this_thread::sleep_for(100ms);
    pthread_kill(waiter, SIGUSR1);
  });
  const steady::time_point start = steady::now();
  net::wait_status status = wait_on_silence(very_long_limit_ms);
  const steady::duration waited = steady::now() - start;
  signaller.join();

  EXPECT_EQ(status, net::wait_status::interrupted);
  EXPECT_LT(waited, promptly);
  EXPECT_EQ(wait_on_silence(50), net::wait_status::timed_out) << "the handler's wake-up leaked into the next wait";
  sigaction(SIGUSR1, &previous, nullptr);
}

// ---- The blocking hook -----------------------------------------------------------

// A stand-in for the desktop's bus connection: a socket of its own that every wait
// must watch and serve, by reading what arrived, without ending the wait early.
struct hook_stand_in {
  socket_pair bus = make_socket_pair();
  int limit_ms = -1;
  int times_served = 0;
  int bytes_served = 0;
};
hook_stand_in* stand_in = nullptr;

net::blocking_hook::watch watch_stand_in() {
  return {stand_in->bus.ours.get(), POLLIN, stand_in->limit_ms};
}

void serve_stand_in() {
  ++stand_in->times_served;
  char byte = 0;
  while (::recv(stand_in->bus.ours.get(), &byte, 1, MSG_DONTWAIT) == 1) ++stand_in->bytes_served;
}

class BlockingHookTest : public WaitTest {
 protected:
  void SetUp() override {
    WaitTest::SetUp();
    stand_in = &hook;
    net::set_blocking_hook({watch_stand_in, serve_stand_in});
  }
  void TearDown() override {
    net::unhook_blocking_hook();
    stand_in = nullptr;
  }

  hook_stand_in hook;
};

// Traffic for the hook is served as it comes, and the wait still lasts its whole
// limit: the idle sweep must not run early because the desktop was busy.
TEST_F(BlockingHookTest, IsServedWhileTheWaitWaitsOutItsLimit) {
  std::thread desktop([this] {
    for (int i = 0; i < 3; ++i) {
      std::this_thread::sleep_for(40ms);
      write_byte(hook.bus.theirs);
    }
  });
  const steady::time_point start = steady::now();
  net::wait_status status = wait_on_silence(400);
  const steady::duration waited = steady::now() - start;
  desktop.join();

  EXPECT_EQ(status, net::wait_status::timed_out);
  EXPECT_GE(waited, 390ms) << "traffic for the hook ended the wait early";
  EXPECT_EQ(hook.bytes_served, 3);
}

TEST_F(BlockingHookTest, ASocketReadyTogetherWithTheHookIsReportedAndTheHookServed) {
  socket_pair talking = make_socket_pair();
  net::read_set set;
  set.add(silent.ours.get());
  set.add(talking.ours.get());
  write_byte(hook.bus.theirs);
  write_byte(talking.theirs);

  ASSERT_EQ(net::wait_readable(set, very_long_limit_ms), net::wait_status::ready);
  EXPECT_TRUE(set.is_readable(talking.ours.get()));
  EXPECT_FALSE(set.is_readable(silent.ours.get()));
  EXPECT_EQ(hook.bytes_served, 1);
}

// The bus has timers of its own (a call's reply limit): the hook's limit makes the
// wait serve it on time even when nothing arrives.
TEST_F(BlockingHookTest, TheHooksOwnLimitGetsItServedWithoutTraffic) {
  hook.limit_ms = 20;
  EXPECT_EQ(wait_on_silence(300), net::wait_status::timed_out);
  EXPECT_GE(hook.times_served, 5);
  EXPECT_EQ(hook.bytes_served, 0);
}

TEST_F(BlockingHookTest, ACancelStillEndsTheWaitAndUnhookingStopsTheServing) {
  net::cancel_blocking_call();
  EXPECT_EQ(wait_on_silence(very_long_limit_ms), net::wait_status::interrupted);

  net::unhook_blocking_hook();
  write_byte(hook.bus.theirs);
  EXPECT_EQ(wait_on_silence(50), net::wait_status::timed_out);
  EXPECT_EQ(hook.times_served, 0);
}

class ListenerTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(net::startup(), 0);
    net::listen_result listening = net::open_listener(0, 20);
    ASSERT_EQ(listening.failed_step, net::listen_step::done);
    listener = std::move(listening.listener);
    port = net::local_port(listener);
  }

  // accept_client, or nothing when it blocked; a client connected from here then
  // sets the blocked call free.
  std::optional<net::accept_result> accept_without_blocking() {
    net::accept_result result;
    std::optional<client> rescuer;
    bool returned = returns_within(
        promptly, [&] { result = net::accept_client(listener); }, [&] { rescuer.emplace(port); });
    if (!returned) return std::nullopt;
    return result;
  }

  // Waits until the listener is readable, as the loop does before it accepts.
  void await_a_client() {
    net::read_set set;
    set.add(listener.get());
    ASSERT_EQ(net::wait_readable(set, 2000), net::wait_status::ready);
  }

  net::socket_handle listener;
  std::uint16_t port = 0;
};

TEST_F(ListenerTest, ListensOnAnEphemeralPortWithoutBlocking) {
  EXPECT_NE(port, 0);
  int flags = fcntl(listener.get(), F_GETFL);
  EXPECT_NE(flags & O_NONBLOCK, 0);
  EXPECT_NE(fcntl(listener.get(), F_GETFD) & FD_CLOEXEC, 0);
  client visitor(port);
  EXPECT_TRUE(visitor.connected());
}

TEST_F(ListenerTest, AcceptWithNobodyWaitingReturnsNobodyAtOnce) {
  std::optional<net::accept_result> accepted = accept_without_blocking();
  ASSERT_TRUE(accepted.has_value()) << "accept blocked";
  EXPECT_EQ(accepted->status, net::accept_status::nobody);
  EXPECT_FALSE(accepted->client.valid());
}

TEST_F(ListenerTest, AcceptedClientsAreBlockingCloseOnExecAndNamedByAddress) {
  client visitor(port);
  ASSERT_TRUE(visitor.connected());
  std::optional<net::accept_result> accepted = accept_without_blocking();
  ASSERT_TRUE(accepted.has_value()) << "accept blocked";
  ASSERT_EQ(accepted->status, net::accept_status::accepted);

  const int sock = accepted->client.get();
  EXPECT_EQ(fcntl(sock, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(fcntl(sock, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(net::dotted(accepted->peer), "127.0.0.1");
}

// The client is gone between the wait that saw it and the accept. Linux may hand
// the dead connection over or drop it; either way accept must come back.
TEST_F(ListenerTest, AClientThatResetsBeforeTheAcceptDoesNotBlockIt) {
  client visitor(port);
  ASSERT_TRUE(visitor.connected());
  await_a_client();
  visitor.reset();

  std::optional<net::accept_result> first = accept_without_blocking();
  ASSERT_TRUE(first.has_value()) << "accept blocked";
  EXPECT_NE(first->status, net::accept_status::failed);
  std::optional<net::accept_result> second = accept_without_blocking();
  ASSERT_TRUE(second.has_value()) << "accept blocked";
  EXPECT_EQ(second->status, net::accept_status::nobody);
}

// Out of descriptors the listener stays readable; "nobody" would send the loop
// straight back to accept and spin. The waiting client is not lost.
TEST_F(ListenerTest, AcceptOutOfDescriptorsFailsAndTheClientWaits) {
  client visitor(port);
  ASSERT_TRUE(visitor.connected());
  await_a_client();

  // The lowest free descriptor number as the limit leaves no number free below it,
  // even where the table has holes.
  const int lowest_free = fcntl(listener.get(), F_DUPFD_CLOEXEC, 0);
  ASSERT_GE(lowest_free, 0);
  close(lowest_free);
  net::accept_result refused;
  {
    descriptor_limit limit;
    ASSERT_TRUE(limit.set_soft(static_cast<rlim_t>(lowest_free)));
    refused = net::accept_client(listener);  // cannot block: EMFILE comes before any wait
  }
  EXPECT_EQ(refused.status, net::accept_status::failed);
  EXPECT_EQ(refused.error, EMFILE);
  EXPECT_FALSE(refused.client.valid());

  std::optional<net::accept_result> later = accept_without_blocking();
  ASSERT_TRUE(later.has_value()) << "accept blocked";
  EXPECT_EQ(later->status, net::accept_status::accepted);
}

TEST_F(ListenerTest, APortAlreadyTakenFailsAtBind) {
  net::listen_result second = net::open_listener(port, 20);
  EXPECT_EQ(second.failed_step, net::listen_step::bind);
  EXPECT_EQ(second.error, EADDRINUSE);
  EXPECT_FALSE(second.listener.valid());
}

// Counts SIGPIPEs instead of dying of the first one, so that the test can say so.
volatile sig_atomic_t broken_pipe_signals = 0;
void count_broken_pipe(int) {
  broken_pipe_signals = broken_pipe_signals + 1;
}

TEST_F(ListenerTest, ReplyingToAClientThatHasGoneRaisesNoSigpipe) {
  struct sigaction counting {};
  counting.sa_handler = count_broken_pipe;
  sigemptyset(&counting.sa_mask);
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGPIPE, &counting, &previous), 0);
  broken_pipe_signals = 0;

  {
    client visitor(port);
    ASSERT_TRUE(visitor.connected());
    await_a_client();
    net::accept_result accepted = net::accept_client(listener);
    ASSERT_EQ(accepted.status, net::accept_status::accepted);
    visitor.reset();
    // The first send after a reset reports the reset; later ones find a broken pipe.
    for (int i = 0; i < 3; ++i) net::send_text(accepted.client.get(), "1, 2 : USERID : UNIX : alice\r\n");
  }
  {
    socket_pair pair = make_socket_pair();
    pair.theirs.close();
    net::send_text(pair.ours.get(), "1, 2 : USERID : UNIX : alice\r\n");
  }
  EXPECT_EQ(broken_pipe_signals, 0);
  sigaction(SIGPIPE, &previous, nullptr);
}

// A client that never reads must not stall the reply, and with it the whole loop.
TEST(SendText, DoesNotBlockWhenThePeerStopsReading) {
  socket_pair pair = make_socket_pair();
  const std::string big(1 << 20, 'x');
  bool returned = returns_within(
      promptly,
      [&] {
        for (int i = 0; i < 4; ++i) net::send_text(pair.ours.get(), big);
      },
      [&] { pair.theirs.close(); });
  EXPECT_TRUE(returned) << "send_text blocked on a full socket buffer";
}

TEST(SendText, ToNoSocketDoesNothing) {
  errno = 0;
  net::send_text(net::no_socket, "1, 2 : USERID : UNIX : alice\r\n");
  EXPECT_EQ(errno, 0) << "a system call was made on no socket";
}

TEST(Dotted, FormatsAddressesGivenInNetworkOrder) {
  struct example {
    std::uint32_t host_order;
    const char* text;
  };
  const example examples[] = {
      {0xC0000207u, "192.0.2.7"},
      {INADDR_LOOPBACK, "127.0.0.1"},
      {0x0A000001u, "10.0.0.1"},
      {0u, "0.0.0.0"},
      {0xFFFFFFFFu, "255.255.255.255"},
  };
  for (const example& e : examples) {
    EXPECT_EQ(net::dotted(net::ipv4_address{htonl(e.host_order)}), e.text);
  }
}

TEST(SocketHandle, ClosesWhatItOwns) {
  const int before = test_support::open_descriptor_count();
  {
    socket_pair pair = make_socket_pair();
    net::socket_handle moved(std::move(pair.ours));
    EXPECT_FALSE(pair.ours.valid());
    moved = std::move(pair.theirs);  // the socket it held is closed, not leaked
    EXPECT_EQ(test_support::open_descriptor_count(), before + 1);

    const net::socket_id kept = moved.release();
    EXPECT_FALSE(moved.valid());
    EXPECT_NE(fcntl(kept, F_GETFD), -1) << "release closed the socket";
    close(kept);
  }
  EXPECT_EQ(test_support::open_descriptor_count(), before);
}

}  // namespace

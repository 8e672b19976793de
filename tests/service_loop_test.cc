// The service loop driven pass by pass, in process, on an ephemeral port on
// loopback, with a clock the tests move by hand.
#include "service/service_loop.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "test_support.h"

// Lets a test make the record allocation fail, as when memory runs out.
static bool fail_nothrow_new = false;

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (fail_nothrow_new) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

namespace {

using test_support::client;

constexpr std::int64_t start_time = 1'000'000;

class ServiceLoopTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(net::startup(), 0);
    stop_requested = false;
    config.user_id = "alice";
    config.log_file = log.path();
    net::listen_result listening = net::open_listener(0, listen_backlog);
    ASSERT_EQ(listening.failed_step, net::listen_step::done);
    port = net::local_port(listening.listener);
    loop = std::make_unique<service_loop>(config, std::move(listening.listener));
    loop->now = [this] { return clock; };
    loop->wait_limit = 20;  // a quiet pass ends quickly and sweeps
    loop->on_answered = [this](int count) { refreshes.push_back(count); };
  }

  void pass() { ASSERT_EQ(serve_one_pass(*loop), pass_result::go_on); }

  // Connects a client and runs the pass that accepts it.
  client accepted_client() {
    client c(port);
    EXPECT_TRUE(c.connected());
    std::size_t before = connection_count(loop->table);
    pass();
    EXPECT_EQ(connection_count(loop->table), before + 1);
    return c;
  }

  std::vector<std::string> entries() const { return test_support::log_texts(log.path()); }

  test_support::scratch_file log;
  settings config;
  std::uint16_t port = 0;
  std::unique_ptr<service_loop> loop;
  std::int64_t clock = start_time;
  std::vector<int> refreshes;
};

TEST_F(ServiceLoopTest, AnswersAQueryReleasesTheClientAndCountsIt) {
  client asker = accepted_client();
  asker.send("555, 25\r\n");
  pass();

  EXPECT_EQ(asker.receive_all(), "555, 25 : USERID : UNIX : alice\r\n");  // then the server closes
  EXPECT_EQ(connection_count(loop->table), 0u);
  EXPECT_EQ(loop->answered_count, 1);
  EXPECT_EQ(refreshes, std::vector<int>{1});
  EXPECT_EQ(entries(), std::vector<std::string>{"GOOD: success for 127.0.0.1 on ports 555, 25\r\n"});
}

TEST_F(ServiceLoopTest, OnlyUserIdRepliesAreCounted) {
  client refused = accepted_client();
  client overflowing = accepted_client();
  client answered = accepted_client();
  refused.send("0,25\n");
  overflowing.send(std::string(1020, '7'));
  answered.send("1,2\n");
  pass();

  EXPECT_EQ(refused.receive_all(), "0, 25 : ERROR : INVALID-PORT\r\n");
  EXPECT_EQ(overflowing.receive_all(), "1, 1: ERROR : UNKNOWN-ERROR\r\n");
  EXPECT_EQ(answered.receive_all(), "1, 2 : USERID : UNIX : alice\r\n");
  EXPECT_EQ(loop->answered_count, 1);
  EXPECT_EQ(refreshes, std::vector<int>{1});
}

TEST_F(ServiceLoopTest, AClientIsReadFromThePassAfterItsAccept) {
  client asker(port);
  asker.send("1,2\r\n");  // the request is there before the accept
  pass();
  ASSERT_EQ(connection_count(loop->table), 1u);
  EXPECT_EQ(loop->table.head->request_len, 0);
  EXPECT_EQ(loop->answered_count, 0);

  pass();
  EXPECT_EQ(loop->answered_count, 1);
  EXPECT_EQ(asker.receive_all(), "1, 2 : USERID : UNIX : alice\r\n");
}

TEST_F(ServiceLoopTest, TwoReadyClientsAreAnsweredInOnePassInTableOrder) {
  client first = accepted_client();
  client second = accepted_client();
  second.send("3,4\n");  // sent first, but stands second in the table
  first.send("1,2\n");
  pass();

  EXPECT_EQ(loop->answered_count, 2);
  EXPECT_EQ(entries(), (std::vector<std::string>{"GOOD: success for 127.0.0.1 on ports 1, 2\r\n",
                                                 "GOOD: success for 127.0.0.1 on ports 3, 4\r\n"}));
  EXPECT_EQ(refreshes, (std::vector<int>{1, 2}));
}

TEST_F(ServiceLoopTest, AClientThatClosesSilentlyIsReleasedWithoutAnEntry) {
  client quitter = accepted_client();
  quitter.close();
  pass();
  EXPECT_EQ(connection_count(loop->table), 0u);
  EXPECT_TRUE(entries().empty());
}

TEST_F(ServiceLoopTest, AFailedReadReleasesOnlyThatClient) {
  client broken = accepted_client();
  client asker = accepted_client();
  broken.send("12");
  pass();  // "12" is collected
  broken.reset();
  asker.send("555,25\n");
  pass();

  EXPECT_EQ(connection_count(loop->table), 0u);
  EXPECT_EQ(loop->answered_count, 1);
  EXPECT_EQ(entries(), std::vector<std::string>{"GOOD: success for 127.0.0.1 on ports 555, 25\r\n"});
}

// Each row: when the client arrives, when it sends part of a line (or never), and
// the clock readings of the quiet passes that follow, with whether it survives each.
struct idle_case {
  const char* name;
  std::int64_t data_at;  // seconds after the accept; negative: never sends
  std::vector<std::pair<std::int64_t, bool>> sweeps;  // clock offset from the accept, still there?
};

class IdleSweepTest : public ServiceLoopTest, public testing::WithParamInterface<idle_case> {};

TEST_P(IdleSweepTest, DropsAClientIdleForThreeMinutesAndOnlyThen) {
  const idle_case& row = GetParam();
  client idle = accepted_client();
  if (row.data_at >= 0) {
    clock = start_time + row.data_at;
    idle.send("55");
    pass();
  }
  for (auto [offset, survives] : row.sweeps) {
    clock = start_time + offset;
    pass();  // nothing to read: the wait times out and the sweep runs
    ASSERT_EQ(connection_count(loop->table), survives ? 1u : 0u) << "at +" << offset << " s";
  }
  EXPECT_EQ(entries(), std::vector<std::string>{"ERROR: 127.0.0.1 timed out\r\n"});
  EXPECT_TRUE(idle.closed_by_server());
  EXPECT_EQ(idle.receive_all(), "");  // no reply
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IdleSweepTest,
    testing::Values(idle_case{"silent", -1, {{179, true}, {180, false}}},
                    idle_case{"after_last_data", 100, {{180, true}, {279, true}, {280, false}}},
                    idle_case{"clock_set_back", -1, {{-1000, true}, {-1, true}, {179, true}, {180, false}}},
                    idle_case{"clock_set_forward", -1, {{10'000, false}}}),
    [](const testing::TestParamInfo<idle_case>& row) { return std::string(row.param.name); });

TEST_F(ServiceLoopTest, OneSweepDropsEveryIdleClientButKeepsThoseWithFreshData) {
  client first = accepted_client();
  client second = accepted_client();
  client fresh = accepted_client();
  clock = start_time + 10'000;  // the clock jumps forward
  fresh.send("1");
  pass();
  pass();  // the quiet pass sweeps
  ASSERT_EQ(connection_count(loop->table), 1u);
  EXPECT_EQ(entries().size(), 2u);
  EXPECT_TRUE(first.closed_by_server());
  EXPECT_TRUE(second.closed_by_server());
}

TEST_F(ServiceLoopTest, SixtyFourSilentClientsHoldTheSixtyFifthInTheBacklog) {
  std::vector<client> silent;
  for (int i = 0; i < 64; ++i) silent.push_back(accepted_client());
  client waiting(port);
  ASSERT_TRUE(waiting.connected());  // done by the kernel: it waits in the backlog
  waiting.send("7,8\n");

  pass();
  EXPECT_EQ(connection_count(loop->table), 64u);
  EXPECT_EQ(loop->ready.size(), net::read_set_capacity);
  EXPECT_FALSE(loop->ready.contains(loop->listener.get()));

  silent.front().close();
  pass();  // releases the closed one
  EXPECT_EQ(connection_count(loop->table), 63u);
  pass();  // the listener is back in the set: the waiting client is accepted
  EXPECT_EQ(connection_count(loop->table), 64u);
  pass();
  EXPECT_EQ(waiting.receive_all(), "7, 8 : USERID : UNIX : alice\r\n");
}

TEST_F(ServiceLoopTest, OutOfMemoryAtAcceptClosesThatClientAndServesOthers) {
  client unlucky(port);
  fail_nothrow_new = true;
  pass();
  fail_nothrow_new = false;

  EXPECT_EQ(connection_count(loop->table), 0u);
  EXPECT_TRUE(unlucky.closed_by_server());
  EXPECT_EQ(unlucky.receive_all(), "");
  EXPECT_EQ(entries(), std::vector<std::string>{"ERROR: Reached connection limit.\r\n"});

  client asker = accepted_client();
  asker.send("1,2\n");
  pass();
  EXPECT_EQ(asker.receive_all(), "1, 2 : USERID : UNIX : alice\r\n");
}

// Lowers the soft limit on open descriptors for the life of the object.
class descriptor_limit {
 public:
  explicit descriptor_limit(rlim_t soft) {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = soft;
    setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~descriptor_limit() { setrlimit(RLIMIT_NOFILE, &saved_); }

 private:
  rlimit saved_{};
};

// Takes every descriptor the process may still open, and gives them back at the end.
class descriptors_exhausted {
 public:
  descriptors_exhausted() : limit_(static_cast<rlim_t>(highest_open() + 1)) {
    for (int fd = dup(0); fd >= 0; fd = dup(0)) held_.push_back(fd);
  }
  ~descriptors_exhausted() {
    for (int fd : held_) close(fd);
  }

 private:
  static int highest_open() {
    int highest = 0;
    for (int fd = 0; fd < 4096; ++fd) {
      if (fcntl(fd, F_GETFD) != -1) highest = fd;
    }
    return highest;
  }
  descriptor_limit limit_;
  std::vector<int> held_;
};

TEST_F(ServiceLoopTest, AFullDescriptorTableRestsTheListenerInsteadOfSpinning) {
  client waiting(port);
  {
    descriptors_exhausted none_left;
    pass();  // accept fails: no record, no entry
    EXPECT_EQ(connection_count(loop->table), 0u);
    EXPECT_TRUE(loop->listener_resting);
    pass();  // the listener sits this wait out
    EXPECT_FALSE(loop->ready.contains(loop->listener.get()));
  }
  pass();  // descriptors again: the client is accepted
  EXPECT_EQ(connection_count(loop->table), 1u);
  EXPECT_TRUE(entries().empty());
}

TEST_F(ServiceLoopTest, AWaitThatFailsEveryPassDoesNotSpin) {
  std::vector<client> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(accepted_client());
  std::size_t passes = 0;
  {
    descriptor_limit tiny(2);  // poll refuses more descriptors than the limit: every wait fails
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < until) {
      pass();
      ++passes;
    }
  }
  EXPECT_LT(passes, 20u) << "a spinning loop makes many thousands of passes a second";
  EXPECT_EQ(connection_count(loop->table), 3u);  // the clients are untouched
}

TEST_F(ServiceLoopTest, NoDescriptorOutlivesItsConnection) {
  int before = test_support::open_descriptor_count();
  {
    client answered = accepted_client();
    client quitter = accepted_client();
    client broken = accepted_client();
    client idle = accepted_client();
    answered.send("1,2\n");
    quitter.close();
    broken.reset();
    pass();
    clock += idle_limit_seconds;
    pass();
    EXPECT_EQ(connection_count(loop->table), 0u);
  }
  EXPECT_EQ(test_support::open_descriptor_count(), before);
}

TEST_F(ServiceLoopTest, AStopRequestEndsTheWaitInProgressAtOnce) {
  loop->wait_limit = 60'000;
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop_requested = true;
    net::cancel_blocking_call();
  });
  auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(run_service_loop(*loop));
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  stop_requested = false;
}

struct peer_name_case {
  const char* resolved;
  const char* expected;
};

class PeerNameTest : public testing::TestWithParam<peer_name_case> {};

TEST_P(PeerNameTest, NamesTheClientSafely) {
  connection c;
  set_peer_name(c, "192.0.2.7", GetParam().resolved);
  EXPECT_STREQ(c.peer_name.data(), GetParam().expected);
}

const std::string long_name = std::string(90, 'A') + ".Example.ORG";  // 102 characters

INSTANTIATE_TEST_SUITE_P(
    Cases, PeerNameTest,
    testing::Values(peer_name_case{"", "192.0.2.7"},
                    peer_name_case{"Mail.Example.ORG", "mail.example.org"},
                    peer_name_case{"host_1-a.example", "host_1-a.example"},
                    peer_name_case{long_name.c_str(), "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"},
                    peer_name_case{"evil.example\r\nGOOD: success", "192.0.2.7"},
                    peer_name_case{"two words", "192.0.2.7"},
                    peer_name_case{"caf\xc3\xa9.example", "192.0.2.7"}));

}  // namespace

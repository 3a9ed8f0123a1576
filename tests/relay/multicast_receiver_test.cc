#include "relay/stream/multicast_receiver.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/thread.h"
#include "tests/support/private_network.h"

namespace relay {
namespace {

struct Scheduling {
  int nice;
  int realTimePriority;
  int policy;
};

std::set<std::string> threadIds() {
  std::set<std::string> ids;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    ids.insert(entry.path().filename().string());
  }
  return ids;
}

// From /proc/self/task/ID/stat: fields 19 (nice), 40 and 41, counted from 1
// with the command name (in parentheses, blanks allowed) as field 2.
std::optional<Scheduling> schedulingOf(const std::string& id) {
  std::ifstream file("/proc/self/task/" + id + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::size_t end = text.rfind(')');
  if (end == std::string::npos) return std::nullopt;
  std::istringstream rest(text.substr(end + 1));
  std::vector<std::string> fields;  // from field 3 on; some do not fit a long
  for (std::string field; fields.size() < 39 && rest >> field;) fields.push_back(field);
  if (fields.size() < 39) return std::nullopt;
  return Scheduling{std::stoi(fields[16]), std::stoi(fields[37]), std::stoi(fields[38])};
}

// The receiving thread runs above the normal threads, but in the normal
// policy: a hundred streams at a real-time level would starve the machine.
TEST(MulticastReceiver, ReceivingThreadIsRaisedModestly) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root may raise a thread";
  if (!testsupport::enterPrivateLoopback()) GTEST_SKIP() << "no network namespace of our own";
  const std::set<std::string> before = threadIds();
  MulticastReceiver receiver;
  receiver.group = platform::parseIpv4("239.1.1.1");
  receiver.interfaceAddress = platform::parseIpv4("127.0.0.1");
  receiver.port = htons(5000);
  ASSERT_EQ(receiver.createSocket(), 0);
  ASSERT_EQ(receiver.start(), 0);

  std::optional<Scheduling> raised;
  ASSERT_TRUE(testsupport::eventually([&] {
    for (const std::string& id : threadIds()) {
      if (before.count(id) != 0) continue;
      const std::optional<Scheduling> s = schedulingOf(id);
      if (s && (s->nice != 0 || s->policy != SCHED_OTHER)) raised = s;
    }
    return raised.has_value();
  }));
  EXPECT_EQ(raised->policy, SCHED_OTHER);
  EXPECT_EQ(raised->realTimePriority, 0);
  EXPECT_EQ(raised->nice, -platform::kRaisedNiceSteps);
  receiver.stop();
}

}  // namespace
}  // namespace relay

#include "thrown.h"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace corvina {
namespace {

struct ThrownCase {
  const char* name;
  std::function<void()> body;
  ThrownKind kind;
  std::string what;
};

TEST(thrown_test, each_exception_becomes_its_kind) {
  const std::string long_text(500, 'x');
  const ThrownCase cases[] = {
      {"nothing", [] {}, ThrownKind::Nothing, ""},
      {"bad_alloc", [] { throw std::bad_alloc(); }, ThrownKind::NoMemory, ""},
      {"bad_array_new_length", [] { throw std::bad_array_new_length(); }, ThrownKind::NoMemory,
       ""},
      {"length_error", [] { std::vector<int>().reserve(~size_t{0}); }, ThrownKind::NoMemory, ""},
      {"bad_variant_access", [] { throw std::out_of_range("value() of a failure"); },
       ThrownKind::Other, "value() of a failure"},
      {"long what() is cut", [&] { throw std::runtime_error(long_text); }, ThrownKind::Other,
       long_text.substr(0, sizeof(Thrown::what) - 1)},
  };
  for (const ThrownCase& c : cases) {
    const Thrown thrown = catch_thrown(c.body);
    EXPECT_EQ(thrown.kind, c.kind) << c.name;
    EXPECT_EQ(std::string(thrown.what), c.what) << c.name;
  }
}

#if defined(__linux__)
// The interpreter ends a daemon thread at exit with pthread_exit, whose unwind must pass through
// catch_thrown (and the frames around it) to the thread's start, running destructors on the way.
TEST(thrown_test, thread_exit_passes_through) {
  bool unwound = false;
  bool returned = false;
  std::thread thread([&] {
    struct Flag {
      bool& set;
      ~Flag() { set = true; }
    };
    Flag flag{unwound};
    (void)catch_thrown([] { pthread_exit(nullptr); });
    returned = true;
  });
  thread.join();
  EXPECT_TRUE(unwound);
  EXPECT_FALSE(returned);
}
#endif

}  // namespace
}  // namespace corvina

// Tracer registry: attach order, duplicates, OR of results, borrowed tracers,
// and changes to the list while it runs.
#include "wex_lib_log_tracer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

using velorin::wex_lib_log_tracer_manager;

// Appends its name to a shared log (and '~' when destroyed), runs its action.
struct tracer : velorin::wex_lib_log_tracer {
  tracer(std::string& log, char name, int result) : log_(log), name_(name), result_(result) {}
  ~tracer() override { log_ += '~'; }
  int exec_trace() override {
    log_ += name_;
    if (action) action();
    return result_;
  }
  std::function<void()> action;
  std::string& log_;
  char name_;
  int result_;
};

TEST(TracerRegistry, RunsEachTracerOnceInAttachOrderOrsResultsAndNeverOwnsThem) {
  std::string log;
  tracer t1(log, '1', 0x1), t2(log, '2', 0), t3(log, '3', 0x4), t4(log, '4', 0);
  {
    wex_lib_log_tracer_manager registry, zeros;
    EXPECT_EQ(registry.exec(), 0);
    for (tracer* t : {&t1, &t2, &t3, &t2}) registry.add(t);
    registry.add(nullptr);
    EXPECT_EQ(registry.exec(), 0x5);
    registry.remove(&t2);
    registry.add(&t2);
    registry.remove(&t4);
    registry.remove(nullptr);
    EXPECT_EQ(registry.exec(), 0x5);
    zeros.add(&t2);
    zeros.add(&t4);
    EXPECT_EQ(zeros.exec(), 0);
  }
  EXPECT_EQ(log,
            "123"
            "132"
            "24");  // and no tracer destroyed with its registry
}

TEST(TracerRegistry, TracersMayRemoveOrAttachOthersDuringRun) {
  std::string log;
  tracer t1(log, '1', 0x1), t2(log, '2', 0x2), t3(log, '3', 0x4), t4(log, '4', 0x3);
  wex_lib_log_tracer_manager registry;
  for (tracer* t : {&t1, &t2, &t3}) registry.add(t);
  t1.action = [&] { registry.remove(&t1); };
  t2.action = [&] {
    registry.remove(&t3);
    registry.add(&t4);
  };
  EXPECT_EQ(registry.exec(), 0x3);  // 0x1 | 0x2 | 0x3
  EXPECT_EQ(registry.exec(), 0x3);  // 0x2 | 0x3
  EXPECT_EQ(log,
            "124"
            "24");
}

}  // namespace

// A deadline on every test: a test that runs longer (a wait without a bound
// in the code under test, or in the test) ends the run with its name,
// instead of hanging until the harness's timeout. KOVA_TEST_DEADLINE_SECONDS
// changes the deadline (default 120; ./run valgrind gives more).
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

double deadline_seconds() {
    const char* env = std::getenv("KOVA_TEST_DEADLINE_SECONDS");
    return env && *env ? std::atof(env) : 120.0;
}

// What the watching thread reads. It lives as long as the process (never
// destroyed), so the thread never sees it go away at exit.
struct Watch {
    std::mutex mutex;
    std::condition_variable wake;
    std::string name;
    std::chrono::steady_clock::time_point deadline;
    bool running = false;
};
Watch* const watch = new Watch;

void watch_tests() {
    std::unique_lock<std::mutex> hold(watch->mutex);
    for (;;) {
        watch->wake.wait_for(hold, std::chrono::milliseconds(200));
        if (watch->running && std::chrono::steady_clock::now() > watch->deadline) {
            std::fprintf(stderr, "FAILED: %s ran past its %.0f s deadline: a wait without a bound?\n",
                         watch->name.c_str(), deadline_seconds());
            std::fflush(stderr);
            std::_Exit(1);
        }
    }
}

class Watchdog : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo& test) override {
        static std::once_flag started;
        std::call_once(started, [] { std::thread(watch_tests).detach(); });
        std::lock_guard<std::mutex> hold(watch->mutex);
        watch->name = std::string(test.test_suite_name()) + "." + test.name();
        watch->deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(deadline_seconds()));
        watch->running = true;
    }
    void OnTestEnd(const ::testing::TestInfo&) override {
        std::lock_guard<std::mutex> hold(watch->mutex);
        watch->running = false;
    }
};

// Registered before main runs the tests; gtest owns the listener.
const bool registered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new Watchdog);
    return true;
}();

}  // namespace

// A deadline on every test: a test that runs longer (a wait without a bound
// in the code under test, or in the test) ends the run with its name,
// instead of hanging until the harness's timeout. KOVA_TEST_DEADLINE_SECONDS
// changes the deadline (default 120; ./run valgrind gives more).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

class Watchdog : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo& test) override {
        std::lock_guard<std::mutex> hold(mutex_);
        name_ = std::string(test.test_suite_name()) + "." + test.name();
        deadline_ = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(seconds()));
        running_ = true;
        if (!thread_.joinable()) {
            thread_ = std::thread([this] { watch(); });
            thread_.detach();
        }
        wake_.notify_all();
    }
    void OnTestEnd(const ::testing::TestInfo&) override {
        std::lock_guard<std::mutex> hold(mutex_);
        running_ = false;
    }

private:
    static double seconds() {
        const char* env = std::getenv("KOVA_TEST_DEADLINE_SECONDS");
        return env && *env ? std::atof(env) : 120.0;
    }
    void watch() {
        std::unique_lock<std::mutex> hold(mutex_);
        for (;;) {
            wake_.wait_for(hold, std::chrono::milliseconds(200));
            if (running_ && std::chrono::steady_clock::now() > deadline_) {
                std::fprintf(stderr, "FAILED: %s ran past its %.0f s deadline: a wait without a bound?\n",
                             name_.c_str(), seconds());
                std::fflush(stderr);
                std::_Exit(1);
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread thread_;
    std::string name_;
    std::chrono::steady_clock::time_point deadline_;
    bool running_ = false;
};

// Registered before main runs the tests; gtest owns the listener.
const bool registered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new Watchdog);
    return true;
}();

}  // namespace

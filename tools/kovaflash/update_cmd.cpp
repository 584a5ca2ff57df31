#include "update_cmd.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>
#include <vector>

#include "block_map.h"
#include "image_file.h"
#include "progress.h"

namespace {

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr auto POLL_INTERVAL = std::chrono::milliseconds(20);
constexpr int BAR_WIDTH = 40;
constexpr int PLAIN_STEP_PERCENT = 10;

// The counter is plain memory in the library, written by the update while
// this thread reads it: read whole aligned words, never cached.
int32_t read_counter(const KovaApi& api) { return __atomic_load_n(api.block_count, __ATOMIC_RELAXED); }

bool load_image(const std::string& path, std::vector<uint8_t>& image) {
    std::string err = read_image_file(path, image);
    if (!err.empty()) {
        std::fprintf(stderr, "kovaflash: %s\n", err.c_str());
        return false;
    }
    return true;
}

void print_result(const KovaApi& api, uint32_t code) {
    std::printf("result        : 0x%08X\n", code);
    std::printf("message       : %s\n", api.message);
}

// Draws the bar on a terminal, or a plain line of percentages elsewhere.
class ProgressView {
public:
    ProgressView(int32_t expected, bool terminal) : progress_(expected), terminal_(terminal) {}

    void show(int32_t counter, int32_t expected) {
        int pct = progress_.percent(counter);
        if (terminal_) {
            int filled = pct * BAR_WIDTH / 100;
            int32_t done = std::min<int64_t>(std::max<int64_t>(int64_t(expected) - counter, 0), expected);
            std::printf("\r[%s%s] %3d%%  %d/%d blocks", std::string(size_t(filled), '#').c_str(),
                        std::string(size_t(BAR_WIDTH - filled), '.').c_str(), pct, done, expected);
        } else {
            if (!started_) {
                std::printf("writing:");
                started_ = true;
            }
            while (next_step_ <= pct) {
                std::printf(" %d%%", next_step_);
                next_step_ += PLAIN_STEP_PERCENT;
            }
        }
        std::fflush(stdout);
    }
    void finish() {
        std::printf("\n");
        std::fflush(stdout);
    }

private:
    UpdateProgress progress_;
    bool terminal_;
    bool started_ = false;
    int next_step_ = 0;
};

bool confirm(const std::string& path) {
    std::printf("Rewrite the BIOS flash with %s? [y/N] ", path.c_str());
    std::fflush(stdout);
    std::string answer;
    std::getline(std::cin, answer);
    return answer == "y" || answer == "Y" || answer == "yes";
}

}  // namespace

int run_check(const KovaApi& api, const UpdateOptions& o) {
    std::vector<uint8_t> image;
    if (!load_image(o.image_path, image)) {
        return EXIT_USAGE;
    }
    uint32_t code = api.check_bios_image(image.data(), o.handle, 0);
    print_result(api, code);
    std::printf("blocks differ : %d (counted once per pass that compares them)\n", read_counter(api));
    if (o.map) {
        std::vector<uint8_t> flash;
        std::string err = read_flash(flash);
        if (!err.empty()) {
            std::fprintf(stderr, "kovaflash: %s\n", err.c_str());
            return EXIT_FAILED;
        }
        std::vector<bool> differs = differing_blocks(flash.data(), image.data());
        std::printf("flash vs image, 4 KiB blocks ('X' differs):\n%s", draw_block_map(differs).c_str());
    }
    return code == 0 ? 0 : EXIT_FAILED;
}

int run_update(const KovaApi& api, const UpdateOptions& o) {
    std::vector<uint8_t> image, before, after;
    if (!load_image(o.image_path, image)) {
        return EXIT_USAGE;
    }
    bool terminal = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
    if (terminal && !o.yes && !confirm(o.image_path)) {
        std::printf("nothing written\n");
        return EXIT_FAILED;
    }
    if (o.map && !read_flash(before).empty()) {
        std::fprintf(stderr, "kovaflash: cannot read the flash for the map\n");
        return EXIT_FAILED;
    }

    // The dry run's count is the expected work.
    uint32_t code = api.check_bios_image(image.data(), o.handle, 0);
    if (code != 0) {
        print_result(api, code);
        return EXIT_FAILED;
    }
    int32_t expected = read_counter(api);
    std::printf("dry run       : %d blocks differ\n", expected);

    ProgressView view(expected, terminal);
    std::atomic<bool> done{false};
    std::thread poller([&] {
        while (!done.load()) {
            view.show(read_counter(api), expected);
            std::this_thread::sleep_for(POLL_INTERVAL);
        }
    });
    code = api.update_bios_firmware(image.data(), o.handle, 0);
    done = true;
    poller.join();
    int32_t left = read_counter(api);
    if (code == 0) {
        view.show(left, expected);
    }
    view.finish();

    print_result(api, code);
    // Each write takes one off the counter; without a callback handle the
    // call counts again instead and writes nothing.
    std::printf("blocks written: %d\n", left <= expected ? expected - left : 0);
    if (o.map && read_flash(after).empty()) {
        std::vector<bool> written = differing_blocks(before.data(), after.data());
        std::printf("flash before vs after, 4 KiB blocks ('W' rewritten):\n%s",
                    draw_block_map(written, 'W').c_str());
    }
    return code == 0 ? 0 : EXIT_FAILED;
}

// Holds a board's lock the way a writer holds it, for the tests of one
// writer at a time: takes it, prints "held", keeps it SECONDS, lets go.
// Usage: hold_board_lock BOARD_DIR SECONDS
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "board_lock.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: hold_board_lock BOARD_DIR SECONDS\n");
        return 2;
    }
    BoardLock lock;
    if (Status err = lock.acquire(argv[1], 0)) {
        std::fprintf(stderr, "hold_board_lock: %s\n", err->text.c_str());
        return err->code;
    }
    std::printf("held\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::duration<double>(std::stod(argv[2])));
    return 0;
}

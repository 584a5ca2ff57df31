// Holds a board's lock the way kovaflash holds it, for the tests of one
// process at a time: takes it, prints "held", and keeps it until its
// standard input ends (the test closes it to let go). No timed hold: the
// test says when.
// Usage: hold_board_lock BOARD_DIR
#include <cstdio>
#include <string>

#include "board_lock.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: hold_board_lock BOARD_DIR\n");
        return 2;
    }
    BoardLock lock;
    if (Status err = lock.acquire(argv[1], 0)) {
        std::fprintf(stderr, "hold_board_lock: %s\n", err->text.c_str());
        return err->code;
    }
    std::printf("held\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    std::printf("released\n");
    return 0;
}

#include "interrupt.h"

#include <csignal>

#include "error.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace interrupt {

namespace {

volatile std::sig_atomic_t caught = 0;
volatile std::sig_atomic_t writing = 0;
volatile std::sig_atomic_t told = 0;

constexpr char HELD_OFF[] =
    "\nkovaflash: interrupt received while the flash is written: finishing and verifying the update "
    "first, so the board stays whole\n";

// Only async-signal-safe work: remember the signal, say once why the tool
// does not stop yet.
void take(int sig) {
    if (caught == 0) {
        caught = sig;
    }
    if (writing && !told) {
        told = 1;
#if defined(_WIN32)
        DWORD n = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), HELD_OFF, sizeof HELD_OFF - 1, &n, nullptr);
#else
        ssize_t n = write(STDERR_FILENO, HELD_OFF, sizeof HELD_OFF - 1);
        (void)n;
#endif
    }
}

#if defined(_WIN32)
constexpr int SIGNAL_HUP = 1;
constexpr int SIGNAL_TERM = 15;
constexpr DWORD CLOSE_WAIT_STEP_MS = 50;

BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
        take(SIGINT);
        return TRUE;
    case CTRL_BREAK_EVENT:
        take(SIGNAL_TERM);
        return TRUE;
    case CTRL_CLOSE_EVENT:
        // Returning ends the process: hold the close off while the flash is
        // written (Windows allows a few seconds).
        take(SIGNAL_HUP);
        while (writing) {
            Sleep(CLOSE_WAIT_STEP_MS);
        }
        return TRUE;
    default:
        return FALSE;
    }
}
#endif

}  // namespace

void install() {
#if defined(_WIN32)
    SetConsoleCtrlHandler(on_console_event, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = take;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a prompt waiting for input returns at once.
    action.sa_flags = 0;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(sig, &action, nullptr);
    }
#endif
}

void cancel_point() {
    if (caught != 0) {
        throw Error{exitcode::SIGNALLED + caught, "interrupted: nothing written"};
    }
}

void begin_writing() {
    cancel_point();
    writing = 1;  // a signal from here on is held off
}

void end_writing() { writing = 0; }

int received() { return caught; }

}  // namespace interrupt

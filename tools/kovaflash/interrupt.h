// SIGINT, SIGTERM and SIGHUP (on Windows Ctrl-C, Ctrl-Break and the console
// closing) while a command writes. Once caught, a signal never cuts a write
// short: before the flash is written it cancels the command at its next
// cancel point ("interrupted: nothing written"); while the library writes
// the flash it is held off, said once, and the command ends, with
// 128 + the signal's number, after the write is finished and verified.
#ifndef KOVAFLASH_INTERRUPT_H
#define KOVAFLASH_INTERRUPT_H

namespace interrupt {

// Catches the three from now to the end of the run.
void install();
// Throws Error{128 + signal, "interrupted: nothing written"} if one came.
void cancel_point();
// The flash is being written from now on, and no longer.
void begin_writing();
void end_writing();
// The first signal caught, 0 while none.
int received();

}  // namespace interrupt

#endif

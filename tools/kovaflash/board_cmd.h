// The board itself: what the library and the installed firmware say they
// are (info), and making a simulated board (board init).
#ifndef KOVAFLASH_BOARD_CMD_H
#define KOVAFLASH_BOARD_CMD_H

#include <string>
#include <vector>

#include "commands.h"

int run_info(Session& s);
// A new simulated board in the board directory, holding `image_path`'s
// firmware (or generated firmware of revision 0 when empty), trusting the
// public keys at `trusted`. An existing board is replaced only with --replace.
int run_board_init(Session& s, const std::string& image_path, const std::vector<std::string>& trusted);

#endif

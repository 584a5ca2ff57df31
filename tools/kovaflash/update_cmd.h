// check, update and restore: the one update sequence (update_sequence.h)
// behind three commands.
#ifndef KOVAFLASH_UPDATE_CMD_H
#define KOVAFLASH_UPDATE_CMD_H

#include "commands.h"

#endif

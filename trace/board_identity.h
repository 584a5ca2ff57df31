// The board's identity as the installed firmware's top 64 KiB show it:
// the platform tag, and the boot-info block's revision and strings, read
// by the library's own layout. For a trace's Board event.
#ifndef KOVA_TRACE_BOARD_IDENTITY_H
#define KOVA_TRACE_BOARD_IDENTITY_H

#include <cstdint>
#include <string>

namespace trace {

// "key: value" lines (platform-tag, model, second, vendor, revision) for
// the top window's bytes; what is not there is left out.
std::string board_identity(const uint8_t* top_window, uint32_t length);

}  // namespace trace

#endif

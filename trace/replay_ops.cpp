// The seven operations of a native replay: each goes to the installed
// replay board. Linked instead of the simulator's.
#include "replay_board.h"

namespace trace {
namespace {
ReplayBoard* installed = nullptr;
}  // namespace
void install(ReplayBoard* board) { installed = board; }
}  // namespace trace

extern "C" {

uint32_t ZUNDA_CALL GetPortVal(uint32_t port, uint32_t* value, uint32_t size) {
    return trace::installed ? trace::installed->get_port(port, value, size) : 0;
}
uint32_t ZUNDA_CALL SetPortVal(uint32_t port, uint32_t value, uint32_t size) {
    return trace::installed ? trace::installed->set_port(port, value, size) : 0;
}
void* ZUNDA_CALL MapPhysToLin(uint32_t physical, uint32_t length, uint32_t* handle) {
    return trace::installed ? trace::installed->map(physical, length, handle) : nullptr;
}
uint32_t ZUNDA_CALL UnmapPhysicalMemory(uint32_t handle, void* linear) {
    return trace::installed ? trace::installed->unmap(handle, linear) : 0;
}
uint32_t ZUNDA_CALL AllocatePhysMemory(uint32_t length, uint32_t* handle) {
    return trace::installed ? trace::installed->allocate(length, handle) : 0;
}
uint32_t ZUNDA_CALL FreePhysMemory(uint32_t handle) {
    return trace::installed ? trace::installed->free(handle) : 0;
}
void ZUNDA_CALL SEG32_CALLBACK(uint32_t handle, flash_command_record record) {
    if (trace::installed) {
        trace::installed->callback(handle, record);
    }
}

}  // extern "C"

#include "format.h"

namespace trace {

const char* kind_name(Kind kind) {
    switch (kind) {
    case Kind::Header:
        return "header";
    case Kind::Note:
        return "note";
    case Kind::PortRead:
        return "GetPortVal";
    case Kind::PortWrite:
        return "SetPortVal";
    case Kind::Map:
        return "MapPhysToLin";
    case Kind::Unmap:
        return "UnmapPhysicalMemory";
    case Kind::Alloc:
        return "AllocatePhysMemory";
    case Kind::Free:
        return "FreePhysMemory";
    case Kind::Callback:
        return "SEG32_CALLBACK";
    case Kind::LibWrite:
        return "library write";
    case Kind::BoardWrite:
        return "board memory";
    case Kind::Board:
        return "board";
    case Kind::Cut:
        return "cut";
    case Kind::End:
        return "end";
    }
    return "unknown";
}

bool known_kind(uint8_t kind) {
    return (kind >= uint8_t(Kind::Header) && kind <= uint8_t(Kind::Cut)) || kind == uint8_t(Kind::End);
}

}  // namespace trace

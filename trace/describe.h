// Events as a person reads them, and the phase of the library's work each
// belongs to: for an update or check, validation, acquisition, interface
// search and identity checks, begin, passes a to e, end, release; for the
// other entries, the device they reach; outside every call, the host.
#ifndef KOVA_TRACE_DESCRIBE_H
#define KOVA_TRACE_DESCRIBE_H

#include <string>
#include <vector>

#include "format.h"
#include "memory_model.h"
#include "reader.h"

namespace trace {

// What an event means beyond its own fields: the number of the mapping a
// Map made (Unmap events carry theirs), and where the firmware's command
// record lies with its bytes before the event, so that a library write
// over it reads as the record's fields.
struct Context {
    std::optional<uint32_t> mapping;  // a Map's ordinal
    std::optional<uint32_t> record_physical;
    std::vector<uint8_t> record_before;  // RECORD_BYTES when known
    std::optional<uint16_t> notify_port;
};

std::string describe(const Event& e, const Context* context = nullptr);
// An operation as the library asked for it, without what the board answered.
std::string describe_request(const Event& e);
std::string hex(uint32_t v, int digits = 0);
// The name a datasheet gives a port the library uses, or "".
std::string port_name(uint32_t port, std::optional<uint16_t> notify_port = std::nullopt);
// `text` with every control byte (C0, DEL, and C1 as UTF-8 encodes it) but
// the line feed written as \xNN: what a trace holds never steers a terminal.
std::string printable(const std::string& text);

// The firmware's flash interface as a board's F-segment shows it: the first
// "$QRF" block whose fields and record lie inside the F-segment.
struct FirmwareInterface {
    uint32_t record_physical;
    uint16_t notify_port;
};
std::optional<FirmwareInterface> firmware_interface(const MemoryModel& memory);
// The context `memory` gives an event, the firmware's interface being `found`.
Context interface_context(const MemoryModel& memory, const std::optional<FirmwareInterface>& found);

// Walks a trace event by event, keeping what the board's memory held, and
// gives each event's context.
class Narrator {
public:
    // The context of `e`, the next event; then takes `e` in.
    Context next(const Event& e);

private:
    MemoryModel memory_;
    uint32_t mappings_ = 0;
    std::optional<FirmwareInterface> interface_;
    bool fseg_changed_ = true;  // the interface is looked for again
};

// A call into KOVA.dll as the host noted it.
struct Call {
    std::string entry;
    std::map<std::string, std::string> args;  // as noted: name=value
};
// "call ENTRY a=1 b=2" → the call; nullopt for any other line.
std::optional<Call> parse_call(const std::string& note);
struct Outcome {
    uint32_t result = 0;
    int32_t count = 0;
    std::string message;
};
// "return 0x80000000 count=N message=TEXT"; nullopt for any other line.
std::optional<Outcome> parse_outcome(const std::string& note);
std::string describe(const Outcome& o);

// The phase of every event of `t`, by its index.
std::vector<std::string> phases(const Trace& t);

}  // namespace trace

#endif

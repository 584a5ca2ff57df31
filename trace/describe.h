// Events as a person reads them, and the phase of the library's work each
// belongs to: for an update or check, validation, acquisition, interface
// search and identity checks, begin, passes a to e, end, release; for the
// other entries, the device they reach; outside every call, the host.
#ifndef KOVA_TRACE_DESCRIBE_H
#define KOVA_TRACE_DESCRIBE_H

#include <string>
#include <vector>

#include "format.h"
#include "reader.h"

namespace trace {

std::string describe(const Event& e);
std::string hex(uint32_t v, int digits = 0);

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

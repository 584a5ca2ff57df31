// A trace as a person reads it: who recorded it on what board, then every
// call into the library with its phases in order, the blocks the firmware
// wrote in each, and what the call returned; or as one JSON object.
#ifndef KOVA_TRACE_SHOW_H
#define KOVA_TRACE_SHOW_H

#include <nlohmann/json.hpp>
#include <string>

#include "reader.h"

// The trace summed up; with `events`, every event with its index and phase.
nlohmann::json show_trace(const trace::Trace& t, bool events);
// The same as text lines.
std::string show_text(const nlohmann::json& shown);

#endif

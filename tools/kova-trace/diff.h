// Two traces of the same operation side by side (a failing board beside a
// good one): the first event where they part, with its phase and what each
// trace holds there. Notes are compared by their text, not their times.
#ifndef KOVA_TRACE_DIFF_H
#define KOVA_TRACE_DIFF_H

#include <nlohmann/json.hpp>
#include <string>

#include "reader.h"

nlohmann::json diff_traces(const trace::Trace& a, const trace::Trace& b);
std::string diff_text(const nlohmann::json& d);

#endif

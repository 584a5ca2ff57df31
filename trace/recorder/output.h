// Where the recorder writes: one trace per process, made when the first
// operation is called, in the folder KOVA_TRACE_DIR names or else in
// "traces" beside the recorder, as trace-YYYYMMDD-HHMMSS-PID.kvt (never
// over an existing file). A trace that cannot be made or written is
// reported by KovaTraceStatus; the operations go on unchanged either way.
#ifndef KOVA_TRACE_RECORDER_OUTPUT_H
#define KOVA_TRACE_RECORDER_OUTPUT_H

#include <memory>
#include <string>

#include "writer.h"

namespace recorder {

constexpr wchar_t TRACE_DIR_VARIABLE[] = L"KOVA_TRACE_DIR";
// What the recorder leaves out of every trace, as its header says.
constexpr char BLANKED[] = "the MSDM table's data (the Windows product key), as '*'";
constexpr wchar_t DEFAULT_TRACE_DIR[] = L"traces";

struct Output {
    std::unique_ptr<trace::Writer> writer;  // null when no trace could be made
    std::string path;                       // UTF-8
    std::string error;                      // why there is no trace, or why it stopped
};

// Makes the file and writes its header (time, the host program and its
// version, KOVA.dll's version and SHA-256, the maker's library and its
// SHA-256, the recorder's version, what it blanks).
Output open_output(const std::wstring& maker_path);
// Ends the trace with its end event and closes the file.
void close_output(Output& out);

}  // namespace recorder

#endif

// The library linked into this program, driven by a replay.
#ifndef KOVA_TRACE_NATIVE_LIBRARY_H
#define KOVA_TRACE_NATIVE_LIBRARY_H

#include "replay.h"

class NativeLibrary : public trace::Library {
public:
    uint32_t call(const std::string& entry, const std::vector<uint32_t>& args, const uint8_t* image) override;
    int32_t block_count() override;
    void set_block_count(int32_t count) override;
    std::string message() override;
};

#endif

// The parts of a PE32 DLL that a loader needs: where each section goes and
// what it may be used for, the import slots to bind, the exports by name,
// and the base relocations that let the image sit somewhere else.
#ifndef EMU_PE_IMAGE_H
#define EMU_PE_IMAGE_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace emu {

struct PeSection {
    std::string name;
    uint32_t rva;
    uint32_t virtual_size;
    std::vector<uint8_t> bytes;  // raw data, at most virtual_size bytes; the rest is zero
    bool executable;
    bool writable;
};

struct PeImport {
    std::string dll;
    std::string name;
    uint32_t iat_rva;  // the slot the loader fills with the function's address
};

struct PeImage {
    uint32_t preferred_base = 0;
    uint32_t size_of_image = 0;
    uint32_t entry_point = 0;  // RVA; 0 when the DLL has no initialisation routine
    std::vector<PeSection> sections;
    std::vector<PeImport> imports;
    std::map<std::string, uint32_t> exports;  // name -> RVA
    std::vector<uint32_t> relocations;        // RVAs of 32-bit absolute addresses
};

// Parses `path`; throws std::runtime_error when it is not a PE32 i386 image
// or holds a relocation kind other than 32-bit absolute.
PeImage load_pe(const std::string& path);

}  // namespace emu

#endif

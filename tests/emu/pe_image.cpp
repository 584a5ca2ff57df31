// PE parsing through LIEF: it reads the headers, sections, import and
// export directories and the base relocation blocks; this file only keeps
// what the emulator's loader needs and refuses what it cannot load.
#include "pe_image.h"

#include <LIEF/PE.hpp>

#include <memory>
#include <stdexcept>

namespace emu {

namespace {
constexpr uint32_t SCN_MEM_EXECUTE = 0x20000000;
constexpr uint32_t SCN_MEM_WRITE = 0x80000000;
}  // namespace

PeImage load_pe(const std::string& path) {
    std::unique_ptr<LIEF::PE::Binary> bin;
    try {
        bin = LIEF::PE::Parser::parse(path);
    } catch (const std::exception& e) {
        throw std::runtime_error(path + ": " + e.what());
    }
    if (!bin) {
        throw std::runtime_error(path + ": not a PE image");
    }
    if (bin->header().machine() != LIEF::PE::MACHINE_TYPES::IMAGE_FILE_MACHINE_I386 ||
        bin->optional_header().magic() != LIEF::PE::PE_TYPE::PE32) {
        throw std::runtime_error(path + ": not a PE32 i386 image");
    }
    PeImage img;
    img.preferred_base = uint32_t(bin->optional_header().imagebase());
    img.size_of_image = bin->optional_header().sizeof_image();
    img.entry_point = bin->optional_header().addressof_entrypoint();
    for (const LIEF::PE::Section& s : bin->sections()) {
        std::vector<uint8_t> bytes = s.content();
        if (bytes.size() > s.virtual_size()) {
            bytes.resize(s.virtual_size());  // file alignment padding is not part of the image
        }
        img.sections.push_back({s.name(), uint32_t(s.virtual_address()), s.virtual_size(), std::move(bytes),
                                (s.characteristics() & SCN_MEM_EXECUTE) != 0,
                                (s.characteristics() & SCN_MEM_WRITE) != 0});
    }
    for (const LIEF::PE::Import& imp : bin->imports()) {
        for (const LIEF::PE::ImportEntry& e : imp.entries()) {
            img.imports.push_back({imp.name(), e.name(), uint32_t(e.iat_address())});
        }
    }
    if (bin->has_exports()) {
        for (const LIEF::PE::ExportEntry& e : bin->get_export().entries()) {
            img.exports[e.name()] = uint32_t(e.address());
        }
    }
    for (const LIEF::PE::Relocation& block : bin->relocations()) {
        for (const LIEF::PE::RelocationEntry& e : block.entries()) {
            if (e.type() == LIEF::PE::RELOCATIONS_BASE_TYPES::IMAGE_REL_BASED_ABSOLUTE) {
                continue;  // padding that ends a block
            }
            if (e.type() != LIEF::PE::RELOCATIONS_BASE_TYPES::IMAGE_REL_BASED_HIGHLOW) {
                throw std::runtime_error(path + ": unsupported base relocation type");
            }
            img.relocations.push_back(uint32_t(block.virtual_address()) + e.position());
        }
    }
    return img;
}

}  // namespace emu

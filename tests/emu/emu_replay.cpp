// A field trace replayed against the real KOVA.dll in the CPU emulator:
// the DLL's imports reach the replay board, whose mappings the emulator
// shows the DLL as they are made. Prints what kova-trace replay prints.
//   emu_replay TRACE [IMAGE]   exit 0 reproduced, 1 differs, 2 a bad trace or image
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "emulator.h"
#include "file_read.h"
#include "pe_image.h"
#include "replay.h"

namespace {

class EmuLibrary : public trace::Library {
public:
    EmuLibrary(emu::DllEmulator& dll, trace::ReplayBoard& board) : dll_(dll), board_(board) {}
    uint32_t call(const std::string& entry, const std::vector<uint32_t>& args,
                  const uint8_t* image) override {
        std::vector<uint32_t> a = args;
        if (image) {
            a.insert(a.begin(), dll_.host_buffer(std::vector<uint8_t>(image, image + IMAGE_BYTES)));
        }
        uint32_t result = dll_.call(entry, a);
        if (!dll_.fault().empty()) {
            board_.differ("inside " + entry, "the call as the native library makes it",
                          "KOVA.dll broke a rule: " + dll_.fault());
        }
        return result;
    }
    int32_t block_count() override {
        std::vector<uint8_t> b = dll_.read(dll_.export_address("KOVA_block_count"), 4);
        int32_t v = 0;
        std::memcpy(&v, b.data(), 4);
        return v;
    }
    void set_block_count(int32_t count) override {
        std::vector<uint8_t> b(4);
        std::memcpy(b.data(), &count, 4);
        dll_.write(dll_.export_address("KOVA_block_count"), b);
    }
    std::string message() override {
        std::vector<uint8_t> b = dll_.read(dll_.export_address("KOVA_message"), MESSAGE_BYTES);
        return std::string(reinterpret_cast<const char*>(b.data()),
                           strnlen(reinterpret_cast<const char*>(b.data()), b.size()));
    }

private:
    static constexpr size_t IMAGE_BYTES = 0x200000;
    static constexpr size_t MESSAGE_BYTES = 128;
    emu::DllEmulator& dll_;
    trace::ReplayBoard& board_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: emu_replay TRACE [IMAGE]\n");
        return 2;
    }
    std::vector<uint8_t> bytes, image;
    trace::Trace t;
    Status err = read_bounded(argv[1], trace::MAX_FILE_BYTES + 1, Links::Follow, "trace", bytes);
    if (!err) {
        err = trace::read_trace(bytes, argv[1], true, t);
    }
    if (!err && argc == 3) {
        err = read_bounded(argv[2], 0x200001, Links::Follow, "image", image);
        if (!err && image.size() != 0x200000) {
            err = Error{2, std::string(argv[2]) + ": not a 2 MiB image"};
        }
    }
    if (!err) {
        err = trace::check_replayable(t, argc == 3 ? &image : nullptr);
    }
    if (err) {
        std::fprintf(stderr, "emu_replay: %s\n", err->text.c_str());
        return err->code;
    }
    const char* dll_path = std::getenv("KOVA_DLL");
    try {
        emu::PeImage pe = emu::load_pe(dll_path && *dll_path ? dll_path : KOVA_DLL_DEFAULT);
        emu::DllEmulator dll(pe, {});
        trace::ReplayBoard board(t);
        // Only the library's own mappings are shown to it; one the emulator
        // has no room for ends the replay as a trace it cannot serve.
        std::string cannot_serve;
        board.on_mapping = [&dll, &cannot_serve](uint8_t* base, uint32_t size, bool made) {
            try {
                if (made) {
                    dll.add_window(base, size);
                } else {
                    dll.remove_window(base);
                }
            } catch (const std::exception& e) {
                if (cannot_serve.empty()) {
                    cannot_serve = e.what();
                }
            }
        };
        trace::install(&board);
        EmuLibrary library(dll, board);
        trace::ReplayReport r = trace::replay(t, board, library, argc == 3 ? &image : nullptr);
        trace::install(nullptr);
        if (!cannot_serve.empty()) {
            std::fprintf(stderr, "emu_replay: %s: the emulator cannot serve this trace's mappings (%s)\n",
                         argv[1], cannot_serve.c_str());
            return 2;
        }
        std::printf("trace     : %s (KOVA.dll in the CPU emulator)\n%s", argv[1],
                    trace::printable(trace::report_text(r)).c_str());
        return r.mismatch ? 1 : 0;
    } catch (const std::exception& e) {
        trace::install(nullptr);
        std::fprintf(stderr, "emu_replay: %s: %s\n", argv[1], e.what());
        return 2;
    }
}

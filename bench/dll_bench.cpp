// The check of an identical image through the real KOVA.dll, timed inside
// Wine beside the same floor as the native benchmark, both in this one
// process. The Windows C library has no memmem: the floor's search is the
// standard library's std::string_view::find (memchr for the first byte,
// then memcmp), the same kind of plain search.
#include <windows.h>

#include <cstdio>
#include <string_view>

#include "check_floor.h"

namespace {

template <typename T>
T proc(HMODULE m, const char* name) {
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(m, name)));
}

size_t search(const uint8_t* data, size_t size, const char* pattern, size_t length) {
    std::string_view hay(reinterpret_cast<const char*>(data), size);
    size_t at = hay.find(std::string_view(pattern, length));
    return at == std::string_view::npos ? size : at;
}

}  // namespace

int main() {
    HMODULE kova = LoadLibraryA("KOVA.dll");
    HMODULE zunda = GetModuleHandleA("ZUNDA.dll");
    using Entry = uint32_t(WINAPI*)(const void*, uint32_t, uint32_t);
    auto check = kova ? proc<Entry>(kova, "KOVA_check_bios_image") : nullptr;
    auto write_flash =
        zunda ? proc<uint32_t(WINAPI*)(const void*, uint32_t)>(zunda, "SimWriteFlash") : nullptr;
    if (!check || !write_flash) {
        std::fprintf(stderr, "dll_bench: needs KOVA.dll and the simulator's ZUNDA.dll beside it\n");
        return 1;
    }
    kimage::Image a = floorwork::image(1, 1);
    write_flash(a.bytes.data(), uint32_t(a.bytes.size()));
    if (check(a.bytes.data(), 1, 0) != 0) {
        std::fprintf(stderr, "dll_bench: the check of an identical image failed\n");
        return 1;
    }
    constexpr int CALLS = 200;
    double best_check = 1e9, best_floor = 1e9;
    for (int round = 0; round < 5; ++round) {
        best_check =
            std::min(best_check, floorwork::seconds_per_call([&] { check(a.bytes.data(), 1, 0); }, CALLS));
        best_floor = std::min(best_floor, floorwork::seconds_per_call(
                                              [&] { floorwork::floor_work(a.bytes, a, search); }, CALLS));
    }
    std::printf("KOVA.dll check of an identical image: %.0f us, floor %.0f us, ratio %.2f\n",
                best_check * 1e6, best_floor * 1e6, best_check / best_floor);
    return 0;
}

#include "maker.h"

#include "utf8_path.h"

namespace recorder {

namespace {

template <typename T>
bool resolve(HMODULE m, T& slot, const char* name) {
    slot = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(m, name)));
    return slot != nullptr;
}

Maker load() {
    Maker k;
    k.path = module_folder(reinterpret_cast<const void*>(&maker)) + MAKER_DLL_NAME;
    // Its own imports are looked for beside it, as when it was ZUNDA.dll.
    HMODULE m = LoadLibraryExW(k.path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!m) {
        k.error = "cannot load " + u8::from_wide(k.path) + " (" + u8::error_text(GetLastError()) + ")";
        return k;
    }
    k.module = m;
    bool ok = resolve(m, k.get_port, "GetPortVal") && resolve(m, k.set_port, "SetPortVal") &&
              resolve(m, k.map, "MapPhysToLin") && resolve(m, k.unmap, "UnmapPhysicalMemory") &&
              resolve(m, k.allocate, "AllocatePhysMemory") && resolve(m, k.free, "FreePhysMemory") &&
              resolve(m, k.callback, "SEG32_CALLBACK");
    if (!ok) {
        FreeLibrary(m);
        k = Maker{};
        k.path = module_folder(reinterpret_cast<const void*>(&maker)) + MAKER_DLL_NAME;
        k.error = u8::from_wide(k.path) + " lacks one of the seven ZUNDA operations";
    }
    return k;
}

Maker loaded;
bool tried = false;

}  // namespace

const Maker& maker() {
    if (!tried) {
        loaded = load();
        tried = true;
    }
    return loaded;
}

void release_maker() {
    if (loaded.module) {
        FreeLibrary(loaded.module);
    }
    loaded = Maker{};
    loaded.error = "the recording has ended";
}

std::wstring module_folder(const void* address) {
    HMODULE m = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       static_cast<LPCWSTR>(address), &m);
    std::wstring path(32768, L'\0');
    DWORD n = GetModuleFileNameW(m, path.data(), DWORD(path.size()));
    path.resize(n < path.size() ? n : 0);
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

}  // namespace recorder

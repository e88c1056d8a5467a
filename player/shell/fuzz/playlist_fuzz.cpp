// libFuzzer target for the favourites reader: any bytes must read without a
// crash, without undefined behaviour and in bounded time and memory.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "shell/playlist.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto stations = quenda::shell::readPlaylist(text);
    // Every entry takes at least one real line of the input.
    if (stations.size() > size + 1) __builtin_trap();
    for (const auto& s : stations) {
        if (s.label.size() < 3) __builtin_trap();
    }
    return 0;
}

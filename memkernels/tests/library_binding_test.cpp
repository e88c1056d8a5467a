// The library's face to the loader: exactly three undecorated names, nothing
// needed but the C library, and a player that binds it by name and finds it
// beside itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string Output(const std::string& command)
{
    std::string out;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return out;
    std::array<char, 4096> buffer{};
    while (std::fgets(buffer.data(), static_cast<int>(buffer.size()), pipe) != nullptr) out += buffer.data();
    const int status = pclose(pipe);
    EXPECT_EQ(status, 0) << command << " failed:\n" << out;
    return out;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The bracketed values of one kind of dynamic-section entry, e.g. NEEDED or RUNPATH.
std::vector<std::string> DynamicEntries(const std::string& file, const std::string& tag)
{
    std::vector<std::string> values;
    for (const std::string& line : Lines(Output("readelf -d --wide '" + file + "'"))) {
        if (line.find("(" + tag + ")") == std::string::npos) continue;
        const auto open = line.find('[');
        const auto close = line.rfind(']');
        if (open != std::string::npos && close != std::string::npos) values.push_back(line.substr(open + 1, close - open - 1));
    }
    return values;
}

// Runtime libraries that a sanitizer build adds to everything it links.
bool IsSanitizerRuntime(const std::string& name)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return name.rfind("libasan.so", 0) == 0 || name.rfind("libubsan.so", 0) == 0 || name.rfind("libtsan.so", 0) == 0;
#else
    (void)name;
    return false;
#endif
}

TEST(LibraryBinding, ExportsExactlyTheThreeRoutines)
{
    std::set<std::string> names;
    for (const std::string& line : Lines(Output("nm -D --defined-only '" QUENDA_LIBRARY_FILE "'"))) {
        std::istringstream fields(line);
        std::string address, type, name;
        fields >> address >> type >> name;
        if (name.empty()) continue;
        EXPECT_EQ(type, "T") << name << " is exported but is not a function";
        names.insert(name);
    }
    EXPECT_EQ(names, (std::set<std::string>{"ClearMemoryQuenda", "CopyMemoryQuenda", "TransMemoryOstrel"}));
}

#if defined(__x86_64__)
// Each routine writes with 8-byte streaming stores and fences them before it returns.
TEST(LibraryBinding, RoutinesUseStreamingStores)
{
    for (const char* routine : {"ClearMemoryQuenda", "CopyMemoryQuenda", "TransMemoryOstrel"}) {
        const std::string code =
            Output(std::string("objdump -d --no-show-raw-insn --disassemble=") + routine + " '" QUENDA_LIBRARY_FILE "'");
        EXPECT_NE(code.find("movnti %r"), std::string::npos) << routine << ":\n" << code;
        EXPECT_NE(code.find("sfence"), std::string::npos) << routine << ":\n" << code;
    }
}
#endif

TEST(LibraryBinding, NeedsNothingButTheCLibrary)
{
    for (const std::string& needed : DynamicEntries(QUENDA_LIBRARY_FILE, "NEEDED")) {
        EXPECT_TRUE(needed == "libc.so.6" || IsSanitizerRuntime(needed)) << "the library needs " << needed;
    }
    EXPECT_EQ(DynamicEntries(QUENDA_LIBRARY_FILE, "SONAME"), std::vector<std::string>{"libCopyMemoryQuenda.so"});
}

TEST(LibraryBinding, PlayerBindsTheLibraryBesideIt)
{
    const std::vector<std::string> needed = DynamicEntries(QUENDA_PLAYER_FILE, "NEEDED");
    EXPECT_NE(std::find(needed.begin(), needed.end(), "libCopyMemoryQuenda.so"), needed.end());
    EXPECT_EQ(DynamicEntries(QUENDA_PLAYER_FILE, "RUNPATH"), std::vector<std::string>{"$ORIGIN"});

    // The loader resolves it to the file built beside the program.
    const std::string libraryDir = std::string(QUENDA_LIBRARY_FILE).substr(0, std::string(QUENDA_LIBRARY_FILE).rfind('/'));
    const std::string playerDir = std::string(QUENDA_PLAYER_FILE).substr(0, std::string(QUENDA_PLAYER_FILE).rfind('/'));
    ASSERT_EQ(libraryDir, playerDir);
    const std::string resolved = Output("env -u LD_LIBRARY_PATH ldd '" QUENDA_PLAYER_FILE "'");
    EXPECT_NE(resolved.find("libCopyMemoryQuenda.so => " + libraryDir + "/libCopyMemoryQuenda.so"), std::string::npos)
        << resolved;
}

}  // namespace

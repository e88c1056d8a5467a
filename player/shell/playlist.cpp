#include "shell/playlist.h"

#include <fstream>
#include <limits>
#include <sstream>
#include <system_error>

namespace quenda::shell {

std::string_view lineValue(std::string_view line)
{
    // Everything after the first "=": addresses keep their queries and titles
    // keep any further "=".
    const auto eq = line.find('=');
    return eq == std::string_view::npos ? std::string_view{} : line.substr(eq + 1);
}

namespace {

int digitValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

}  // namespace

std::int64_t readInteger(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i < text.size() && text[i] == '%') {
        base = 2;
        ++i;
    }
    // Accumulated as a negative number so that the lowest value fits too.
    constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    std::int64_t value = 0;
    bool saturated = false;
    for (; i < text.size(); ++i) {
        const int d = digitValue(text[i]);
        if (d >= base) break;
        if (saturated) continue;
        if (value < (lowest + d) / base) {
            saturated = true;
            value = lowest;
            continue;
        }
        value = value * base - d;
    }
    if (negative) return value;
    return value == lowest ? std::numeric_limits<std::int64_t>::max() : -value;
}

std::string stationLabel(std::string_view url)
{
    const auto scheme = url.find("://");
    if (scheme == std::string_view::npos) return " - ";
    const std::string_view rest = url.substr(scheme + 3);
    const auto slash = rest.find('/');
    const auto at = rest.find('@');

    std::size_t hostStart = 0;
    if (at != std::string_view::npos && (slash == std::string_view::npos || at < slash)) hostStart = at + 1;
    const auto hostEnd = rest.find_first_of(":/", hostStart);
    const std::string_view host = rest.substr(hostStart, hostEnd == std::string_view::npos ? rest.npos : hostEnd - hostStart);

    std::string_view path;
    if (slash != std::string_view::npos) {
        path = rest.substr(slash + 1);
        path = path.substr(0, path.find('?'));
    }

    std::string label;
    label.reserve(host.size() + 3 + path.size());
    label.append(host).append(" - ").append(path);
    return label;
}

namespace {

// Hands out the lines of a stream one at a time, any line end accepted; past
// the end it hands out empty lines and says so.
class LineReader {
public:
    explicit LineReader(std::istream& in) : in_(in) {}

    // False when the stream was already exhausted: the line is then empty.
    bool next(std::string& line)
    {
        line.clear();
        if (atEnd()) return false;
        for (;;) {
            const int c = in_.get();
            if (c == std::char_traits<char>::eof()) break;
            if (c == '\n') break;
            if (c == '\r') {
                if (in_.peek() == '\n') in_.get();
                break;
            }
            line.push_back(static_cast<char>(c));
        }
        return true;
    }

    bool atEnd() { return in_.peek() == std::char_traits<char>::eof(); }

private:
    std::istream& in_;
};

}  // namespace

std::vector<Station> readPlaylist(std::istream& in)
{
    std::vector<Station> stations;
    LineReader lines(in);
    std::string line;

    lines.next(line);
    // Editors often write a byte-order mark; it is not part of the header.
    if (line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);
    if (line != "[playlist]") return stations;

    lines.next(line);
    const std::int64_t count = readInteger(lineValue(line));

    for (std::int64_t i = 0; i < count; ++i) {
        Station station;
        // An entry made only of lines past the end of the file would be empty,
        // and a huge count would make billions of them.
        if (!lines.next(line)) break;
        station.url = lineValue(line);
        lines.next(line);
        station.title = lineValue(line);
        station.label = stationLabel(station.url);
        lines.next(line);  // the length line, never used
        stations.push_back(std::move(station));
    }
    return stations;
}

std::vector<Station> readPlaylist(std::string_view text)
{
    std::istringstream in{std::string(text)};
    return readPlaylist(in);
}

std::optional<std::vector<Station>> loadFavorites(const std::filesystem::path& directory)
{
    for (const std::string_view name : {ServiceFavoritesName, OwnFavoritesName}) {
        const auto path = directory / name;
        std::error_code error;
        if (std::filesystem::is_directory(path, error)) continue;
        std::ifstream file(path, std::ios::binary);
        if (file.is_open()) return readPlaylist(file);
    }
    return std::nullopt;
}

std::filesystem::path programDirectory()
{
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return std::filesystem::current_path(error);
    return self.parent_path();
}

}  // namespace quenda::shell

// The favourites playlist: a PLS file beside the program, read by line position.
#pragma once

#include <cstdint>
#include <filesystem>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quenda::shell {

// One playlist entry.
struct Station {
    std::string title;  // shown at the top level of the tree
    std::string url;    // the stream address
    std::string label;  // host + " - " + path of the address, shown under the title

    bool operator==(const Station&) const = default;
};

// The favourites file exported by the radio service, tried first, and the
// player's own one, tried when the first cannot be opened.
inline constexpr std::string_view ServiceFavoritesName = "stations.example - Favorites.pls";
inline constexpr std::string_view OwnFavoritesName = "My radio - Favorites.pls";

// The value of a playlist line: everything after its first "=", empty without one.
std::string_view lineValue(std::string_view line);

// Reads an integer the way the entry count is read: blanks and tabs skipped, an
// optional sign, then decimal digits, "$" and hexadecimal digits or "%" and
// binary digits, up to the first other character. No digits give 0; values
// beyond the 64-bit range stop at its ends.
std::int64_t readInteger(std::string_view text);

// host + " - " + path of a stream address: the host without user information or
// port, the path without its leading "/" and without the query.
std::string stationLabel(std::string_view url);

// Reads a whole playlist, line by line. Lines end at LF, CR or CR LF; a UTF-8
// byte-order mark before the first line is skipped. A first line other than
// "[playlist]" gives no stations. Entries are taken by position, three lines
// each; an entry that starts past the end of the file is not made.
std::vector<Station> readPlaylist(std::istream& in);
std::vector<Station> readPlaylist(std::string_view text);

// Opens the service's favourites file in `directory`, else the player's own,
// and reads the first one that opens. Nothing when neither can be opened.
std::optional<std::vector<Station>> loadFavorites(const std::filesystem::path& directory);

// The directory the running program lies in.
std::filesystem::path programDirectory();

}  // namespace quenda::shell

#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Small text operations on folder and file paths. Folder texts handed between parts of the program
// end with a separator. The separator style is a parameter so that the same rules hold for native
// paths ("/") and for Windows paths ("\" with drive prefixes such as "C:").
namespace brisko::batch {

enum class PathStyle { Posix, Windows };

inline constexpr PathStyle kNativeStyle = PathStyle::Posix;

constexpr char SeparatorOf(PathStyle style) {
    return style == PathStyle::Windows ? '\\' : '/';
}

// The text up to and including the last separator; empty when there is none.
std::string FolderOf(std::string_view path, PathStyle style = kNativeStyle);

// The text after the last separator; the whole text when there is none.
std::string FileNameOf(std::string_view path, PathStyle style = kNativeStyle);

// The name of the last folder of a folder text that ends with a separator, without separators:
// "C:\In\Sub\" gives "Sub", "C:\" gives "C:", "/" gives "". Empty input has no answer (nullopt).
std::optional<std::string> LastFolderName(std::string_view folder, PathStyle style = kNativeStyle);

// The text before the last dot of the whole text ("C:\In\m.part1.rar" gives "C:\In\m.part1").
// A text without a dot has no answer (nullopt).
std::optional<std::string> StripExtension(std::string_view path);

// The folders MakeFolderChain tries to create, in order, for a folder text. Appends a separator to
// `folder` when it lacks one. Windows style starts after a drive prefix ("C:\A\B" tries "C:\A" and
// "C:\A\B"; "\\server\share\dir" tries "\\server", "\\server\share", "\\server\share\dir"); Posix
// style starts after the leading "/".
std::vector<std::string> FolderChain(std::string& folder, PathStyle style = kNativeStyle);

// Creates every missing folder along the path, ignoring each failure (the next level is still
// tried), and makes sure `folder` ends with a separator. Whether the last folder exists afterwards
// is for the caller to find out.
void MakeFolderChain(std::string& folder, PathStyle style,
                     const std::function<void(const std::string&)>& createFolder);
void MakeFolderChain(std::string& folder);

// 1-based position of the last entry equal to `text` (exact, case-sensitive), or 0.
int IndexInList(const std::vector<std::string>& list, std::string_view text);

} // namespace brisko::batch

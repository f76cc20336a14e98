#include "batch/PathHelpers.h"

#include "platform/FileSystem.h"

namespace brisko::batch {

namespace {

// 0-based index of the last separator, or npos.
std::size_t lastSeparator(std::string_view text, PathStyle style) {
    return text.rfind(SeparatorOf(style));
}

} // namespace

std::string FolderOf(std::string_view path, PathStyle style) {
    const std::size_t at = lastSeparator(path, style);
    return at == std::string_view::npos ? std::string() : std::string(path.substr(0, at + 1));
}

std::string FileNameOf(std::string_view path, PathStyle style) {
    const std::size_t at = lastSeparator(path, style);
    return std::string(at == std::string_view::npos ? path : path.substr(at + 1));
}

std::optional<std::string> LastFolderName(std::string_view folder, PathStyle style) {
    if (folder.empty()) {
        return std::nullopt;
    }
    // The final character is the folder's own trailing separator and is not searched.
    const std::size_t at = lastSeparator(folder.substr(0, folder.size() - 1), style);
    const std::size_t start = at == std::string_view::npos ? 0 : at + 1;
    return std::string(folder.substr(start, folder.size() - 1 - start));
}

std::optional<std::string> StripExtension(std::string_view path) {
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos) {
        return std::nullopt;
    }
    return std::string(path.substr(0, dot));
}

std::vector<std::string> FolderChain(std::string& folder, PathStyle style) {
    const char separator = SeparatorOf(style);
    if (folder.empty() || folder.back() != separator) {
        folder += separator;
    }
    std::vector<std::string> chain;
    // Windows paths start with a drive prefix ("C:\") that is no folder to create; the search for
    // the first separator begins past it. A text too short for that prefix starts over from its
    // beginning, which is where a Posix path's leading "/" is skipped instead.
    std::size_t start = style == PathStyle::Windows ? 3 : (folder.front() == separator ? 1 : 0);
    do {
        const std::size_t at = start < folder.size() ? folder.find(separator, start) : std::string::npos;
        if (at == std::string::npos) {
            start = 0;
            continue;
        }
        if (at > 0) {
            chain.push_back(folder.substr(0, at));
        }
        start = at + 1;
    } while (start < folder.size());
    return chain;
}

void MakeFolderChain(std::string& folder, PathStyle style,
                     const std::function<void(const std::string&)>& createFolder) {
    for (const std::string& step : FolderChain(folder, style)) {
        createFolder(step);
    }
}

void MakeFolderChain(std::string& folder) {
    MakeFolderChain(folder, kNativeStyle, [](const std::string& step) { platform::CreateFolder(step); });
}

int IndexInList(const std::vector<std::string>& list, std::string_view text) {
    for (std::size_t i = list.size(); i > 0; --i) {
        if (list[i - 1] == text) {
            return static_cast<int>(i);
        }
    }
    return 0;
}

} // namespace brisko::batch

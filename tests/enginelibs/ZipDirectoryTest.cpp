// What the ZIP engine reads from an archive's central directory itself: names by the system that
// made them, entries that share data (the overlap bomb), counts that do not add up.
#include <filesystem>
#include <gtest/gtest.h>
#include <zlib.h>

#include "enginelibs/ZipFixtures.h"
#include "support/TempDir.h"

namespace brisko::test {
namespace {

constexpr unsigned kUnix = 3, kDos = 0, kNtfs = 11;
constexpr unsigned kUtf8Flag = 0x800;

// An Info-ZIP Unicode Path field for an entry stored as `stored`.
std::string UnicodePath(const std::string& text, const std::string& stored, bool rightCrc) {
    std::uint32_t crc = static_cast<std::uint32_t>(
        ::crc32(0, reinterpret_cast<const Bytef*>(stored.data()), static_cast<uInt>(stored.size())));
    crc ^= rightCrc ? 0 : 1;
    std::string field;
    const auto put = [&](std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            field += static_cast<char>((value >> (8 * i)) & 0xFF);
        }
    };
    put(0x7075, 2);
    put(5 + text.size(), 2);
    put(1, 1);
    put(crc, 4);
    return field + text;
}

TEST(ZipDirectory, NamesAreReadByTheSystemThatMadeThem) {
    const struct {
        const char* label;
        std::string stored;
        unsigned system, flags;
        std::string extra;
        std::string extracted; // "" when the entry is refused
        bool likeUnzip;        // Debian's unzip gets it right too
    } cases[] = {
        {"Unix, UTF-8 bytes", "na\xC3\xAFve caf\xC3\xA9.txt", kUnix, 0, "", "na\xC3\xAFve caf\xC3\xA9.txt", true},
        {"Unix, Latin-1 bytes: no UTF-8, so CP437", "caf\xE9.txt", kUnix, 0, "", "caf\xCE\x98.txt", false},
        {"Windows, CP437", "caf\x82.txt", kNtfs, 0, "", "caf\xC3\xA9.txt", false},
        {"DOS, bytes that would pass for UTF-8", "na\xC3\xAFve.txt", kDos, 0, "", "na\xE2\x94\x9C\xC2\xBBve.txt",
         false},
        {"the UTF-8 flag", "caf\xC3\xA9.txt", kDos, kUtf8Flag, "", "caf\xC3\xA9.txt", false},
        {"the UTF-8 flag on bytes that are not", "caf\xE9.txt", kUnix, kUtf8Flag, "", "", false},
        {"a Unicode path field", "cafe.txt", kDos, 0, UnicodePath("caf\xC3\xA9.txt", "cafe.txt", true),
         "caf\xC3\xA9.txt", true},
        {"a stale Unicode path field", "cafe.txt", kDos, 0, UnicodePath("caf\xC3\xA9.txt", "cafe.txt", false),
         "cafe.txt", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir work;
        const std::string zip = work / "names.zip";
        RawZipEntry entry{c.stored, "data", c.system, c.system == kUnix ? 0100644u << 16 : 0x20u, c.flags, c.extra};
        WriteRawZip(zip, {entry, {"ok.txt", "ok"}});
        std::filesystem::create_directory(work / "ours");
        EngineScript script;
        EXPECT_EQ(RunEngine(zip, work / "ours", Duplicates::Always, script), c.extracted.empty() ? 1 : 0);
        std::vector<std::string> expected{"ok.txt"};
        if (!c.extracted.empty()) {
            expected.insert(c.extracted < "ok.txt" ? expected.begin() : expected.end(), c.extracted);
        }
        EXPECT_EQ(ListTree(work / "ours"), expected);
        if (c.likeUnzip && HaveUnzip()) {
            ASSERT_EQ(RunUnzip(zip, work / "theirs"), 0);
            EXPECT_EQ(ListTree(work / "theirs"), expected);
        }
    }
}

TEST(ZipDirectory, SharedDataAndWrongCountsFailBeforeAnythingIsWritten) {
    std::vector<RawZipEntry> overlapped{{"a.txt", std::string(1000, 'a')}};
    for (int i = 0; i < 50; ++i) {
        RawZipEntry copy{"b" + std::to_string(i) + ".txt", ""};
        copy.sharesDataWith = 0;
        overlapped.push_back(copy);
    }
    const struct {
        const char* label;
        std::vector<RawZipEntry> entries;
        std::optional<unsigned> counted;
    } cases[] = {
        {"fifty entries on the data of one", overlapped, std::nullopt},
        {"the end record counts one more", {{"a.txt", "a"}, {"b.txt", "b"}}, 3u},
        {"the end record counts one less", {{"a.txt", "a"}, {"b.txt", "b"}}, 1u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir work;
        WriteRawZip(work / "bomb.zip", c.entries, c.counted);
        std::filesystem::create_directory(work / "out");
        EngineScript script;
        EXPECT_EQ(RunEngine(work / "bomb.zip", work / "out", Duplicates::Always, script), 3);
        EXPECT_TRUE(ListTree(work / "out").empty());
    }
}

} // namespace
} // namespace brisko::test

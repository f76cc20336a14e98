#include "batch/VolumeNames.h"

#include <gtest/gtest.h>
#include <utility>

namespace brisko::batch {
namespace {

TEST(VolumeNames, ArchiveKind) {
    const std::pair<const char*, const char*> cases[] = {
        {"/in/a.zip", "ZIP"}, {"/in/m.Rar", "RAR"}, {"x.ace", "ACE"}, {"ab", "AB"}, {"", ""},
    };
    for (const auto& [path, kind] : cases) {
        EXPECT_EQ(ArchiveKindOf(path), kind) << path;
    }
}

TEST(VolumeNames, NewStyleIsReadFromTheFileNameOnly) {
    const struct {
        const char* path;
        PathStyle style;
        std::optional<PartVolume> expected;
    } cases[] = {
        {"/in/m.part1.rar", PathStyle::Posix, PartVolume{"/in/m", 1, 1, ".rar"}},
        {"/in/m.part01.rar", PathStyle::Posix, PartVolume{"/in/m", 1, 2, ".rar"}},
        {"/in/m.part001.RAR", PathStyle::Posix, PartVolume{"/in/m", 1, 3, ".RAR"}},
        {"/in/a.b.part0012.Rar", PathStyle::Posix, PartVolume{"/in/a.b", 12, 4, ".Rar"}},
        {"C:\\In\\m.part2.rar", PathStyle::Windows, PartVolume{"C:\\In\\m", 2, 1, ".rar"}},
        {"/in/M.PART2.RAR", PathStyle::Posix, std::nullopt},
        {"/in/m.part.rar", PathStyle::Posix, std::nullopt},
        {"/in/m.part1x.rar", PathStyle::Posix, std::nullopt},
        {"/in/m.part1.zip", PathStyle::Posix, std::nullopt},
        {"/in/x.part1.rar/m.rar", PathStyle::Posix, std::nullopt},
        {"C:\\x.part1.rar\\m.rar", PathStyle::Windows, std::nullopt},
    };
    for (const auto& c : cases) {
        const std::optional<PartVolume> got = ParsePartVolume(c.path, c.style);
        ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.path;
        if (got) {
            EXPECT_EQ(got->base, c.expected->base) << c.path;
            EXPECT_EQ(got->number, c.expected->number) << c.path;
            EXPECT_EQ(got->width, c.expected->width) << c.path;
            EXPECT_EQ(got->rarSuffix, c.expected->rarSuffix) << c.path;
        }
    }
}

TEST(VolumeNames, Companions) {
    const struct {
        const char* path;
        std::size_t count;
        std::vector<std::pair<std::size_t, std::string>> samples; // index in the list, name there
        PathStyle style = PathStyle::Posix;
    } cases[] = {
        {"/in/a.zip", 0, {}},
        {"/in/m.part1.rar",
         998,
         {{0, "/in/m.part2.rar"}, {8, "/in/m.part10.rar"}, {997, "/in/m.part999.rar"}}},
        {"/in/m.part01.rar", 98, {{0, "/in/m.part02.rar"}, {97, "/in/m.part99.rar"}}},
        {"/in/m.part001.RaR", 998, {{0, "/in/m.part002.RaR"}, {997, "/in/m.part999.RaR"}}},
        {"/in/m.part0001.rar", 9998, {{0, "/in/m.part0002.rar"}, {9997, "/in/m.part9999.rar"}}},
        {"/in/M.PART2.RAR", 100, {{0, "/in/M.PART2.R00"}, {99, "/in/M.PART2.R99"}}},
        {"/in/x.parts/m.rar",
         100,
         {{0, "/in/x.parts/m.r00"}, {10, "/in/x.parts/m.r10"}, {99, "/in/x.parts/m.r99"}}},
        {"/in/x.part1.rar/m.Rar", 100, {{0, "/in/x.part1.rar/m.r00"}}},
        {"/in/M.ACE", 100, {{0, "/in/M.C00"}, {99, "/in/M.C99"}}},
        {"/in/m.aCe", 100, {{0, "/in/m.c00"}}},
        {"/in/m.xrar", 0, {}},
        {"C:\\In\\m.part1.rar", 998, {{0, "C:\\In\\m.part2.rar"}}, PathStyle::Windows},
    };
    for (const auto& c : cases) {
        const std::vector<std::string> names = CompanionVolumes(c.path, c.style);
        ASSERT_EQ(names.size(), c.count) << c.path;
        for (const auto& [index, name] : c.samples) {
            EXPECT_EQ(names[index], name) << c.path;
        }
    }
}

} // namespace
} // namespace brisko::batch

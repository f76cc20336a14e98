// Every member of every sample archive must decode to the listed bytes; damaged, truncated and
// hostile variants must fail cleanly, and never report success with wrong data.
#include "SampleSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace brisko::acedec::test {
namespace {

#define SKIP_WITHOUT_SAMPLES()                                                                               \
    if (sampleDir().empty())                                                                                 \
    GTEST_SKIP() << "sample archives not found at " BRISKO_ACE_TESTDATA " (the shared test data folder)"

struct Sample {
    const char* path;
    const char* password;
};

const Sample kSamples[] = {
    {"patool/t.ace", ""},
    {"sflock/ace_plain.ace", ""},
    {"sflock/ace_nested.ace", ""},
    {"sflock/ace_nested2.ace", ""},
    {"unace-tests-v1/ALCHT.ACE", ""}, // comments, AV_SIZE byte without advert flag
    {"unace-tests-v1/Patch.ace", ""},
    {"unace-tests-v1/onefile.ace", ""},
    {"unace-tests-v1/trps.ace", ""},  // minimal main header
    {"unace-tests-v1/zdir.ace", ""},  // solid, empty folders and files
    {"unace-tests-v1/ZGFX2.ace", ""}, // solid, matches across members
    {"unace-tests-v1/multivolume.ace", ""},
    {"unace-tests-v1/passwd.ace", "pass"},
    {"unace-tests-v1/dirtraversal1.ace", ""},
    {"unace-tests-v1/dirtraversal2.ace", ""},
    {"unace-tests-v2/dir2.ace", ""}, // ACE 2.0: LZ77, EXE, SOUND_16, solid
    {"unace-tests-v2/passwd2.ace", "1234"},
    {"synthetic/exe0_0.ace", ""},
    {"synthetic/exe0_1.ace", ""},
    {"synthetic/exe0_2.ace", ""},
    {"synthetic/pic1_0.ace", ""},
    {"synthetic/pic1_1.ace", ""},
    {"synthetic/pic1_2.ace", ""},
    {"synthetic/pic2_0.ace", ""},
    {"synthetic/pic2_1.ace", ""},
    {"synthetic/pic2_2.ace", ""},
    {"synthetic/pic3_0.ace", ""},
    {"synthetic/pic3_1.ace", ""},
    {"synthetic/pic3_2.ace", ""},
    {"synthetic/prefixed_onefile.exe", ""}, // SFX-style stub with a decoy signature
    {"synthetic/snd3_0.ace", ""},
    {"synthetic/snd3_1.ace", ""},
    {"synthetic/snd3_2.ace", ""},
    {"synthetic/snd4_0.ace", ""},
    {"synthetic/snd4_1.ace", ""},
    {"synthetic/snd4_2.ace", ""},
    {"synthetic/snd5_0.ace", ""},
    {"synthetic/snd5_1.ace", ""},
    {"synthetic/snd5_2.ace", ""},
    {"synthetic/snd6_0.ace", ""},
    {"synthetic/snd6_1.ace", ""},
    {"synthetic/snd6_2.ace", ""},
};

const char* const kMalformed[] = {"unace-tests-v1/out_of_bounds.ace"};

void expectMatches(const std::vector<ExpectedMember>& expected, const WalkResult& walked) {
    ASSERT_EQ(walked.open, Status::Ok);
    EXPECT_EQ(walked.end, Status::EndOfArchive);
    ASSERT_EQ(walked.entries.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const ExpectedMember& want = expected[i];
        const WalkedEntry& got = walked.entries[i];
        SCOPED_TRACE(want.name);
        EXPECT_EQ(got.name, want.name);
        EXPECT_EQ(got.isDirectory, want.isDirectory);
        EXPECT_EQ(got.status, Status::Ok) << describe(got.status);
        if (!want.isDirectory) {
            EXPECT_EQ(got.size, want.size);
            EXPECT_EQ(got.crc, want.crc);
            EXPECT_EQ(got.md5, want.md5);
        }
    }
}

class SampleArchive : public testing::TestWithParam<Sample> {};

TEST_P(SampleArchive, EveryMemberDecodesToTheListedBytes) {
    SKIP_WITHOUT_SAMPLES();
    const auto expected = loadExpected();
    const auto it = expected.find(GetParam().path);
    ASSERT_NE(it, expected.end()) << "no expectation listed";
    FileVolumeProvider volumes(sampleDir() + "/" + GetParam().path);
    expectMatches(it->second, walkArchive(volumes, GetParam().password));
}

std::string sampleName(const testing::TestParamInfo<Sample>& info) {
    std::string name = info.param.path;
    std::replace_if(
        name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Samples, SampleArchive, testing::ValuesIn(kSamples), sampleName);

TEST(SampleArchives, EveryListedArchiveIsCovered) {
    SKIP_WITHOUT_SAMPLES();
    std::set<std::string> covered(std::begin(kMalformed), std::end(kMalformed));
    for (const Sample& s : kSamples) {
        covered.insert(s.path);
    }
    for (const auto& [archive, members] : loadExpected()) {
        EXPECT_TRUE(covered.count(archive)) << archive;
    }
}

TEST(SampleArchives, MalformedSamplesFailCleanly) {
    SKIP_WITHOUT_SAMPLES();
    for (const char* path : kMalformed) {
        SCOPED_TRACE(path);
        FileVolumeProvider volumes(sampleDir() + "/" + path);
        const WalkResult walked = walkArchive(volumes, "pass");
        EXPECT_TRUE(walked.open != Status::Ok || walked.end == Status::Corrupt);
        for (const auto& entry : walked.entries) {
            EXPECT_NE(entry.status, Status::Ok);
        }
    }
}

TEST(SampleArchives, SplitMemberReportsTheWholeEntry) {
    SKIP_WITHOUT_SAMPLES();
    FileVolumeProvider volumes(sampleDir() + "/unace-tests-v1/multivolume.ace");
    Archive archive(volumes);
    ASSERT_EQ(archive.open(), Status::Ok);
    EXPECT_TRUE(archive.info().multiVolume);
    while (archive.nextEntry() == Status::Ok && archive.entry().rawName != "aclocal\\libtool.m4") {
    }
    ASSERT_EQ(archive.entry().rawName, "aclocal\\libtool.m4");
    // The first segment's header holds the CRC of a prefix only; the entry must carry the final one.
    EXPECT_EQ(archive.entry().crc, 0xbdbb0c4bu);
    EXPECT_EQ(archive.entry().firstVolume, 0u);
    EXPECT_EQ(archive.entry().lastVolume, 1u);
    EXPECT_TRUE(archive.entry().complete);
}

TEST(SampleArchives, MissingVolumeEndsTheWalkAtTheSplitEntry) {
    SKIP_WITHOUT_SAMPLES();
    auto volumes = readVolumes(sampleDir() + "/unace-tests-v1/multivolume.ace");
    ASSERT_EQ(volumes.size(), 3u);
    volumes.pop_back();
    auto provider = memoryVolumes(volumes);
    const WalkResult walked = walkArchive(provider);
    ASSERT_FALSE(walked.entries.empty());
    // The entry that continues into the missing volume is still listed, but cannot be extracted.
    EXPECT_EQ(walked.entries.back().name, "aclocal/ltargz.m4");
    EXPECT_EQ(walked.entries.back().status, Status::MissingVolume);
    EXPECT_EQ(walked.end, Status::MissingVolume);
    for (std::size_t i = 0; i + 1 < walked.entries.size(); ++i) {
        EXPECT_EQ(walked.entries[i].status, Status::Ok) << walked.entries[i].name;
    }
}

// The same archive bytes with the main header's flags changed (and its CRC fixed).
std::vector<std::uint8_t> withMainFlags(std::vector<std::uint8_t> bytes, std::uint16_t clear) {
    const std::size_t headSize = bytes[2] | bytes[3] << 8;
    std::uint16_t flags = static_cast<std::uint16_t>(bytes[5] | bytes[6] << 8);
    flags = static_cast<std::uint16_t>(flags & ~clear);
    bytes[5] = static_cast<std::uint8_t>(flags);
    bytes[6] = static_cast<std::uint8_t>(flags >> 8);
    const std::uint16_t crc = aceCrc16(std::span(bytes.data() + 4, headSize));
    bytes[0] = static_cast<std::uint8_t>(crc);
    bytes[1] = static_cast<std::uint8_t>(crc >> 8);
    return bytes;
}

TEST(SampleArchives, PasswordHandling) {
    SKIP_WITHOUT_SAMPLES();
    // passwd.ace is solid; with the solid flag cleared it holds the same single entry.
    const auto solid = readFile(sampleDir() + "/unace-tests-v1/passwd.ace");
    const auto plain = withMainFlags(solid, 0x8000);
    const Sink ignore = [](std::span<const std::uint8_t>) { return true; };

    struct Case {
        const char* label;
        const std::vector<std::uint8_t>* bytes;
        std::vector<std::string> passwords; // tried in turn on the same entry; "" = none set
        std::vector<Status> results;
    };
    const Case cases[] = {
        {"no password: nothing consumed, a retry works",
         &solid,
         {"", "pass"},
         {Status::NeedsPassword, Status::Ok}},
        {"wrong password is detected", &solid, {"1234"}, {Status::BadPassword}},
        {"solid: one attempt only", &solid, {"wrong", "pass"}, {Status::BadPassword, Status::InvalidCall}},
        {"not solid: retry after a wrong password",
         &plain,
         {"wrong", "pass"},
         {Status::BadPassword, Status::Ok}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        MemoryVolumeProvider volumes({{c.bytes->data(), c.bytes->size()}});
        Archive archive(volumes);
        ASSERT_EQ(archive.open(), Status::Ok);
        ASSERT_EQ(archive.nextEntry(), Status::Ok);
        EXPECT_TRUE(archive.entry().encrypted);
        for (std::size_t i = 0; i < c.passwords.size(); ++i) {
            if (c.passwords[i].empty()) {
                archive.clearPassword();
            } else {
                archive.setPassword(c.passwords[i]);
            }
            EXPECT_EQ(archive.extractEntry(ignore), c.results[i]) << i << ": " << archive.errorDetail();
        }
    }
}

TEST(SampleArchives, SolidEntriesPassedOverBreakTheChainButSkippedOnesDoNot) {
    SKIP_WITHOUT_SAMPLES();
    const Sink ignore = [](std::span<const std::uint8_t>) { return true; };
    for (const bool skip : {false, true}) {
        SCOPED_TRACE(skip ? "skipEntry" : "passed over");
        FileVolumeProvider volumes(sampleDir() + "/unace-tests-v1/ZGFX2.ace");
        Archive archive(volumes);
        ASSERT_EQ(archive.open(), Status::Ok);
        ASSERT_TRUE(archive.info().solid);
        int files = 0;
        Status last = Status::Ok;
        while (archive.nextEntry() == Status::Ok) {
            if (archive.entry().isDirectory || archive.entry().originalSize == 0) {
                continue;
            }
            if (++files < 40) {
                if (skip) {
                    ASSERT_EQ(archive.skipEntry(), Status::Ok);
                }
                continue;
            }
            last = archive.extractEntry(ignore);
            break;
        }
        EXPECT_EQ(last, skip ? Status::Ok : Status::SolidChainBroken);
    }
}

TEST(SampleArchives, SinkCanCancel) {
    SKIP_WITHOUT_SAMPLES();
    FileVolumeProvider volumes(sampleDir() + "/unace-tests-v1/ALCHT.ACE");
    Archive archive(volumes);
    ASSERT_EQ(archive.open(), Status::Ok);
    EXPECT_EQ(archive.info().rawComment, "main comment");
    ASSERT_EQ(archive.nextEntry(), Status::Ok);
    EXPECT_FALSE(archive.entry().rawComment.empty());
    EXPECT_EQ(archive.extractEntry([](std::span<const std::uint8_t>) { return false; }), Status::Cancelled);
}

// Archives cut short anywhere: the walk must end with an error or with fewer entries, never crash,
// never hang and never claim the whole content.
TEST(SampleArchives, TruncatedCopiesFailCleanly) {
    SKIP_WITHOUT_SAMPLES();
    const auto expected = loadExpected();
    const Sample archives[] = {{"unace-tests-v1/onefile.ace", ""},    {"unace-tests-v1/zdir.ace", ""},
                               {"unace-tests-v1/passwd.ace", "pass"}, {"unace-tests-v2/dir2.ace", ""},
                               {"synthetic/pic3_1.ace", ""},          {"synthetic/snd5_0.ace", ""}};
    for (const Sample& sample : archives) {
        const auto full = readFile(sampleDir() + "/" + sample.path);
        const std::size_t members = expected.at(sample.path).size();
        for (const double fraction : {0.0, 0.001, 0.01, 0.1, 0.25, 0.5, 0.75, 0.9, 0.99, 0.999}) {
            const auto cut = static_cast<std::size_t>(static_cast<double>(full.size()) * fraction);
            for (const std::size_t size : {cut, full.size() - 1 - cut / 2}) {
                SCOPED_TRACE(std::string(sample.path) + " cut at " + std::to_string(size));
                MemoryVolumeProvider volumes({{full.data(), size}});
                const WalkResult walked = walkArchive(volumes, sample.password);
                const bool allOk = walked.open == Status::Ok && walked.end == Status::EndOfArchive &&
                                   std::all_of(walked.entries.begin(), walked.entries.end(),
                                               [](const WalkedEntry& e) { return e.status == Status::Ok; });
                EXPECT_FALSE(allOk && walked.entries.size() == members);
            }
        }
    }
}

// Single flipped bytes all over a few archives. Whatever happens, an entry reported Ok must hold
// exactly the listed bytes: the checksums leave no room for silently wrong output.
TEST(SampleArchives, FlippedBytesNeverGiveWrongData) {
    SKIP_WITHOUT_SAMPLES();
    const auto expected = loadExpected();
    struct Variant {
        Sample sample;
        int positions; // spread evenly over the file
        std::uint8_t mask;
    };
    const Variant variants[] = {
        {{"unace-tests-v1/ALCHT.ACE", ""}, 315, 0x01},       {{"unace-tests-v1/trps.ace", ""}, 200, 0x80},
        {{"unace-tests-v1/passwd.ace", "pass"}, 150, 0x10},  {{"unace-tests-v2/dir2.ace", ""}, 50, 0xFF},
        {{"unace-tests-v2/passwd2.ace", "1234"}, 210, 0x04}, {{"synthetic/pic2_0.ace", ""}, 150, 0x01},
        {{"synthetic/snd6_2.ace", ""}, 150, 0x40},           {{"synthetic/exe0_1.ace", ""}, 150, 0x02},
        {{"unace-tests-v1/zdir.ace", ""}, 60, 0x20},
    };
    for (const Variant& v : variants) {
        const auto original = readFile(sampleDir() + "/" + v.sample.path);
        const auto& members = expected.at(v.sample.path);
        for (int i = 0; i < v.positions; ++i) {
            auto bytes = original;
            const std::size_t at =
                bytes.size() * static_cast<std::size_t>(i) / static_cast<std::size_t>(v.positions);
            bytes[at] ^= v.mask;
            SCOPED_TRACE(std::string(v.sample.path) + " byte " + std::to_string(at));
            MemoryVolumeProvider volumes({{bytes.data(), bytes.size()}});
            const WalkResult walked = walkArchive(volumes, v.sample.password);
            for (const WalkedEntry& got : walked.entries) {
                if (got.status != Status::Ok || got.isDirectory) {
                    continue;
                }
                const auto match = std::find_if(members.begin(), members.end(),
                                                [&](const ExpectedMember& m) { return m.name == got.name; });
                ASSERT_NE(match, members.end()) << "unexpected entry " << got.name;
                EXPECT_EQ(got.md5, match->md5) << got.name;
            }
        }
    }
}

} // namespace
} // namespace brisko::acedec::test

// What keeps large folders and fragmented volumes cheap must never change
// an answer: trees removed in one pass, listings streamed, files opened
// from a listing, folders past the old index and short-name limits, and
// files written into scattered free space.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "fat/engine.h"
#include "fat/engine_fixture.h"

using namespace testsupport;

namespace {

class EngineScale : public EngineFixture {
protected:
    fat::Volume& Object() { return fat::DefaultVolume(); }

    // A tree with long and short names, nested folders, files whose entry
    // sets cross sector boundaries, and an empty folder.
    void MakeTree() {
        ASSERT_EQ(FatMakeDirectory("/tree"), 1);
        ASSERT_EQ(FatMakeDirectory("/tree/sub one"), 1);
        ASSERT_EQ(FatMakeDirectory("/tree/sub one/deeper"), 1);
        ASSERT_EQ(FatMakeDirectory("/tree/EMPTY"), 1);
        for (int i = 0; i < 40; ++i)
            ASSERT_TRUE(WriteWhole("/tree/a rather long file name number " + std::to_string(i) + ".txt",
                                   Pattern(700 + 50 * i, i)));
        ASSERT_TRUE(WriteWhole("/tree/sub one/x.bin", Pattern(9000, 3)));
        ASSERT_TRUE(WriteWhole("/tree/sub one/deeper/y.bin", Pattern(3, 4)));
        ASSERT_TRUE(WriteWhole("/keep.txt", Pattern(500, 5)));
    }
    std::uint32_t FreeClusters() {
        std::uint32_t free_clusters = 0;
        EXPECT_EQ(FatCountFreeClusters(Volume(), &free_clusters), 1);
        return free_clusters;
    }
};

TEST_F(EngineScale, ATreeGoesInOnePassAndLeavesACleanVolume) {
    for (EngineImage kind : {EngineImage::kFat16, EngineImage::kFat32}) {
        SCOPED_TRACE(EngineImageName(kind));
        MountFresh(kind);
        const std::uint32_t free_before = FreeClusters();
        MakeTree();
        ASSERT_EQ(Object().RemoveTree("/tree"), fat::Result::Ok);
        EXPECT_EQ(ListNames("/"), std::vector<std::string>{"keep.txt"});
        EXPECT_EQ(FreeClusters() + 1, free_before);  // keep.txt's cluster
        ExpectFsckClean();
        EXPECT_EQ(MtoolsRead("/keep.txt"), Pattern(500, 5));
        Remount();
        EXPECT_EQ(ListNames("/"), std::vector<std::string>{"keep.txt"});
    }
}

// Refusals found before anything is deleted leave every byte as it was.
TEST_F(EngineScale, ARefusedTreeRemovalChangesNothing) {
    struct Case {
        const char* name;
        std::function<void()> prepare;
        fat::Result expected;
    };
    const auto nothing = [] {};
    const Case cases[] = {
        {"a hidden entry inside",
         [this] {
             ASSERT_EQ(testsupport::Run("mattrib -i " + Quote(image) + " +h " + Quote("::/tree/sub one/x.bin"))
                           .exit_code,
                       0);
             Remount();
         },
         fat::Result::NotEmpty},
        {"a file of the tree open", nothing, fat::Result::Busy},
        {"a folder looping back to the tree",
         [this] {
             FatEntryInfo tree{}, deeper{};
             ASSERT_EQ(FatLookupEntry("/tree", &tree), 1);
             ASSERT_EQ(FatLookupEntry("/tree/sub one/deeper", &deeper), 1);
             // "deeper" now starts where "tree" does.
             FatVolume& v = Volume();
             FatDirChain chain;
             std::uint32_t absolute = 0;
             FatDirChainBegin(v, &chain, deeper.location.parent_cluster);
             ASSERT_EQ(FatDirSectorNumber(v, &chain, deeper.location.entry_sector, &absolute), FatDirStatus::kOk);
             auto sector = ReadSector(image, absolute);
             std::uint8_t* entry = &sector[deeper.location.entry_slot * kFatEntrySize];
             FatSetEntryFirstCluster(entry, tree.first_cluster);
             WriteSector(image, absolute, sector);
             Remount();
         },
         fat::Result::Damaged},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MountFresh(EngineImage::kFat32);
        MakeTree();
        c.prepare();
        if (c.expected == fat::Result::Busy) {
            ASSERT_NE(FatOpenFile("rb", "/tree/sub one/deeper/y.bin"), nullptr);
        }
        const auto before = ReadFileBytes(image);
        EXPECT_EQ(Object().RemoveTree("/tree"), c.expected);
        EXPECT_TRUE(ReadFileBytes(image) == before) << "the volume changed";
        FatResetFiles();
    }
}

// Streamed entries are the listing's, in its order, and each opens from
// its slot; a slot that no longer holds that file refuses.
TEST_F(EngineScale, ListedFilesOpenFromTheirSlots) {
    MountFresh(EngineImage::kFat16);
    MakeTree();
    FatEntryInfoList listed;
    ASSERT_EQ(Object().List("/tree", &listed), fat::Result::Ok);
    std::vector<std::string> streamed;
    ASSERT_EQ(Object().ForEach("/tree", [&](const FatEntryInfo& e) {
                  streamed.emplace_back(e.name);
                  return true;
              }),
              fat::Result::Ok);
    ASSERT_EQ(streamed.size(), listed.size());
    for (std::size_t i = 0; i < listed.size(); ++i) EXPECT_EQ(streamed[i], listed[i].name);
    for (const FatEntryInfo& entry : listed) {
        if (entry.is_directory) continue;
        FatFile* file = nullptr;
        ASSERT_EQ(Object().OpenListed(entry.location, &file), fat::Result::Ok) << entry.name;
        std::vector<std::uint8_t> data(file->size);
        std::uint32_t done = 0;
        EXPECT_EQ(Object().Read(file, data.data(), file->size, &done), fat::Result::Ok);
        EXPECT_EQ(Object().Close(file), fat::Result::Ok);
        std::vector<std::uint8_t> expected;
        ASSERT_TRUE(ReadWhole(std::string("/tree/") + entry.name, &expected));
        EXPECT_EQ(data, expected) << entry.name;
    }
    const FatEntryInfo gone = listed.back();
    ASSERT_EQ(Object().Delete(std::string("/tree/") + gone.name), fat::Result::Ok);
    FatFile* file = nullptr;
    EXPECT_EQ(Object().OpenListed(gone.location, &file), fat::Result::NotFound);
}

// Ten thousand names with one stem: past the old limit of numeric tails
// and of the name index's tables. Every name gets a short name of its own.
TEST_F(EngineScale, AFolderOfTenThousandNamesWithOneStem) {
    MountFresh(EngineImage::kFat32);
    ASSERT_EQ(FatMakeDirectory("/many"), 1);
    constexpr int kFiles = 10050;
    for (int i = 0; i < kFiles; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "/many/photograph %05d.jpeg", i);
        FatFile* file = FatOpenFile("wb", name);
        ASSERT_NE(file, nullptr) << name;
        FatCloseFile(file);
    }
    // A new name still takes no pass over the folder: a handful of reads.
    CountingDevice* device = MountCounted();
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(FatMakeDirectory("/many/first"), 1);  // builds the index once
    device->Reset();
    for (int i = 0; i < 20; ++i) {
        FatFile* file = FatOpenFile("wb", ("/many/later " + std::to_string(i) + ".jpeg").c_str());
        ASSERT_NE(file, nullptr);
        FatCloseFile(file);
    }
    EXPECT_LT(device->reads, 200u);
    std::set<std::string> short_names;
    FatEntryInfoList entries;
    ASSERT_EQ(Object().List("/many", &entries), fat::Result::Ok);
    for (const auto& entry : entries)
        EXPECT_TRUE(short_names.insert(std::string(entry.location.short_name, entry.location.short_name + 11)).second)
            << entry.name;
    EXPECT_EQ(entries.size(), kFiles + 21u + 2u);
    ExpectFsckClean();
}

// A file written into one-cluster holes spread over far more FAT sectors
// than the cache holds: the chain is walked once, not once per transfer.
TEST_F(EngineScale, AFileInScatteredHolesIsWalkedOnce) {
    MountFresh(EngineImage::kFat32);
    // Every cluster but each 16th is taken (FAT entries marked end of chain
    // directly: the test needs the layout, not the files).
    const std::uint32_t first = 3, span = 16 * 1100;
    for (std::uint32_t c = first; c < first + span; ++c) {
        if (c % 16 != 0) {
            ASSERT_EQ(FatSetClusterEntry(Volume(), c, kFatEndOfChain), 1);
        }
    }
    ASSERT_EQ(FatFlushCache(Volume()), 1);
    CountingDevice* device = MountCounted();
    ASSERT_NE(device, nullptr);
    const auto data = Pattern(1000 * 512 + 100, 9);
    device->Reset();
    ASSERT_TRUE(WriteWhole("/scattered.bin", data, "wb"));
    // About one read per FAT sector the chain crosses, not one per transfer.
    EXPECT_LT(device->reads, 400u);
    std::vector<std::uint8_t> back;
    ASSERT_TRUE(ReadWhole("/scattered.bin", &back));
    EXPECT_EQ(back, data);
    FatEntryInfo info{};
    ASSERT_EQ(FatLookupEntry("/scattered.bin", &info), 1);
    const auto chain = Chain(info.first_cluster);
    ASSERT_EQ(chain.size(), 1001u);
    for (std::uint32_t c : chain) EXPECT_EQ(c % 16, 0u) << c;
}

}  // namespace

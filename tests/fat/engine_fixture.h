// A mounted mkfs.fat image for the engine's directory and file tests, with
// helpers to write and read whole files and to look at the raw image.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fat/fat.h"
#include "fat/volume_fixture.h"
#include "support/pattern.h"
#include "support/test_support.h"

enum class EngineImage { kFat16, kFat32 };

inline const char* EngineImageName(EngineImage kind) { return kind == EngineImage::kFat16 ? "Fat16" : "Fat32"; }

class EngineFixture : public VolumeFixture {
protected:
    // A fresh image of the given kind; extra mkfs.fat options may shape it.
    void MountFresh(EngineImage kind, const std::string& extra = "") {
        image = testsupport::ScratchDir() + "/v.img";
        if (kind == EngineImage::kFat16)
            testsupport::MakeFatImage(image, 32u << 20, "-F 16 " + extra);
        else
            testsupport::MakeFatImage(image, 40u << 20, "-F 32 -s 1 " + extra);
        ASSERT_EQ(Mount(image), kFatMountOk);
        ASSERT_EQ(Volume().is_fat32, kind == EngineImage::kFat32 ? 1u : 0u);
    }
    void MountImage(const std::string& path) {
        image = path;
        ASSERT_EQ(Mount(image), kFatMountOk);
    }
    // Drops the engine's state and mounts the image again, as a new session would.
    void Remount() { ASSERT_EQ(Mount(image), kFatMountOk); }

    bool WriteWhole(const std::string& path, const std::vector<std::uint8_t>& data, const char* mode = "wb") {
        FatFile* file = FatOpenFile(mode, path.c_str());
        if (!file) return false;
        const int written = FatWriteFile(file, data.data(), static_cast<std::uint32_t>(data.size()));
        FatCloseFile(file);
        return written == static_cast<int>(data.size());
    }
    bool ReadWhole(const std::string& path, std::vector<std::uint8_t>* data) {
        FatFile* file = FatOpenFile("rb", path.c_str());
        if (!file) return false;
        data->assign(file->size, 0);
        const int read = file->size ? FatReadFile(file, file->size, data->data()) : 0;
        FatCloseFile(file);
        return read == static_cast<int>(data->size());
    }

    void ExpectFsckClean() {
        testsupport::RunResult r = testsupport::Fsck(image);
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    }
    // What mtools copies out of the image for a path ("::/a/b").
    std::vector<std::uint8_t> MtoolsRead(const std::string& path) {
        const std::string out = image + ".mtools-out";
        std::remove(out.c_str());
        testsupport::RunResult r =
            testsupport::Run("mcopy -n -i " + testsupport::Quote(image) + " " + testsupport::Quote("::" + path) +
                             " " + testsupport::Quote(out));
        EXPECT_EQ(r.exit_code, 0) << r.err;
        return testsupport::ReadFileBytes(out);
    }
    std::string MtoolsDir(const std::string& path) {
        testsupport::RunResult r = testsupport::Run("LC_ALL=C.UTF-8 mdir -i " + testsupport::Quote(image) + " " +
                                                    testsupport::Quote("::" + path));
        return r.out;
    }

    std::vector<std::string> ListNames(const char* path) {
        FatEntryInfoList list;
        FatListDirectory(list, path);
        std::vector<std::string> names;
        for (const auto& info : list) names.emplace_back(info.name);
        return names;
    }

    // Absolute sector of directory sector `index` (root: start cluster 0 on FAT16).
    std::uint32_t DirSector(std::uint32_t start, std::uint32_t index = 0) {
        FatDirChain chain;
        FatDirChainBegin(Volume(), &chain, start);
        std::uint32_t sector = 0;
        EXPECT_EQ(FatDirSectorNumber(Volume(), &chain, index, &sector), FatDirStatus::kOk);
        return sector;
    }
    std::vector<std::uint8_t> RootSector(std::uint32_t index = 0) {
        return testsupport::ReadSector(image, DirSector(Volume().root_cluster, index));
    }
    std::uint32_t RawFatEntry(std::uint32_t cluster) {
        const FatVolume& v = Volume();
        const std::uint32_t per = v.is_fat32 ? 128 : 256;
        auto sector = testsupport::ReadSector(image, v.first_fat_sector + cluster / per);
        const std::uint8_t* p = &sector[(cluster % per) * (v.is_fat32 ? 4 : 2)];
        return v.is_fat32 ? FatLoad32(p) : FatLoad16(p);
    }
    std::vector<std::uint32_t> Chain(std::uint32_t first) {
        std::vector<std::uint32_t> chain;
        for (std::uint32_t c = first; FatIsDataCluster(Volume(), c) && chain.size() < 100000;
             c = FatNextCluster(Volume(), c))
            chain.push_back(c);
        return chain;
    }

    std::string image;
};

using testsupport::Pattern;

// The preset name store: hostile names survive a restart, the file is replaced whole or not at
// all, damage costs only the damaged lines, and a failed write loses nothing in memory.
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "host/onvif/PresetNames.h"

using k47host::onvif::PresetNames;

namespace {

class PresetNamesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "/preset_names_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/names";
    }
    void TearDown() override {
        for (const std::string& name : Entries(dir_))
            ::unlink((dir_ + "/" + name).c_str());
        ::rmdir(dir_.c_str());
    }
    static std::set<std::string> Entries(const std::string& dir) {
        std::set<std::string> names;
        if (DIR* d = ::opendir(dir.c_str())) {
            while (dirent* e = ::readdir(d))
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                    names.insert(e->d_name);
            ::closedir(d);
        }
        return names;
    }
    void WriteFile(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
    // A fresh store read back from the file, as after a restart.
    std::unique_ptr<PresetNames> Reloaded(std::string* warning = nullptr) {
        auto store = std::make_unique<PresetNames>(path_);
        std::string error, ignored;
        EXPECT_TRUE(store->Load(&error, warning ? warning : &ignored)) << error;
        return store;
    }

    std::string dir_, path_;
};

TEST_F(PresetNamesTest, HostileNamesRoundTripThroughTheFile) {
    const std::string camera = "Lobby\tcam %41\n2";
    const std::map<unsigned, std::string> names = {{0, ""},
                                                   {1, "tab\there"},
                                                   {2, "new\nline\r\n"},
                                                   {3, "100% sure %2"},
                                                   {4, "  spaced "},
                                                   {5, "Überblick 東京"},
                                                   {6, std::string("nul\0in", 6)},
                                                   {4294967295u, "%"}};
    PresetNames store(path_);
    std::string error;
    for (const auto& [number, name] : names)
        ASSERT_TRUE(store.Set(camera, number, name, &error)) << error;
    ASSERT_TRUE(store.Set("", 7, "unnamed camera", &error)) << error;
    EXPECT_EQ(store.Of(camera), names);

    std::string warning;
    auto reloaded = Reloaded(&warning);
    EXPECT_EQ(warning, "");
    EXPECT_EQ(reloaded->Of(camera), names);
    EXPECT_EQ(reloaded->Of(""), (std::map<unsigned, std::string>{{7, "unnamed camera"}}));
    EXPECT_TRUE(reloaded->Of("Lobby").empty());
    // One line per preset: no name's newline leaks into the file.
    std::ifstream file(path_);
    size_t lines = 0;
    for (std::string line; std::getline(file, line);)
        ++lines;
    EXPECT_EQ(lines, names.size() + 1);
}

TEST_F(PresetNamesTest, CamerasAreKeptApartAndRemovePersists) {
    PresetNames store(path_);
    std::string error;
    ASSERT_TRUE(store.Set("A", 1, "door", &error));
    ASSERT_TRUE(store.Set("B", 1, "gate", &error));
    ASSERT_TRUE(store.Set("B", 2, "yard", &error));
    ASSERT_TRUE(store.Set("B", 2, "yard east", &error));  // renamed, not added
    ASSERT_TRUE(store.Remove("B", 1, &error));
    EXPECT_TRUE(store.Remove("B", 9, &error));  // not there: nothing to do
    EXPECT_EQ(Reloaded()->Of("A"), (std::map<unsigned, std::string>{{1, "door"}}));
    EXPECT_EQ(Reloaded()->Of("B"), (std::map<unsigned, std::string>{{2, "yard east"}}));
    ASSERT_TRUE(store.Remove("A", 1, &error));
    EXPECT_TRUE(Reloaded()->Of("A").empty());
    EXPECT_EQ(Reloaded()->Of("B").size(), 1u);
    EXPECT_EQ(Entries(dir_), std::set<std::string>{"names"});  // no temp file left behind
}

TEST_F(PresetNamesTest, AFailedWriteKeepsTheNameAndLeavesNoTempFile) {
    std::string error;
    PresetNames noFolder(dir_ + "/missing/names");
    EXPECT_FALSE(noFolder.Set("A", 1, "door", &error));
    EXPECT_NE(error, "");
    EXPECT_EQ(noFolder.Of("A"), (std::map<unsigned, std::string>{{1, "door"}}));

    // The target is a folder: the temp file is written, the rename fails, the temp file must go.
    ASSERT_EQ(::mkdir(path_.c_str(), 0700), 0);
    PresetNames blocked(path_);
    error.clear();
    EXPECT_FALSE(blocked.Set("A", 1, "door", &error));
    EXPECT_NE(error, "");
    EXPECT_EQ(blocked.Of("A").at(1), "door");
    EXPECT_EQ(Entries(dir_), std::set<std::string>{"names"});
    ::rmdir(path_.c_str());

    PresetNames memoryOnly("");
    EXPECT_TRUE(memoryOnly.Set("A", 1, "door", &error));
    EXPECT_EQ(memoryOnly.Of("A").at(1), "door");
}

TEST_F(PresetNamesTest, DamagedLinesAreSkippedAndTheRestKept) {
    WriteFile(
        "A\t1\tdoor\n"
        "no tabs at all\n"         // 2
        "A\tx1\tbad number\n"      // 3
        "A\t-2\tnegative\n"        // 4
        "A\t99999999999\tlarge\n"  // 5
        "A\t3\tbad%G1escape\n"     // 6
        "A\t4\traw space\n"        // 7
        "A\t5\tcut%4\n"            // 8
        "A\t6\tone\textra\n"       // 9
        "B%20C\t2\tgate%09one\n"
        "\n");  // blank: not damage
    std::string warning;
    auto store = Reloaded(&warning);
    EXPECT_EQ(store->Of("A"), (std::map<unsigned, std::string>{{1, "door"}}));
    EXPECT_EQ(store->Of("B C"), (std::map<unsigned, std::string>{{2, "gate\tone"}}));
    EXPECT_TRUE(warning.ends_with(": damaged line(s) skipped: 2, 3, 4, 5, 6, 7, 8, 9")) << warning;
}

TEST_F(PresetNamesTest, MissingUnreadableAndOversizedFiles) {
    std::string error, warning;
    PresetNames missing(path_);
    EXPECT_TRUE(missing.Load(&error, &warning));
    EXPECT_TRUE(missing.Of("A").empty());
    EXPECT_EQ(error + warning, "");
    EXPECT_TRUE(Entries(dir_).empty());  // loading creates nothing

    ASSERT_EQ(::mkdir(path_.c_str(), 0700), 0);  // exists, cannot be read as a file
    EXPECT_FALSE(PresetNames(path_).Load(&error, &warning));
    EXPECT_NE(error, "");
    ::rmdir(path_.c_str());

    std::string line = "A\t1\tdoor\n";
    std::string text;
    while (text.size() <= k47host::onvif::kMaxPresetNamesFileBytes)
        text += line;
    WriteFile(text);
    error.clear();
    PresetNames oversized(path_);
    EXPECT_FALSE(oversized.Load(&error, &warning));
    EXPECT_NE(error.find("larger"), std::string::npos) << error;
}

}  // namespace

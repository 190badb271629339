#include <gtest/gtest.h>
#include <stdio.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/WindowMessages.h"
#include "platform/MessageTarget.h"
#include "platform/PlainMessageLoop.h"
#include "support/TempDir.h"
#include "upload/CalcShaResult.h"
#include "upload/ComputeShaHandler.h"
#include "upload/ComputeShaMgr.h"

namespace fs = std::filesystem;
using zorp::test::TempDir;
using zorp::test::WriteFile;

namespace {

std::string RunCommand(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        return out;
    }
    std::array<char, 256> buffer{};
    while (fgets(buffer.data(), buffer.size(), pipe)) {
        out += buffer.data();
    }
    ::pclose(pipe);
    return out;
}

// The server's hash worked out with coreutils instead of our code: split into 128 KiB blocks,
// hash each, sort the hex digests, hash their concatenation, append the size.
std::string ReferenceHash(const fs::path& file) {
    std::string script =
        "cd \"$(mktemp -d)\" && split -b 131072 -a 6 '" + file.string() +
        "' part. && sha256sum part.* | cut -c1-64 | sort | tr -d '\\n' | sha256sum | cut -c1-64 "
        "| tr -d '\\n'; stat -c %s '" + file.string() + "'";
    std::string out = RunCommand(script);
    while (!out.empty() && (out.back() == '\n')) {
        out.pop_back();
    }
    return out;
}

std::string Hash(const fs::path& path, int64_t* size = nullptr) {
    std::string hash;
    int64_t found = -1;
    ComputeShaHandler::GenerateQuorvaFileHash(path, hash, found, nullptr);
    if (size) {
        *size = found;
    }
    return hash;
}

std::string Pattern(size_t size, char seed) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        s[i] = static_cast<char>(seed + (i * 7 % 251));
    }
    return s;
}

}  // namespace

TEST(FileHashTest, MatchesTheReferenceAtBlockBoundaries) {
    TempDir dir;
    // Blocks are read several at a time: sizes around one read (1 MiB) as well, and sizes that
    // are read ahead on a second thread (from 4 MiB, when a core is free).
    for (size_t size : {size_t(1), size_t(131071), size_t(131072), size_t(131073), size_t(400000),
                        size_t(1048575), size_t(1048576), size_t(1048577), size_t(2500000),
                        size_t(4 << 20), size_t((9 << 20) + 131073)}) {
        auto file = dir / ("f" + std::to_string(size));
        WriteFile(file, Pattern(size, 'a'));
        int64_t found = 0;
        std::string hash = Hash(file, &found);
        EXPECT_EQ(found, static_cast<int64_t>(size));
        EXPECT_EQ(hash, ReferenceHash(file)) << "size " << size;
        EXPECT_EQ(hash.size(), 64 + std::to_string(size).size());
        EXPECT_EQ(hash.find_first_not_of("0123456789abcdef"), std::string::npos);
    }
}

TEST(FileHashTest, BlockOrderDoesNotMatterButOneByteDoes) {
    TempDir dir;
    std::string a = Pattern(131072, 'a'), b = Pattern(131072, 'q');
    WriteFile(dir / "ab", a + b);
    WriteFile(dir / "ba", b + a);
    std::string changed = a + b;
    changed[200000] ^= 1;
    WriteFile(dir / "changed", changed);
    EXPECT_EQ(Hash(dir / "ab"), Hash(dir / "ba"));
    EXPECT_NE(Hash(dir / "ab"), Hash(dir / "changed"));
}

TEST(FileHashTest, EmptyMissingAndFolderGiveNoHashAndSizeZero) {
    TempDir dir;
    WriteFile(dir / "empty", "");
    for (auto path : {dir / "empty", dir / "missing", dir.path()}) {
        int64_t size = -1;
        EXPECT_EQ(Hash(path, &size), "") << path;
        EXPECT_EQ(size, 0) << path;
    }
}

TEST(FileHashTest, SizesPast2GiBGetTheirFullSizeSuffix) {
    TempDir dir;
    auto file = dir / "sparse";
    {
        std::ofstream out(file, std::ios::binary);
    }
    const int64_t size = (int64_t{1} << 31) + 1;
    fs::resize_file(file, static_cast<uintmax_t>(size));
    int64_t found = 0;
    std::string hash = Hash(file, &found);
    EXPECT_EQ(found, size);
    ASSERT_EQ(hash.size(), 64u + 10u);
    EXPECT_EQ(hash.substr(64), "2147483649");
}

TEST(FileHashTest, AFileRewrittenWhileHashedIsHashedAgain) {
    TempDir dir;
    auto file = dir / "moving";
    WriteFile(file, Pattern(300000, 'a'));
    int calls = 0;
    std::string hash;
    int64_t size = 0;
    bool done = ComputeShaHandler::GenerateQuorvaFileHash(file, hash, size, [&] {
        if (++calls == 2) {
            std::ofstream out(file, std::ios::binary | std::ios::app);
            out << "more";
        }
        return true;
    });
    EXPECT_TRUE(done);
    EXPECT_EQ(size, 300004);
    EXPECT_EQ(hash, ReferenceHash(file)) << "the hash must describe the final content";
}

TEST(FileHashTest, ALargeFileCutShortWhileHashedGivesNoHash) {
    TempDir dir;
    auto file = dir / "shrinking";
    WriteFile(file, Pattern(4 << 20, 'a'));
    int calls = 0;
    std::string hash;
    int64_t size = 0;
    ComputeShaHandler::GenerateQuorvaFileHash(file, hash, size, [&] {
        if (++calls == 3) {
            fs::resize_file(file, 200000);
        }
        return true;
    });
    // The read that comes up short gives no hash. When the file had been read ahead to its end
    // before it was cut, the change is seen after the pass and the file is hashed again as it
    // is now. A hash of content that no longer exists would be a lie.
    if (!hash.empty()) {
        EXPECT_EQ(size, 200000);
        EXPECT_EQ(hash, ReferenceHash(file));
    }
}

namespace {

class ResultWindow : public platform::MessageTarget {
public:
    int64_t HandleMessage(platform::Message& message) override {
        if (message.id == WM_CALC_SHA_FINISH) {
            auto* result = message.W<CalcShaResult>();
            results.push_back(result ? *result : CalcShaResult{"<none>", "", -1});
        }
        return 0;
    }
    std::vector<CalcShaResult> results;
};

}  // namespace

TEST(ComputeShaMgrTest, PostsOneResultPerFileAndNoRecordForAStoppedJob) {
    TempDir dir;
    platform::PlainMessageLoop loop;
    ResultWindow window;
    window.Attach();
    ComputeShaMgr manager;
    CalcShaParam param;
    param.window = window.GetHandle();
    param.path = dir / "x";
    EXPECT_FALSE(manager.AddJob(param)) << "no job before start";
    ASSERT_TRUE(manager.Start());

    for (int i = 0; i < 7; ++i) {
        WriteFile(dir / std::to_string(i), Pattern(1000 + i, 'a'));
        param.path = dir / std::to_string(i);
        ASSERT_TRUE(manager.AddJob(param));
    }
    ASSERT_TRUE(loop.RunUntil([&] { return window.results.size() == 7; }, 10000));
    for (const auto& result : window.results) {
        EXPECT_EQ(result.hash, ReferenceHash(result.path));
    }

    auto big = dir / "big";
    {
        std::ofstream out(big, std::ios::binary);
    }
    fs::resize_file(big, uintmax_t{8} << 30);  // far longer than the test waits
    param.path = big;
    ASSERT_TRUE(manager.AddJob(param));
    loop.RunFor(200);
    manager.Stop();
    ASSERT_TRUE(loop.RunUntil([&] { return window.results.size() == 8; }, 5000));
    EXPECT_EQ(window.results.back().size, -1) << "a stopped job posts no record";
    EXPECT_FALSE(manager.AddJob(param)) << "no job after stop";
}

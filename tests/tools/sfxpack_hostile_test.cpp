// sfxpack fed files it did not make, and outputs it must not or cannot write.
// Every case ends with one clear line on stderr, exit 1, and no new file.
#include <sys/resource.h>

#include "support/cli_fixture.h"

namespace {

constexpr size_t OFFSET = 32768;

bool is_root() { return geteuid() == 0; }

bool one_line_naming(const ToolRun &run, const std::string &what) {
    return run.exit_code == 1 && run.err.find(what) != std::string::npos &&
           std::count(run.err.begin(), run.err.end(), '\n') == 1;
}

// 'count' bytes of text, as a payload and as a packed executable.
struct Sample {
    Bytes data, payload, packed;
};

class SfxpackHostile : public CliTest {
  protected:
    Sample make_sample(size_t count);
};

Sample SfxpackHostile::make_sample(size_t count) {
    Sample sample;
    for (size_t i = 0; i < count; i++)
        sample.data.push_back((uint8_t)("hostile input "[i % 14] + i / 997));
    spit(path("data.bin"), sample.data);
    spit(path("loader.exe"), fake_pe(4096));
    EXPECT_EQ(sfxpack("encode data.bin -o data.payload").exit_code, 0);
    EXPECT_EQ(sfxpack("pack data.bin --loader loader.exe -o packed.exe").exit_code, 0);
    sample.payload = slurp_bytes(path("data.payload"));
    sample.packed = slurp_bytes(path("packed.exe"));
    for (const char *name : {"data.bin", "loader.exe", "data.payload", "packed.exe"})
        std::filesystem::remove(path(name));
    return sample;
}

TEST_F(SfxpackHostile, EmptyDirectoryAndUnreadableInputsAreRefused) {
    spit(path("empty"), {});
    std::filesystem::create_directory(path("folder"));
    std::vector<std::string> inputs{"empty", "folder", "/proc/self/mem"}; // the last fails with EIO
    if (!is_root()) {
        spit(path("locked"), {1, 2, 3, 4});
        std::filesystem::permissions(path("locked"), std::filesystem::perms::none);
        inputs.push_back("locked");
    }
    std::vector<std::string> before = files();
    for (const std::string &input : inputs) {
        for (const std::string &command : {"decode " + input + " -o out", "unpack " + input + " -o out",
                                           "info " + input, "info --json " + input}) {
            ToolRun run = sfxpack(command);
            EXPECT_TRUE(one_line_naming(run, input)) << command << ": " << run.exit_code << " " << run.err;
            EXPECT_EQ(files(), before) << command;
        }
    }
}

TEST_F(SfxpackHostile, OutputsThatCannotBeWrittenLeaveNothing) {
    Sample sample = make_sample(5000);
    spit(path("in.payload"), sample.payload);
    std::string read_only = "/proc"; // root may write anywhere else
    if (!is_root()) {
        std::filesystem::create_directory(path("ro"));
        std::filesystem::permissions(path("ro"), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
        read_only = path("ro");
    }
    std::vector<std::string> before = files();
    for (const std::string &output : {path("missing/out.bin"), read_only + "/out.bin"}) {
        for (const char *command : {"decode in.payload -o ", "encode in.payload -o "}) {
            ToolRun run = sfxpack(std::string(command) + output);
            EXPECT_TRUE(one_line_naming(run, output)) << command << output << ": " << run.err;
        }
    }
    EXPECT_EQ(files(), before);
    if (!is_root()) {
        EXPECT_TRUE(std::filesystem::is_empty(read_only));
    }
}

TEST_F(SfxpackHostile, OutputThatWouldOverwriteTheInputIsRefused) {
    Sample sample = make_sample(5000);
    spit(path("in.payload"), sample.payload);
    spit(path("packed.exe"), sample.packed);
    spit(path("loader.exe"), fake_pe(4096));
    std::filesystem::create_hard_link(path("in.payload"), path("hard.payload"));
    std::filesystem::create_symlink(path("packed.exe"), path("link.exe"));
    std::vector<std::string> before = files();
    for (const char *command :
         {"decode in.payload -o in.payload", "decode in.payload -o ./in.payload", "decode in.payload -o hard.payload",
          "encode in.payload -o hard.payload", "unpack packed.exe -o link.exe",
          "pack in.payload --loader loader.exe -o in.payload", "pack in.payload --loader link.exe -o packed.exe"}) {
        ToolRun run = sfxpack(command);
        EXPECT_TRUE(one_line_naming(run, "overwrite the input")) << command << ": " << run.err;
    }
    EXPECT_EQ(files(), before);
    EXPECT_EQ(slurp_bytes(path("in.payload")), sample.payload);
    EXPECT_EQ(slurp_bytes(path("packed.exe")), sample.packed);
}

TEST_F(SfxpackHostile, PackedFilesCutAnywhereAreRefused) {
    Sample sample = make_sample(20000);
    size_t end = sample.packed.size();
    for (size_t cut : {(size_t)0, (size_t)1, (size_t)63, (size_t)64, (size_t)300, (size_t)4096, OFFSET - 1, OFFSET,
                       OFFSET + 1, OFFSET + 2, OFFSET + 3, OFFSET + 4, OFFSET + 5, (OFFSET + end) / 2, end - 1}) {
        spit(path("cut.exe"), Bytes(sample.packed.begin(), sample.packed.begin() + (long)cut));
        std::string at = " (cut at " + std::to_string(cut) + ")";
        ToolRun unpack = sfxpack("unpack cut.exe -o out.exe");
        EXPECT_TRUE(one_line_naming(unpack, "cut.exe")) << unpack.err << at;
        // Below the PE headers a file is taken as a bare payload, and damaged.
        ToolRun info = sfxpack("info cut.exe");
        EXPECT_TRUE(one_line_naming(info, "cut.exe")) << info.err << at;
        EXPECT_EQ(files(), std::vector<std::string>{"cut.exe"}) << at;
    }
}

TEST_F(SfxpackHostile, MaxSizeRefusesBeforeWritingAnything) {
    Sample sample = make_sample(10000);
    spit(path("in.payload"), sample.payload);
    spit(path("packed.exe"), sample.packed);
    spit(path("out.bin"), {'o', 'l', 'd'});
    for (const char *command : {"decode in.payload -o out.bin --max-size 9999",
                                "unpack packed.exe -o out.bin --max-size 9999"}) {
        ToolRun run = sfxpack(command);
        EXPECT_TRUE(one_line_naming(run, "--max-size")) << command << ": " << run.err;
        EXPECT_EQ(slurp(path("out.bin")), "old");
    }
    EXPECT_EQ(sfxpack("decode in.payload -o out.bin --max-size 10000").exit_code, 0);
    EXPECT_EQ(slurp_bytes(path("out.bin")), sample.data);

    // A count far beyond the data is refused by the limit, not decoded first.
    Bytes lying = sample.payload;
    lying[3] = 0x7F;
    spit(path("lying.payload"), lying);
    ToolRun refused = sfxpack("decode lying.payload -o big.bin");
    EXPECT_TRUE(one_line_naming(refused, "--max-size")) << refused.err;
    EXPECT_FALSE(std::filesystem::exists(path("big.bin")));

    ToolRun help = sfxpack("decode --help");
    EXPECT_NE(help.out.find("--max-size"), std::string::npos);
    EXPECT_NE(help.out.find("512 MiB"), std::string::npos);
}

TEST_F(SfxpackHostile, HugeCountsDecodeInFixedMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit allows";
#endif
    Sample sample = make_sample(200000);
    Bytes lying = sample.payload;
    lying[0] = lying[1] = lying[2] = 0xFF;
    lying[3] = 0x7F;
    spit(path("lying.payload"), lying);
    // 64 MiB of address space: far below the 2 GiB the count claims.
    if (wrapped())
        GTEST_SKIP() << "a wrapped tool needs more address space than the limit allows";
    ToolRun run = shell("ulimit -v 65536 && " + tool() +
                        " -q decode lying.payload -o big.bin --max-size 4294967296");
    EXPECT_TRUE(one_line_naming(run, "truncated")) << run.err;
    EXPECT_FALSE(std::filesystem::exists(path("big.bin")));
}

} // namespace

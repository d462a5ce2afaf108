#include "support/cli_fixture.h"

namespace {

using SfxpackDecode = CliTest;

TEST_F(SfxpackDecode, ReproducesTheWorkedExamples) {
    const std::pair<Bytes, std::string> examples[] = {
        {{0x03, 0, 0, 0, 0x98, 0x43, 0x10, 0x63}, "abc"},
        {{0x08, 0, 0, 0, 0x98, 0x48, 0x2C, 0x00}, "aaaaaaaa"},
        {{0x09, 0, 0, 0, 0x98, 0x43, 0x10, 0x63, 0xE0, 0x92, 0x00}, "abcabcabc"},
    };
    for (const auto &[payload, decoded] : examples) {
        spit(path("in.payload"), payload);
        ToolRun run = sfxpack("decode " + path("in.payload") + " -o " + path("out.bin"));
        EXPECT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(slurp(path("out.bin")), decoded);
        EXPECT_EQ(files(), (std::vector<std::string>{"in.payload", "out.bin"}));
    }
}

TEST_F(SfxpackDecode, RefusedPayloadsExitOneAndLeaveNoOutput) {
    const std::pair<Bytes, std::string> refused[] = {
        {{0x03, 0, 0, 0, 0x98, 0x43, 0x10}, "truncated"},
        {{0x03}, "truncated"},
        {{0x03, 0}, "truncated"},
        {{0x03, 0, 0}, "truncated"},
        // 'a', then the escape (00) naming 'a' again.
        {{0x02, 0, 0, 0, 0x98, 0x43, 0x08}, "malformed"},
    };
    for (const auto &[payload, reason] : refused) {
        spit(path("bad.payload"), payload);
        ToolRun run = sfxpack("decode " + path("bad.payload") + " -o " + path("out.bin"));
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_NE(run.err.find(reason), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ(files(), std::vector<std::string>{"bad.payload"});
    }
}

TEST_F(SfxpackDecode, ExistingOutputIsUntouchedOnFailure) {
    spit(path("bad.payload"), {0x03, 0, 0, 0, 0x98});
    spit(path("out.bin"), {'k', 'e', 'e', 'p'});
    EXPECT_EQ(sfxpack("decode " + path("bad.payload") + " -o " + path("out.bin")).exit_code, 1);
    EXPECT_EQ(slurp(path("out.bin")), "keep");
}

TEST_F(SfxpackDecode, MissingInputAndUnwritableOutputAreErrors) {
    ToolRun missing = sfxpack("decode " + path("nothing") + " -o " + path("out.bin"));
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_NE(missing.err.find("nothing"), std::string::npos);

    spit(path("in.payload"), {0x03, 0, 0, 0, 0x98, 0x43, 0x10, 0x63});
    ToolRun no_dir = sfxpack("decode " + path("in.payload") + " -o " + path("no/such/out.bin"));
    EXPECT_EQ(no_dir.exit_code, 1);
    EXPECT_EQ(files(), std::vector<std::string>{"in.payload"});
}

TEST_F(SfxpackDecode, UsageHelpAndVersion) {
    ToolRun help = sfxpack("--help");
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("decode"), std::string::npos);
    ToolRun version = sfxpack("--version");
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_NE(version.out.find("sfxpack "), std::string::npos);
    EXPECT_EQ(sfxpack("").exit_code, 2);
    EXPECT_EQ(sfxpack("decode").exit_code, 2);
    EXPECT_EQ(sfxpack("decode a b -o c").exit_code, 2);
    EXPECT_EQ(sfxpack("frobnicate").exit_code, 2);
}

} // namespace

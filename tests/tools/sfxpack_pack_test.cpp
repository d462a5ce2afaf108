#include <nlohmann/json.hpp>

#include "support/cli_fixture.h"

namespace {

using SfxpackPack = CliTest;

Bytes sample_stub() {
    Bytes stub = fake_pe(20000);
    for (int i = 0; i < 30000; i++)
        stub.push_back((uint8_t)("stub program "[i % 13]));
    return stub;
}

constexpr size_t OFFSET = 32768;

TEST_F(SfxpackPack, PackThenUnpackGivesBackTheStub) {
    Bytes loader = fake_pe(9000);
    spit(path("loader.exe"), loader);
    spit(path("stub.exe"), sample_stub());
    for (int level : {1, 6, 9}) {
        std::string l = std::to_string(level);
        ToolRun pack = sfxpack("pack stub.exe -o packed.exe --loader loader.exe -l " + l);
        ASSERT_EQ(pack.exit_code, 0) << pack.err;
        Bytes packed = slurp_bytes(path("packed.exe"));
        ASSERT_GT(packed.size(), OFFSET + 4);
        EXPECT_TRUE(std::equal(loader.begin(), loader.end(), packed.begin()));
        EXPECT_TRUE(std::all_of(packed.begin() + (long)loader.size(), packed.begin() + OFFSET - 36,
                                [](uint8_t b) { return b == 0; }));
        ToolRun unpack = sfxpack("unpack packed.exe -o unpacked.exe");
        ASSERT_EQ(unpack.exit_code, 0) << unpack.err;
        EXPECT_EQ(slurp_bytes(path("unpacked.exe")), sample_stub()) << "level " << level;
    }
}

TEST_F(SfxpackPack, AppendedDataFollowsThePayloadAndInfoReportsIt) {
    spit(path("loader.exe"), fake_pe(4096));
    spit(path("stub.exe"), sample_stub());
    spit(path("extra.bin"), Bytes{'E', 'X', 'T', 'R', 'A'});
    ASSERT_EQ(sfxpack("pack stub.exe -o packed.exe --loader loader.exe --append extra.bin").exit_code, 0);
    sfxpack("encode stub.exe -o stub.payload");
    Bytes payload = slurp_bytes(path("stub.payload"));
    Bytes packed = slurp_bytes(path("packed.exe"));
    ASSERT_EQ(packed.size(), OFFSET + payload.size() + 5);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), packed.begin() + OFFSET));
    EXPECT_EQ(std::string(packed.end() - 5, packed.end()), "EXTRA");

    ToolRun info = sfxpack("info --json packed.exe");
    ASSERT_EQ(info.exit_code, 0) << info.err;
    auto report = nlohmann::json::parse(info.out);
    EXPECT_EQ(report["kind"], "packed executable");
    EXPECT_EQ(report["loader_image_size"], 4096);
    EXPECT_EQ(report["payload_offset"], OFFSET);
    EXPECT_EQ(report["count"], sample_stub().size());
    EXPECT_EQ(report["coded_size"], payload.size());
    EXPECT_EQ(report["appended_size"], 5);
    EXPECT_EQ(report["decodes_cleanly"], true);

    ToolRun text = sfxpack("info stub.payload");
    EXPECT_EQ(text.exit_code, 0);
    EXPECT_NE(text.out.find("bare payload"), std::string::npos);
}

TEST_F(SfxpackPack, RefusesLoadersThatCannotCarryAPayload) {
    spit(path("stub.exe"), sample_stub());
    spit(path("big.exe"), fake_pe(40000));
    spit(path("long.exe"), fake_pe(8000, 40000)); // image fits, file does not
    spit(path("text.txt"), Bytes{'h', 'e', 'l', 'l', 'o'});
    const std::pair<std::string, std::string> refused[] = {
        {"big.exe", "beyond offset 32768"},
        {"long.exe", "already packed"},
        {"text.txt", "not a PE executable"},
        {"missing.exe", "cannot open"},
    };
    for (const auto &[loader, reason] : refused) {
        ToolRun run = sfxpack("pack stub.exe -o out.exe --loader " + loader);
        EXPECT_EQ(run.exit_code, 1) << loader;
        EXPECT_NE(run.err.find(reason), std::string::npos) << run.err;
    }
    EXPECT_EQ(files(), (std::vector<std::string>{"big.exe", "long.exe", "stub.exe", "text.txt"}));
}

TEST_F(SfxpackPack, UnpackAndInfoRefuseFilesWithoutAGoodPayload) {
    spit(path("loader.exe"), fake_pe(4096));
    spit(path("notpe.bin"), Bytes(40000, 1));
    EXPECT_EQ(sfxpack("unpack loader.exe -o out").exit_code, 1);
    EXPECT_EQ(sfxpack("unpack notpe.bin -o out").exit_code, 1);

    Bytes damaged = fake_pe(4096, OFFSET);
    for (uint8_t b : {0x03, 0x00, 0x00, 0x00, 0x98, 0x43})
        damaged.push_back(b);
    spit(path("damaged.exe"), damaged);
    ToolRun unpack = sfxpack("unpack damaged.exe -o out");
    EXPECT_EQ(unpack.exit_code, 1);
    EXPECT_NE(unpack.err.find("truncated"), std::string::npos);
    ToolRun info = sfxpack("info --json damaged.exe");
    EXPECT_EQ(info.exit_code, 1);
    EXPECT_EQ(nlohmann::json::parse(info.out)["decodes_cleanly"], false);
    EXPECT_EQ(files(), (std::vector<std::string>{"damaged.exe", "loader.exe", "notpe.bin"}));
}

TEST_F(SfxpackPack, StandardStreamsAndUsageErrors) {
    spit(path("stub.exe"), sample_stub());
    ToolRun piped = sfxpack("encode - -o - < stub.exe | " + tool() +
                            " decode - -o back.exe");
    EXPECT_EQ(piped.exit_code, 0) << piped.err;
    EXPECT_EQ(slurp_bytes(path("back.exe")), sample_stub());

    EXPECT_EQ(sfxpack("encode stub.exe -o x -l 0").exit_code, 2);
    EXPECT_EQ(sfxpack("encode stub.exe -o x -l 10").exit_code, 2);
    EXPECT_EQ(sfxpack("pack stub.exe").exit_code, 2);
    ToolRun same = sfxpack("encode stub.exe -o stub.exe");
    EXPECT_EQ(same.exit_code, 1);
    EXPECT_NE(same.err.find("overwrite the input"), std::string::npos);
    EXPECT_EQ(slurp_bytes(path("stub.exe")), sample_stub());
}

} // namespace

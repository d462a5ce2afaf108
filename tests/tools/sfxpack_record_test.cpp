// The package record: its layout, what test, unpack and info make of a
// damaged file, and single-bit flips anywhere in payload or appended data.
#include <functional>
#include <nlohmann/json.hpp>

#include "support/cli_fixture.h"

namespace {

constexpr size_t OFFSET = 32768, RECORD = OFFSET - 36;

// Bit by bit, independent of the tool's table.
uint32_t crc32(const uint8_t *p, size_t n) {
    uint32_t c = ~0u;
    while (n--)
        for (int k = (c ^= *p++, 0); k < 8; k++)
            c = c >> 1 ^ (0xEDB88320u & (0u - (c & 1)));
    return ~c;
}
uint32_t crc32(const Bytes &b, size_t at, size_t n) { return crc32(b.data() + at, n); }
uint32_t get32(const Bytes &b, size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | (uint32_t)b[at + 3] << 24; }
void put32(Bytes &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++)
        b[at + i] = (uint8_t)(v >> 8 * i);
}
void reseal(Bytes &b) { put32(b, RECORD + 32, crc32(b, RECORD, 32)); }

class SfxpackRecord : public CliTest {
  protected:
    void SetUp() override {
        CliTest::SetUp();
        stub = fake_pe(20000);
        for (int i = 0; i < 30000; i++)
            stub.push_back((uint8_t)("record test "[i % 12] + i / 4000));
        for (int i = 0; i < 300; i++)
            appended.push_back((uint8_t)(i * 7));
        spit(path("loader.exe"), fake_pe(4096));
        spit(path("stub.exe"), stub);
        spit(path("appended.bin"), appended);
        EXPECT_EQ(sfxpack("pack stub.exe --loader loader.exe --append appended.bin -o packed.exe").exit_code, 0);
        packed = slurp_bytes(path("packed.exe"));
        payload_size = packed.size() - OFFSET - appended.size();
    }
    Bytes stub, appended, packed;
    size_t payload_size = 0;
};

TEST_F(SfxpackRecord, EndsAtThePayloadAndDescribesWhatFollows) {
    ASSERT_EQ(crc32((const uint8_t *)"123456789", 9), 0xCBF43926u); // zlib's check value
    EXPECT_EQ(std::string(packed.begin() + RECORD, packed.begin() + RECORD + 4), "SFXR");
    const std::pair<size_t, uint32_t> fields[] = {
        {4, 1u | 36u << 16}, // version, size
        {8, (uint32_t)stub.size()},          {12, crc32(stub, 0, stub.size())},
        {16, (uint32_t)payload_size},        {20, crc32(packed, OFFSET, payload_size)},
        {24, (uint32_t)appended.size()},     {28, crc32(appended, 0, appended.size())},
        {32, crc32(packed, RECORD, 32)},
    };
    for (const auto &[at, value] : fields)
        EXPECT_EQ(get32(packed, RECORD + at), value) << "field at " << at;

    spit(path("full.exe"), fake_pe(4096, RECORD + 1));
    spit(path("fits.exe"), fake_pe(4096, RECORD));
    ToolRun full = sfxpack("pack stub.exe --loader full.exe -o out.exe");
    EXPECT_EQ(full.exit_code, 1);
    EXPECT_NE(full.err.find("no room for the 36-byte package record"), std::string::npos) << full.err;
    EXPECT_EQ(sfxpack("pack stub.exe --loader fits.exe -o out.exe").exit_code, 0);
}

TEST_F(SfxpackRecord, DamageIsNamedByTestAndRefusedByUnpack) {
    // A code signature: the certificate table after 8-byte padding, named in the headers.
    auto sign = [](Bytes &b) {
        b.resize((b.size() + 7) / 8 * 8, 0);
        put32(b, 0xF4, 16); // directory count
        put32(b, 0x118, (uint32_t)b.size());
        put32(b, 0x11C, 16);
        b.resize(b.size() + 16, 0xCE);
    };
    const struct {
        const char *name;
        std::function<void(Bytes &)> spoil;
        const char *problem; // nullptr: all holds
        bool record;
    } cases[] = {
        {"intact", [](Bytes &) {}, nullptr, true},
        {"signed", sign, nullptr, true},
        {"packed before records", [](Bytes &b) { std::fill_n(b.begin() + RECORD, 36, 0); }, nullptr, false},
        {"record's own check", [](Bytes &b) { b[RECORD + 9] ^= 1; }, "the package record is damaged", false},
        {"newer record", [](Bytes &b) { b[RECORD + 4] = 2, reseal(b); }, "the package record is damaged (or of an unknown version)", false},
        {"cut short", [](Bytes &b) { b.pop_back(); }, "the file is cut short", true},
        {"payload", [&](Bytes &b) { b[OFFSET + payload_size / 2] ^= 4; }, "the payload does not match its CRC-32", true},
        {"appended data", [](Bytes &b) { b.back() ^= 1; }, "the appended data does not match its CRC-32", true},
        {"stub's CRC-32", [](Bytes &b) { b[RECORD + 12] ^= 1, reseal(b); }, "the unpacked stub does not match", true},
    };
    for (const auto &c : cases) {
        Bytes file = packed;
        c.spoil(file);
        spit(path("case.exe"), file);
        std::filesystem::remove(path("out.exe"));
        ToolRun test = sfxpack("test case.exe"), unpack = sfxpack("unpack case.exe -o out.exe"),
                info = sfxpack("info --json case.exe");
        auto report = nlohmann::json::parse(info.out);
        EXPECT_EQ(report["record"], c.record) << c.name;
        EXPECT_EQ(report["verified"], c.record && !c.problem) << c.name;
        EXPECT_EQ(unpack.exit_code, c.problem ? 1 : 0) << c.name << ": " << unpack.err;
        EXPECT_EQ(info.exit_code, unpack.exit_code) << c.name;
        EXPECT_EQ(test.exit_code, unpack.exit_code) << c.name;
        if (c.problem) {
            EXPECT_EQ(test.err, unpack.err) << c.name;
            EXPECT_NE(test.err.find(std::string("case.exe: ") + c.problem), std::string::npos) << c.name << ": " << test.err;
            EXPECT_EQ(std::count(test.err.begin(), test.err.end(), '\n'), 1) << c.name;
            EXPECT_FALSE(std::filesystem::exists(path("out.exe"))) << c.name;
        } else {
            EXPECT_EQ(slurp_bytes(path("out.exe")), stub) << c.name;
            EXPECT_EQ(report["appended_offset"], OFFSET + payload_size) << c.name;
            EXPECT_EQ(report["appended_size"], appended.size() + (c.record ? 0 : file.size() - packed.size())) << c.name;
            EXPECT_EQ(report["signature_size"], file.size() > packed.size() + 7 ? 16 : 0) << c.name;
        }
    }
}

TEST_F(SfxpackRecord, EveryFlippedBitIsRefused) {
    // The count header's bits, then bits spread evenly to the end of the
    // appended data; the payload's last bit (padding the decoder never reads) too.
    std::vector<size_t> bits;
    for (size_t bit = OFFSET * 8; bit < (OFFSET + 4) * 8; bit += 5)
        bits.push_back(bit);
    size_t first = (OFFSET + 4) * 8, last = packed.size() * 8 - 1, samples = wrapped() ? 8 : 48;
    for (size_t i = 0; i < samples; i++)
        bits.push_back(first + (last - first) * i / (samples - 1));
    bits.push_back((OFFSET + payload_size) * 8 - 1);
    for (size_t bit : bits) {
        Bytes file = packed;
        file[bit / 8] ^= (uint8_t)(0x80 >> bit % 8);
        spit(path("flipped.exe"), file);
        EXPECT_EQ(sfxpack("test flipped.exe").exit_code, 1) << "bit " << bit;
        EXPECT_EQ(sfxpack("unpack flipped.exe -o out.exe").exit_code, 1) << "bit " << bit;
        EXPECT_FALSE(std::filesystem::exists(path("out.exe"))) << "bit " << bit;
    }
}

} // namespace

// The package record: its layout, and what test, unpack and info make of
// damage anywhere in what it covers.
#include <functional>
#include <nlohmann/json.hpp>

#include "support/cli_fixture.h"

namespace {

constexpr size_t OFFSET = 32768, RECORD = OFFSET - 36;

uint32_t crc32(const Bytes &b, size_t at, size_t n) { // bit by bit, unlike the tool
    uint32_t c = ~0u;
    for (size_t i = at; i < at + n; i++)
        for (int k = (c ^= b[i], 0); k < 8; k++)
            c = c >> 1 ^ (0xEDB88320u & (0u - (c & 1)));
    return ~c;
}
uint32_t get32(const Bytes &b, size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | (uint32_t)b[at + 3] << 24; }
void put32(Bytes &b, size_t at, uint32_t v) { b[at] = v, b[at + 1] = v >> 8, b[at + 2] = v >> 16, b[at + 3] = v >> 24; }
void reseal(Bytes &b) { put32(b, RECORD + 32, crc32(b, RECORD, 32)); }

class SfxpackRecord : public CliTest {
  protected:
    void SetUp() override {
        CliTest::SetUp();
        spit(path("loader.exe"), fake_pe(4096)), spit(path("stub.exe"), stub), spit(path("appended.bin"), appended);
        EXPECT_EQ(sfxpack("pack stub.exe --loader loader.exe --append appended.bin -o packed.exe").exit_code, 0);
        packed = slurp_bytes(path("packed.exe"));
    }
    // test, unpack and info agree on 'file': all holds (problem null), or one
    // line names the problem and nothing is unpacked. Returns info's report.
    nlohmann::json check(const Bytes &file, const char *problem, const std::string &what) {
        spit(path("case.exe"), file);
        std::filesystem::remove(path("out.exe"));
        ToolRun test = sfxpack("test case.exe"), unpack = sfxpack("unpack case.exe -o out.exe"),
                info = sfxpack("info --json case.exe");
        int want = problem ? 1 : 0;
        EXPECT_TRUE(test.exit_code == want && unpack.exit_code == want && info.exit_code == want) << what << test.err;
        EXPECT_TRUE(!problem || (test.err == unpack.err && std::count(test.err.begin(), test.err.end(), '\n') == 1 &&
                                 test.err.find(std::string("case.exe: ") + problem) != std::string::npos))
            << what << ": " << test.err << unpack.err;
        EXPECT_EQ(slurp_bytes(path("out.exe")), problem ? Bytes{} : stub) << what;
        return nlohmann::json::parse(info.out);
    }
    Bytes stub = fake_pe(40000), appended = Bytes(300, 0x5A), packed;
    size_t payload_size() const { return packed.size() - OFFSET - appended.size(); }
};

TEST_F(SfxpackRecord, EndsAtThePayloadAndDescribesWhatFollows) {
    ASSERT_EQ(crc32({'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 0, 9), 0xCBF43926u); // zlib's check value
    const uint32_t fields[] = {0x52584653 /* SFXR */,   1u | 36u << 16, // version, size
                               (uint32_t)stub.size(),     crc32(stub, 0, stub.size()),
                               (uint32_t)payload_size(),  crc32(packed, OFFSET, payload_size()),
                               (uint32_t)appended.size(), crc32(appended, 0, appended.size()),
                               crc32(packed, RECORD, 32)};
    for (size_t i = 0; i < std::size(fields); i++)
        EXPECT_EQ(get32(packed, RECORD + 4 * i), fields[i]) << "field " << i;

    spit(path("full.exe"), fake_pe(4096, RECORD + 1));
    ToolRun full = sfxpack("pack stub.exe --loader full.exe -o out.exe");
    EXPECT_TRUE(full.exit_code == 1 && full.err.find("no room for the 36-byte package record") != std::string::npos);
}

TEST_F(SfxpackRecord, DamageIsNamedByTestAndRefusedByUnpack) {
    auto sign = [](Bytes &b) { // a certificate table after 8-byte padding, named in the headers
        b.resize((b.size() + 7) / 8 * 8 + 16, 0xCE);
        put32(b, 0xF4, 16), put32(b, 0x118, (uint32_t)b.size() - 16), put32(b, 0x11C, 16);
    };
    const struct {
        const char *name;
        std::function<void(Bytes &)> spoil;
        const char *problem;
        bool record;
    } cases[] = {
        {"intact", [](Bytes &) {}, nullptr, true},
        {"signed", sign, nullptr, true},
        {"packed before records", [](Bytes &b) { std::fill_n(b.begin() + RECORD, 36, 0); }, nullptr, false},
        {"record's own check", [](Bytes &b) { b[RECORD + 9] ^= 1; }, "the package record is damaged", false},
        {"newer record", [](Bytes &b) { b[RECORD + 4] = 2, reseal(b); }, "the package record is damaged (or", false},
        {"cut short", [](Bytes &b) { b.pop_back(); }, "the file is cut short", true},
        {"payload", [](Bytes &b) { b[OFFSET + 100] ^= 4; }, "the payload does not match its CRC-32", true},
        {"appended data", [](Bytes &b) { b.back() ^= 1; }, "the appended data does not match its CRC-32", true},
        {"stub's CRC-32", [](Bytes &b) { b[RECORD + 12] ^= 1, reseal(b); }, "the unpacked stub does not match", true},
    };
    for (const auto &c : cases) {
        Bytes file = packed;
        c.spoil(file);
        nlohmann::json report = check(file, c.problem, c.name);
        EXPECT_TRUE(report["record"] == c.record && report["verified"] == (c.record && !c.problem)) << c.name;
        EXPECT_TRUE(c.problem || (report["appended_offset"] == OFFSET + payload_size() &&
                                  report["appended_size"] == appended.size() &&
                                  report["signature_size"] == (file.size() > packed.size() ? 16 : 0)))
            << c.name << report.dump();
    }
    // Single-bit flips, all refused: the count header's bits, bits spread to the
    // end of the appended data, and the payload's last bit (padding no decoder reads).
    std::vector<size_t> bits{(OFFSET + payload_size()) * 8 - 1};
    for (size_t bit = OFFSET * 8; bit < (OFFSET + 4) * 8; bit += 5)
        bits.push_back(bit);
    for (size_t i = 0, n = wrapped() ? 8 : 48; i < n; i++)
        bits.push_back((OFFSET + 4) * 8 + (packed.size() * 8 - 1 - (OFFSET + 4) * 8) * i / (n - 1));
    for (size_t bit : bits) {
        Bytes file = packed;
        file[bit / 8] ^= (uint8_t)(0x80 >> bit % 8);
        check(file, "", "bit " + std::to_string(bit));
    }
}

} // namespace

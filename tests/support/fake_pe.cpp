#include "cli_fixture.h"

namespace {
void put16(Bytes &b, size_t at, uint32_t v) {
    b[at] = (uint8_t)v;
    b[at + 1] = (uint8_t)(v >> 8);
}
void put32(Bytes &b, size_t at, uint32_t v) {
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}
} // namespace

Bytes fake_pe(uint32_t image_end, uint32_t file_size) {
    constexpr uint32_t PE = 0x80, OPTIONAL = PE + 24, OPTIONAL_SIZE = 224;
    constexpr uint32_t TABLE = OPTIONAL + OPTIONAL_SIZE, HEADERS = 0x200;
    Bytes b(file_size ? file_size : image_end, 0);
    b[0] = 'M';
    b[1] = 'Z';
    put32(b, 0x3C, PE);
    put32(b, PE, 0x00004550);
    put16(b, PE + 4, 0x14C); // i386
    put16(b, PE + 6, 1);     // one section
    put16(b, PE + 20, OPTIONAL_SIZE);
    put16(b, OPTIONAL, 0x10B);
    put32(b, OPTIONAL + 60, HEADERS);
    put16(b, OPTIONAL + 68, 2); // GUI
    std::copy_n(".text", 5, b.begin() + TABLE);
    put32(b, TABLE + 16, image_end - HEADERS);
    put32(b, TABLE + 20, HEADERS);
    for (size_t i = HEADERS; i < std::min<size_t>(image_end, b.size()); i++)
        b[i] = (uint8_t)(i * 13);
    return b;
}

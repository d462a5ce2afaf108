#pragma once
#include <cstdint>
#include <string>
#include <vector>

// "-" names standard input throughout.
bool is_stdio(const std::string &path);

// The whole file; a clear ToolError when it cannot be read.
std::vector<uint8_t> read_whole_file(const std::string &path);

// Refuses an output path that names the same file as an input.
void ensure_distinct(const std::string &input, const std::string &output);

// The permission bits of an input file, for an output made from it; -1 for
// standard input.
int file_mode(const std::string &path);

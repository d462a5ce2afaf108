// Packed files as the host reads and writes them: the package record and the
// payload's place in a file (packed_file.h), payloads decoded where they lie
// (payload.h), a whole package checked (package_check.h), a packed file's
// bundle read back (bundle_reading.h), and input files read a block at a
// time (input_file.h). Every refusal is a PackageError: one line a user
// reads, naming the file.
#pragma once
#include <stdexcept>
#include <string>

struct PackageError : std::runtime_error {
    explicit PackageError(const std::string &message) : std::runtime_error(message) {}
};

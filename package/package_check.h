#pragma once
#include <cstdint>
#include <span>
#include <string>

#include "package/packed_file.h"
#include "package/payload.h"

// A packed executable or a bare payload, decoded without keeping the output
// and checked against its package record, if it has one.
struct PackageCheck {
    PayloadLocation location;
    PayloadReport report;
    std::string problem; // the first thing found wrong; empty when all holds
};

PackageCheck check_package(const InputFile &file, const std::string &name);

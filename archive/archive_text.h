// What the archive reader refused, as a user reads it: one line for each of
// its answers. Shared by everything that reads or checks bundles on the host.
#pragma once
#include <string>

#include "archive/entry_name.h"
#include "archive/tar_reader.h"

const char *name_problem_text(NameProblem problem);
const char *clash_text(NameClash clash);
// The refusal, naming the entry it concerns.
std::string archive_error_text(const TarReader &reader, ArchiveError error);

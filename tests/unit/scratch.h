// Where the unit tables write their files: a folder of this process's own, so two runs at once
// (ctest -j runs the tables on both SDL 1.2 runtimes together) or another user's before it never
// read each other's files. Made at the first call under GoogleTest's TempDir, removed at exit.
#pragma once

#include <string>

// The path of name in this process's scratch folder.
std::string scratch_path(const std::string& name);

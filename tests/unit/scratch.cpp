#include "scratch.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// A name nobody holds yet: create_directory is false for a folder already there, whoever made it.
struct ScratchFolder {
    fs::path path;
    ScratchFolder() {
        std::random_device seed;
        for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
            const fs::path candidate =
                fs::path(testing::TempDir()) / ("brackenreach-unit-" + std::to_string(seed()));
            std::error_code error;
            if (fs::create_directory(candidate, error)) {
                path = candidate;
            }
        }
        if (path.empty()) {
            std::cerr << "no scratch folder could be made in " << testing::TempDir() << std::endl;
            std::abort();
        }
    }
    ~ScratchFolder() {
        std::error_code error;
        fs::remove_all(path, error);
    }
};

} // namespace

std::string scratch_path(const std::string& name) {
    static const ScratchFolder folder;
    return (folder.path / name).string();
}

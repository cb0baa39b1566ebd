// The fixture of tests that drive the exports on a mock image: a scratch directory with the
// image's path in it, the library connected before each test and disconnected after it.
#pragma once

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

// The smallest disk the start accepts.
constexpr int64_t k_min_size = 67108864;

class mock_library_test : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    scoped_dir dir_;
    std::string image_;
};

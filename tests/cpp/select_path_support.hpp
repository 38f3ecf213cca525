// The selection paths of legal.hpp for the engine tests: a fixture that runs each test on
// one path, and the comparison of a fast-path record with the checked one.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "legal.hpp"
#include "record.hpp"
#include "test_support.hpp"

namespace nonagame::testing {

inline std::string path_name(const ::testing::TestParamInfo<SelectPath>& info) {
    return info.param == SelectPath::Pdep ? "Pdep" : "Portable";
}

// Runs each test with the given path in use, and puts the machine's default back after.
class OnPath : public ::testing::TestWithParam<SelectPath> {
protected:
    void SetUp() override {
        if (GetParam() == SelectPath::Pdep && !pdep_supported()) GTEST_SKIP() << "no BMI2 on this processor";
        ASSERT_EQ(set_select_path(GetParam()), GetParam());
    }
    void TearDown() override { set_select_path(default_select_path()); }
};

// Every field, the masks included, and the masks against the board.
inline void expect_same(const GameRecord& fast, const GameRecord& checked, const char* what) {
    ASSERT_EQ(fast, checked) << what;
    ASSERT_TRUE(masks_in_sync(fast)) << what;
}

}  // namespace nonagame::testing

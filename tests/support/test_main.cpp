// The main of every test executable: a crash ends it with the exception's code, so
// CTest never reads a crashed suite as one that passed.
#include "core/crash.hpp"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    qorn::end_process_on_crash();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// Test entry for the Windows tests: prepares what the program entry
// prepares, then runs the tests.
#include <windows.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "ui/start_up.h"

int main(int argc, char** argv) {
  if (!StartUp()) {
    std::fprintf(stderr, "the socket library did not start\n");
    return 1;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

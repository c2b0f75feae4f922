// A test suite that shares one window: Wine takes seconds to open and
// close one. Each test starts with an empty table and fresh scan state.
#ifndef DNSCHECK_TESTS_WINDOW_TEST_H
#define DNSCHECK_TESTS_WINDOW_TEST_H

#include <gtest/gtest.h>

#include "ui_fixture.h"

class WindowTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { ui_ = new UiThread; }
  static void TearDownTestSuite() {
    delete ui_;
    ui_ = nullptr;
  }
  void SetUp() override;

  static UiThread* ui_;
};

#endif

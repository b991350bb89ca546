// What a table of runs expects on standard error, in one line of its case.
#pragma once

#include <gtest/gtest.h>

#include <string>

// Standard error is empty when `errHas` is, and otherwise contains it.
inline void expectStderr(const std::string& err, const std::string& errHas) {
  if (errHas.empty()) {
    EXPECT_EQ(err, "");
  } else {
    EXPECT_NE(err.find(errHas), std::string::npos) << "standard error:\n" << err;
  }
}

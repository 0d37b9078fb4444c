// fixture.h - the GoogleTest fixture every test of the core starts from: a fresh
// virtual machine (testbed::Reset), English messages, a scratch working directory,
// and no receive thread or open pipe left behind.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/backend/testbed.h"

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Runs a whole shell command; returns the exit code if the program ended inside.
    int RunCommand(int id);
    // The log file's text, "" when there is none.
    std::string LogText();
    std::string scratch_;
    std::string previousDir_;
};

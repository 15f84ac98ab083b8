// Shared set-up: a fresh stand-in world with both programs installed where
// the registry says, and a check after every test that the launcher released
// every handle it obtained, exactly once.
#ifndef TESTS_FIXTURE_H
#define TESTS_FIXTURE_H

#include "launcher/main.h"
#include "standin/standin.h"

#include <gtest/gtest.h>

#include <string>

namespace fixture {

const char kVendrelKey[] = "SOFTWARE\\Orvane\\Vendrel2";
const char kMsnKey[] = "SOFTWARE\\Microsoft\\MSNMessenger";
const char kVendrelDir[] = "C:\\Program Files\\Orvane\\Vendrel 2";
const char kVendrelExe[] = "C:\\Program Files\\Orvane\\Vendrel 2\\vendrel.exe";
const char kMsnDir[] = "C:\\Program Files\\MSN Messenger\\";
const char kMsnExe[] = "C:\\Program Files\\MSN Messenger\\msnmsgr.exe";
const uint64_t kMsnLifetime = 60000;

class World : public ::testing::Test {
protected:
    standin::World& w = standin::World::Get();

    void SetUp() override
    {
        w.Reset();
        w.SetString(kVendrelKey, "BinDir", kVendrelDir);
        w.SetString(kMsnKey, "InstallationDirectory", kMsnDir);
        standin::Program msn;
        msn.lifetimeMs = kMsnLifetime;
        w.Install(kVendrelExe);
        w.Install(kMsnExe, msn);
    }

    void TearDown() override
    {
        EXPECT_EQ(w.OpenHandles(), 0u) << "a handle was leaked";
        EXPECT_TRUE(w.Misuses().empty()) << w.Misuses().front();
    }

    int RunLauncher(const char* args = "")
    {
        std::string line = args;
        return WinMain(NULL, NULL, &line[0], 1);
    }
};

}  // namespace fixture

#endif  // TESTS_FIXTURE_H

// The launch sequence as a whole, and the two kinds of start.
#include "tests/fixture.h"

#include <cstring>
#include <functional>
#include <vector>

using fixture::kMsnExe;
using fixture::kMsnKey;
using fixture::kMsnLifetime;
using fixture::kVendrelExe;
using fixture::kVendrelKey;
using standin::Process;
using standin::Program;

namespace {

const char kLoadVendrel[] = "Error Loading Vendrel 2.";
const char kLoadMsn[] = "Error Loading MSN Messenger";

class Sequence : public fixture::World {};

TEST_F(Sequence, MakesEveryCallInOrderWithItsConstants)
{
    ASSERT_EQ(RunLauncher(), 0);

    // Handles are numbered from 0x100 in steps of 4, in the order issued.
    const std::vector<std::string> expected = {
        "RegOpenKeyExA(0x80000002, \"SOFTWARE\\Orvane\\Vendrel2\", 0, 0x20019)",
        "RegQueryValueExA(0x100, \"BinDir\", NULL, NULL, data, 256)",
        "RegCloseKey(0x100)",
        "lstrcatA(\"C:\\Program Files\\Orvane\\Vendrel 2\", \"\\vendrel.exe\")",
        "CreateProcessA(\"C:\\Program Files\\Orvane\\Vendrel 2\\vendrel.exe\", "
        "\"\"C:\\Program Files\\Orvane\\Vendrel 2\\vendrel.exe\"\", NULL, NULL, 0, 0x0, NULL, "
        "NULL, cb=68)",
        "CloseHandle(0x108)",
        "Sleep(1000)",
        "RegOpenKeyExA(0x80000002, \"SOFTWARE\\Microsoft\\MSNMessenger\", 0, 0x20019)",
        "RegQueryValueExA(0x10C, \"InstallationDirectory\", NULL, NULL, data, 256)",
        "RegCloseKey(0x10C)",
        "lstrcatA(\"C:\\Program Files\\MSN Messenger\\\", \"msnmsgr.exe\")",
        "CreateProcessA(\"C:\\Program Files\\MSN Messenger\\msnmsgr.exe\", "
        "\"\"C:\\Program Files\\MSN Messenger\\msnmsgr.exe\"\", NULL, NULL, 0, 0x0, NULL, NULL, "
        "cb=68)",
        "WaitForSingleObject(0x110, 0xFFFFFFFF)",
        "CloseHandle(0x110)",
        "CloseHandle(0x114)",
        "Sleep(250)",
        "CreateToolhelp32Snapshot(0x2, 0)",
        "Process32Next(0x118, dwSize=296)",
        "Process32Next(0x118, dwSize=296)",
        "CloseHandle(0x118)",
        "Sleep(7000)",
        "TerminateProcess(0x104, 0)",
        "CloseHandle(0x104)",
    };
    EXPECT_EQ(w.Calls(), expected);
    EXPECT_TRUE(w.Boxes().empty());
}

TEST_F(Sequence, EndsTheAddOnSevenAndAQuarterSecondsAfterMessengerQuits)
{
    RunLauncher();

    const Process* addOn = w.FindStarted("vendrel.exe");
    const Process* msn = w.FindStarted("msnmsgr.exe");
    ASSERT_NE(addOn, nullptr);
    ASSERT_NE(msn, nullptr);
    EXPECT_EQ(addOn->startsAt, 0u);
    EXPECT_EQ(msn->startsAt, 1000u);
    EXPECT_EQ(msn->endsAt, 1000u + kMsnLifetime);
    EXPECT_TRUE(addOn->terminated);
    EXPECT_EQ(addOn->exitCode, 0u);
    EXPECT_EQ(addOn->endsAt, msn->endsAt + 7250);
}

TEST_F(Sequence, WindowsMessengerAlreadyRunningKeepsTheAddOnAlive)
{
    const uint64_t msmsgsEnd = 1000 + kMsnLifetime + 30000;
    w.Spawn("msmsgs.exe", 0, msmsgsEnd);

    EXPECT_EQ(RunLauncher(), 0);

    EXPECT_EQ(w.FindStarted("vendrel.exe")->endsAt, msmsgsEnd + 7000);
    EXPECT_TRUE(w.Boxes().empty());
}

TEST_F(Sequence, AddOnThatCannotStartIsReportedOnceAndTheRunGoesOn)
{
    const std::vector<std::function<void(standin::World&)>> breakages = {
        [](standin::World& w) {  // key missing
            w.Reset();
            w.SetString(kMsnKey, "InstallationDirectory", fixture::kMsnDir);
            w.Install(kMsnExe);
        },
        [](standin::World& w) { w.SetString(kVendrelKey, "BinDir", "C:\\Empty"); },
        [](standin::World& w) {
            Program refused;
            refused.startFails = true;
            w.Install(kVendrelExe, refused);
        },
    };
    for (size_t variant = 0; variant < breakages.size(); ++variant) {
        SCOPED_TRACE("variant " + std::to_string(variant));
        SetUp();
        breakages[variant](w);
        Program msn;
        msn.lifetimeMs = 10;
        w.Install(kMsnExe, msn);
        w.SetBoxDismissDelay(5000);

        EXPECT_EQ(RunLauncher(), 0);

        ASSERT_EQ(w.Boxes().size(), 1u);
        const standin::Box& box = w.Boxes()[0];
        EXPECT_EQ(box.text, kLoadVendrel);
        EXPECT_EQ(box.caption, "Error");
        EXPECT_EQ(box.type, static_cast<UINT>(MB_OK));
        EXPECT_EQ(box.owner, nullptr);
        ASSERT_NE(w.FindStarted("msnmsgr.exe"), nullptr);
        EXPECT_EQ(w.FindStarted("msnmsgr.exe")->startsAt, 5000u + 1000u);
        EXPECT_TRUE(w.CallsNamed("TerminateProcess").empty());
        EXPECT_EQ(w.OpenHandles(), 0u);
    }
}

TEST_F(Sequence, MessengerThatCannotStartStillWaitsForOneAlreadyRunning)
{
    for (int variant = 0; variant < 2; ++variant) {
        SCOPED_TRACE("variant " + std::to_string(variant));
        SetUp();
        if (variant == 0) {  // no trailing backslash: "...MSN Messengermsnmsgr.exe"
            w.SetString(kMsnKey, "InstallationDirectory", "C:\\Program Files\\MSN Messenger");
        } else {  // not installed at all
            w.Reset();
            w.SetString(kVendrelKey, "BinDir", fixture::kVendrelDir);
            w.Install(kVendrelExe);
        }
        const uint64_t otherEnd = 90000;
        w.Spawn("msnmsgr.exe", 0, otherEnd);

        EXPECT_EQ(RunLauncher(), 0);

        ASSERT_EQ(w.Boxes().size(), 1u);
        EXPECT_EQ(w.Boxes()[0].text, kLoadMsn);
        EXPECT_EQ(w.Boxes()[0].at, 1000u);
        EXPECT_EQ(w.FindStarted("msnmsgr.exe"), nullptr);
        EXPECT_EQ(w.FindStarted("vendrel.exe")->endsAt, otherEnd + 7000);
    }
}

TEST_F(Sequence, ValueThatIsNoFullPathNeverStartsAProgram)
{
    struct Row {
        std::string binDir, msnDir, addOnAt, msnAt;  // values, and where each would be found
    };
    std::vector<Row> rows;
    for (const char* dir : standin::kSearchDirs)
        rows.push_back({"Vendrel", "x", dir + std::string("Vendrel\\vendrel.exe"),
                        dir + std::string("xmsnmsgr.exe")});
    const std::string current = standin::kCurrentDir;
    rows.push_back({"C:Vendrel", "C:x\\", current + "Vendrel\\vendrel.exe",
                    current + "x\\msnmsgr.exe"});
    rows.push_back({"\\Vendrel", "\\x\\", "C:\\Vendrel\\vendrel.exe", "C:\\x\\msnmsgr.exe"});
    for (const Row& row : rows) {
        SCOPED_TRACE(row.addOnAt);
        SetUp();
        w.SetString(kVendrelKey, "BinDir", row.binDir);
        w.SetString(kMsnKey, "InstallationDirectory", row.msnDir);
        w.Install(row.addOnAt);
        w.Install(row.msnAt);

        EXPECT_EQ(RunLauncher(), 0);

        for (const Process& p : w.Processes())
            ADD_FAILURE() << p.commandLine << " ran";
        ASSERT_EQ(w.Boxes().size(), 2u);
        EXPECT_EQ(w.Boxes()[0].text, kLoadVendrel);
        EXPECT_EQ(w.Boxes()[1].text, kLoadMsn);
    }
}

TEST_F(Sequence, BothStartsFailingShowTwoBoxesInOrderAndExitZero)
{
    w.Reset();

    EXPECT_EQ(RunLauncher(), 0);

    ASSERT_EQ(w.Boxes().size(), 2u);
    EXPECT_EQ(w.Boxes()[0].text, kLoadVendrel);
    EXPECT_EQ(w.Boxes()[1].text, kLoadMsn);
    EXPECT_TRUE(w.CallsNamed("CreateProcessA").empty()) << "an empty path must not be started";
    EXPECT_TRUE(w.CallsNamed("TerminateProcess").empty());
    EXPECT_EQ(w.Now(), 1000u + 250 + 7000);
}

TEST_F(Sequence, AddOnThatExitedEarlyIsStillReleasedOnce)
{
    w.Install(kVendrelExe, [] { Program p; p.lifetimeMs = 10; return p; }());

    EXPECT_EQ(RunLauncher(), 0);

    EXPECT_FALSE(w.FindStarted("vendrel.exe")->terminated);
    EXPECT_EQ(w.CallsNamed("TerminateProcess").size(), 1u);
    // The add-on's thread, Messenger's process and thread, the snapshot, the add-on.
    EXPECT_EQ(w.CallsNamed("CloseHandle").size(), 5u);
}

TEST_F(Sequence, CommandLineChangesNothing)
{
    RunLauncher();
    const std::vector<std::string> plain = w.Calls();
    SetUp();
    RunLauncher("/quit --help \"C:\\Program.exe\" vendrel.exe");
    EXPECT_EQ(w.Calls(), plain);
}

class Start : public fixture::World {
protected:
    PathBuffer path;

    void SetPath(const char* text) { std::strncpy(path, text, sizeof path); }
};

TEST_F(Start, PathWithSpacesIsQuotedSoAPlantedProgramNeverRuns)
{
    w.Install("C:\\Program.exe");
    w.Install("C:\\Program Files\\MSN.exe");
    SetPath(kVendrelExe);

    HANDLE addOn = ExecCmdHandle(path);
    ASSERT_NE(addOn, nullptr);
    CloseHandle(addOn);
    SetPath(kMsnExe);
    ExecCmdWait(path);

    for (const Process& p : w.Processes())
        EXPECT_TRUE(p.name == "vendrel.exe" || p.name == "msnmsgr.exe") << p.name << " ran";
    EXPECT_TRUE(w.Boxes().empty());
}

TEST_F(Start, PathThatCannotBeQuotedIsAFailedStart)
{
    w.Install("C:\\a\"b\\vendrel.exe");
    w.Install("C:\\a");
    SetPath("C:\\a\"b\\vendrel.exe");

    EXPECT_EQ(ExecCmdHandle(path), nullptr);
    ExecCmdWait(path);

    ASSERT_EQ(w.Boxes().size(), 2u);
    EXPECT_EQ(w.Boxes()[0].text, kLoadVendrel);
    EXPECT_EQ(w.Boxes()[1].text, kLoadMsn);
    EXPECT_TRUE(w.CallsNamed("CreateProcessA").empty());

    std::memset(path, 'd', sizeof path);  // no terminator within the buffer
    EXPECT_EQ(ExecCmdHandle(path), nullptr);
    SetPath("C:\\a\"");
    EXPECT_EQ(ExecCmdHandle(path), nullptr);
    EXPECT_TRUE(w.CallsNamed("CreateProcessA").empty());
}

TEST_F(Start, FailedStartShowsExactlyOneBoxAndHandsBackNothing)
{
    SetPath("C:\\Nowhere\\vendrel.exe");
    EXPECT_EQ(ExecCmdHandle(path), nullptr);
    ASSERT_EQ(w.Boxes().size(), 1u);
    EXPECT_EQ(w.CallsNamed("CreateProcessA").size(), 1u);

    SetPath("C:\\Nowhere\\msnmsgr.exe");
    ExecCmdWait(path);
    ASSERT_EQ(w.Boxes().size(), 2u);
    EXPECT_EQ(w.Boxes()[1].text, kLoadMsn);
    EXPECT_TRUE(w.CallsNamed("WaitForSingleObject").empty());
}

TEST_F(Start, WaitReturnsWhenTheProgramEndsAndReleasesProcessThenThread)
{
    w.Install(kMsnExe, [] { Program p; p.lifetimeMs = 0; return p; }());
    SetPath(kMsnExe);

    ExecCmdWait(path);

    EXPECT_EQ(w.Now(), 0u);
    const std::vector<std::string> closes = w.CallsNamed("CloseHandle");
    ASSERT_EQ(closes.size(), 2u);
    EXPECT_EQ(closes[0], "CloseHandle(0x100)");  // process, issued first
    EXPECT_EQ(closes[1], "CloseHandle(0x104)");  // thread
}

TEST_F(Start, LongestPathThatFitsIsStartedWhole)
{
    std::string longPath = "C:\\" + std::string(255 - 3 - 12, 'd') + "\\vendrel.exe";
    ASSERT_EQ(longPath.size(), 255u);
    w.Install(longPath);
    SetPath(longPath.c_str());

    HANDLE addOn = ExecCmdHandle(path);

    ASSERT_NE(addOn, nullptr);
    EXPECT_EQ(w.Processes().back().commandLine, "\"" + longPath + "\"");
    CloseHandle(addOn);
}

}  // namespace

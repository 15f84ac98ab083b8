// Waiting until no MSN Messenger or Windows Messenger process is left.
#include "tests/fixture.h"

#include <string>
#include <utility>
#include <vector>

using standin::kForever;

namespace {

class Wait : public fixture::World {
protected:
    size_t Scans() const { return w.CallsNamed("CreateToolhelp32Snapshot").size(); }
    size_t Waits() const { return w.CallsNamed("WaitForSingleObject").size(); }
};

TEST_F(Wait, ReturnsAfterOneScanWhenNoMessengerRuns)
{
    w.Spawn("explorer.exe", 0, kForever);

    WaitForOtherMSN();

    EXPECT_EQ(Scans(), 1u);
    EXPECT_EQ(Waits(), 0u);
    EXPECT_TRUE(w.Boxes().empty());
    EXPECT_EQ(w.Now(), 0u);
}

TEST_F(Wait, WaitsForEachMessengerInSnapshotOrderThenScansOnceMore)
{
    w.Spawn("explorer.exe", 0, kForever);
    const DWORD windows = w.Spawn("msmsgs.exe", 0, 300);
    const DWORD msn = w.Spawn("msnmsgr.exe", 0, 500);
    w.Elevate(windows);  // "Run as administrator": it still can be waited for

    WaitForOtherMSN();

    const std::vector<std::string> opens = w.CallsNamed("OpenProcess");
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0], "OpenProcess(0x100000, 1, " + std::to_string(windows) + ")");
    EXPECT_EQ(opens[1], "OpenProcess(0x100000, 1, " + std::to_string(msn) + ")");
    EXPECT_EQ(Scans(), 5u);  // each open confirmed by a second snapshot
    EXPECT_EQ(w.Now(), 500u);
    // Each snapshot is gone before the next step: the wait holds one handle.
    EXPECT_LE(w.PeakOpenHandles(), 2u);
    EXPECT_TRUE(w.Boxes().empty());
}

TEST_F(Wait, FindsMessengersStartedDuringTheWait)
{
    w.Spawn("msnmsgr.exe", 0, 1000);
    w.Spawn("msmsgs.exe", 400, 2000);       // appears while the first is waited for
    w.Spawn("msnmsgr.exe", 2000, 3000);     // and another one later still

    WaitForOtherMSN();

    EXPECT_EQ(Waits(), 3u);
    EXPECT_EQ(w.Now(), 5000u);
}

TEST_F(Wait, MatchesOnlyTheExactNames)
{
    for (const char* name : {"MSNMSGR.EXE", "Msmsgs.exe", "C:\\MSN\\msnmsgr.exe", "msnmsgr.exe ",
                             "msnmsgr.exe.bak", "msnmsgr", "xmsmsgs.exe", ""})
        w.Spawn(name, 0, kForever);

    WaitForOtherMSN();

    EXPECT_EQ(Waits(), 0u);
    EXPECT_EQ(w.CallsNamed("Process32Next").size(), 9u);  // eight entries, then the end
}

TEST_F(Wait, MessengerThatCannotBeOpenedIsReportedOnceAndEndsTheWait)
{
    // Another user's or session's process refuses even SYNCHRONIZE; no other
    // refusal, such as ERROR_NO_SYSTEM_RESOURCES, is a reason to look again.
    for (DWORD error : {DWORD(1450), DWORD(ERROR_ACCESS_DENIED)}) {
        SetUp();
        const DWORD guarded = w.Spawn("msmsgs.exe", 0, kForever);
        w.Spawn("msnmsgr.exe", 0, 100);
        w.FailOpen(guarded, error);

        WaitForOtherMSN();

        ASSERT_EQ(w.Boxes().size(), 1u);
        EXPECT_EQ(w.Boxes()[0].text, "Error Waiting for existing MSN's and Windows Messenger");
        EXPECT_EQ(w.Boxes()[0].caption, "Error");
        EXPECT_EQ(w.Boxes()[0].type, static_cast<UINT>(MB_OK));
        EXPECT_EQ(Scans(), 1u);
        EXPECT_EQ(Waits(), 0u);
    }
}

TEST_F(Wait, MessengerGoneOrItsIdReusedBeforeTheOpenIsLookedForAgain)
{
    // Gone between the scan and the open, its id perhaps another program's, while a
    // messenger of a lower or a higher id is listed after it.
    const std::pair<const char*, DWORD> cases[] = {{"", 0}, {"notepad.exe", 8}, {"notepad.exe", 0}};
    for (const auto& [successor, other] : cases) {
        w.Reset();
        w.EndBeforeOpen(w.Spawn("msnmsgr.exe", 0, kForever), successor);
        w.Spawn("msmsgs.exe", 0, 500, other);

        WaitForOtherMSN();

        EXPECT_TRUE(w.Boxes().empty()) << successor;
        EXPECT_EQ(w.Now(), 500u) << successor;
        EXPECT_EQ(w.OpenHandles(), 0u) << successor;
    }
}

TEST_F(Wait, FailedSnapshotEndsTheWaitSilently)
{
    w.Spawn("msnmsgr.exe", 0, kForever);
    w.FailSnapshots(true);

    WaitForOtherMSN();

    EXPECT_TRUE(w.Boxes().empty());
    EXPECT_TRUE(w.CallsNamed("Process32Next").empty());
    EXPECT_TRUE(w.CallsNamed("CloseHandle").empty());
}

TEST_F(Wait, TenThousandMessengersOneAfterAnotherHoldNothingBack)
{
    // Each messenger outlives the start of the next, so the wait never sees
    // a gap; every scan still releases everything it took.
    const int count = 10000;
    for (int i = 0; i < count; ++i)
        w.Spawn(i % 2 ? "msmsgs.exe" : "msnmsgr.exe", uint64_t(i) * 10, 15);
    w.RecordCalls(false);

    WaitForOtherMSN();

    EXPECT_EQ(w.Now(), uint64_t(count - 1) * 10 + 15);
    EXPECT_EQ(w.HandlesIssued(), 3u * count + 1);  // two snapshots and a process per wait
    EXPECT_LE(w.PeakOpenHandles(), 2u);
    EXPECT_TRUE(w.Boxes().empty());
}

}  // namespace

// Composing the two executable paths from whatever the registry holds.
#include "tests/fixture.h"

#include <cstring>
#include <string>
#include <vector>

using fixture::kMsnKey;
using fixture::kVendrelKey;

namespace {

struct Lookup {
    const char* key;
    const char* value;
    const char* fileName;
    PathBuffer& (*get)(PathBuffer&);
};

const Lookup kLookups[] = {
    {kVendrelKey, "BinDir", "\\vendrel.exe", GetVendrelPath},
    {kMsnKey, "InstallationDirectory", "msnmsgr.exe", GetMSNPath},
};

class Lookups : public fixture::World {
protected:
    // The buffer starts as garbage, as the caller's stack would hold.
    std::string Compose(const Lookup& lookup)
    {
        struct Holder {
            PathBuffer path;
        };
        Holder* holder = new Holder;  // on the heap, so ASan sees an overrun at once
        PathBuffer& path = holder->path;
        std::memset(path, 'G', sizeof path);
        PathBuffer& result = lookup.get(path);
        EXPECT_EQ(&result, &path) << "the lookup must return the caller's buffer";
        const void* end = std::memchr(path, '\0', sizeof path);
        EXPECT_NE(end, nullptr) << "the path is not terminated within 256 bytes";
        std::string text = end ? std::string(path) : std::string();
        delete holder;
        return text;
    }
};

TEST_F(Lookups, ComposeTheValueAndFileNameWhenThePathFits)
{
    for (const Lookup& lookup : kLookups) {
        const size_t room = kPathBufferSize - std::strlen(lookup.fileName) - 1;
        for (size_t length : {size_t(0), size_t(1), size_t(243), size_t(244), size_t(245),
                              size_t(255), size_t(256), size_t(300)}) {
            for (bool terminated : {true, false}) {
                SCOPED_TRACE(std::string(lookup.value) + " length " + std::to_string(length)
                             + (terminated ? " terminated" : " unterminated"));
                SetUp();
                // "C:\ddd...", or "d" too short to be a full path.
                const std::string text = length < 3 ? std::string(length, 'd')
                                                    : "C:\\" + std::string(length - 3, 'd');
                std::vector<BYTE> bytes(text.begin(), text.end());
                if (terminated)
                    bytes.push_back(0);
                w.SetValue(lookup.key, lookup.value, REG_SZ, bytes);

                const std::string path = Compose(lookup);

                if (length < 3 || length > room)
                    EXPECT_EQ(path, "");
                else
                    EXPECT_EQ(path, text + lookup.fileName);
                EXPECT_EQ(w.CallsNamed("lstrcatA").size(), length == 0 || length > room ? 0u : 1u);
                EXPECT_EQ(w.OpenHandles(), 0u);
            }
        }
    }
}

TEST_F(Lookups, UseTheValueRawWhateverItsType)
{
    for (const Lookup& lookup : kLookups) {
        SCOPED_TRACE(lookup.value);
        SetUp();
        w.SetString(lookup.key, lookup.value, "C:\\%Dir%\\", REG_EXPAND_SZ);
        EXPECT_EQ(Compose(lookup), std::string("C:\\%Dir%\\") + lookup.fileName);

        // Unexpanded, it is no full path.
        w.SetString(lookup.key, lookup.value, "%ProgramFiles%\\X\\", REG_EXPAND_SZ);
        EXPECT_EQ(Compose(lookup), "");

        w.SetValue(lookup.key, lookup.value, REG_DWORD, {'C', ':', '\\', 'D'});
        EXPECT_EQ(Compose(lookup), std::string("C:\\D") + lookup.fileName);

        w.SetValue(lookup.key, lookup.value, REG_BINARY, {'C', ':', '\\', 0, 'x', 'y'});
        EXPECT_EQ(Compose(lookup), std::string("C:\\") + lookup.fileName);

        w.SetValue(lookup.key, lookup.value, REG_BINARY, std::vector<BYTE>(256, 0x81));
        EXPECT_EQ(Compose(lookup), "");

        std::vector<BYTE> padded = {'C', ':', '\\', 'D'};
        padded.resize(256, 0);  // fills the buffer whole, its text ending early
        w.SetValue(lookup.key, lookup.value, REG_BINARY, padded);
        EXPECT_EQ(Compose(lookup), std::string("C:\\D") + lookup.fileName);

        padded.push_back(0);  // one more fails the read, leaving a terminated start behind
        w.SetValue(lookup.key, lookup.value, REG_BINARY, padded);
        EXPECT_EQ(Compose(lookup), "");
    }
}

TEST_F(Lookups, YieldAnEmptyPathWhenNothingUsableIsRecorded)
{
    for (const Lookup& lookup : kLookups) {
        SCOPED_TRACE(lookup.value);
        w.Reset();  // key missing
        EXPECT_EQ(Compose(lookup), "");
        EXPECT_TRUE(w.CallsNamed("RegCloseKey").empty()) << "no key was opened to release";

        w.AddKey(lookup.key);  // value missing
        EXPECT_EQ(Compose(lookup), "");

        w.SetString(lookup.key, lookup.value, "C:\\Somewhere\\");
        w.ReportSize(lookup.key, lookup.value, 0);  // a read that claims no bytes
        EXPECT_EQ(Compose(lookup), "");

        w.ReportSize(lookup.key, lookup.value, 5000);  // a size past the buffer
        EXPECT_EQ(Compose(lookup), "");

        w.ReportSize(lookup.key, lookup.value, 3);  // text ends where the size says
        EXPECT_EQ(Compose(lookup), std::string("C:\\") + lookup.fileName);
        EXPECT_TRUE(w.Misuses().empty());
    }
}

TEST_F(Lookups, AcceptOnlyAFullPathWhichNothingIsSearchedFor)
{
    struct Row {
        const char* value;
        bool addOnUsable;  // with "\\vendrel.exe" appended
        bool msnUsable;    // with "msnmsgr.exe" appended
    };
    const Row rows[] = {
        {"D:\\Apps\\", true, true},
        {"A:\\", true, true}, {"Z:\\", true, true}, {"a:\\", true, true}, {"z:\\", true, true},
        {"@:\\", false, false}, {"[:\\", false, false},  // next to the letters
        {"`:\\", false, false}, {"{:\\", false, false},
        {"\\\\s\\h\\", true, true},           // one-letter server and share
        {"\\\\B\xFCro\\Share\\", true, true},  // an ANSI letter past 0x7F
        {"C:", true, false},                  // "C:\\vendrel.exe", but "C:msnmsgr.exe"
        {"\\\\srv\\share\\", true, true},
        {"\\\\srv\\share", true, false},      // "\\\\srv\\sharemsnmsgr.exe" names no share
        {"x", false, false}, {"Vendrel\\", false, false},
        {"C:foo\\", false, false},
        {"\\foo\\", false, false},
        {"\\Program Files\\MSN\\", false, false},  // rooted on the current drive
        {"\\apps\\x\\", false, false}, {"x\\srv\\share\\", false, false},
        {"C\\srv\\share\\", false, false}, {"C;\\x\\", false, false}, {"C9\\x\\", false, false},
        {"\\\\srv\\", false, false},
        {"\\\\\\srv\\x\\", false, false}, {"\\\\srv\\\\x\\", false, false},  // an empty part
        {"1:\\x\\", false, false},
        {"::\\x\\", false, false},
        {" C:\\x\\", false, false},
        {"C:/x/", false, false},
    };
    for (const Row& row : rows) {
        for (const Lookup& lookup : kLookups) {
            SCOPED_TRACE(std::string(lookup.value) + " = " + row.value);
            w.SetString(lookup.key, lookup.value, row.value);
            const bool usable = lookup.get == GetVendrelPath ? row.addOnUsable : row.msnUsable;
            EXPECT_EQ(Compose(lookup), usable ? row.value + std::string(lookup.fileName) : "");
        }
    }
}

TEST_F(Lookups, EachProgramHasItsOwnSeparator)
{
    // Only the add-on's file name brings a backslash; nothing is removed.
    w.SetString(kVendrelKey, "BinDir", "D:\\Vendrel\\");
    w.SetString(kMsnKey, "InstallationDirectory", "D:\\MSN");
    EXPECT_EQ(Compose(kLookups[0]), "D:\\Vendrel\\\\vendrel.exe");
    EXPECT_EQ(Compose(kLookups[1]), "D:\\MSNmsnmsgr.exe");
}

}  // namespace

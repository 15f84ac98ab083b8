// Fuzzes both lookups and both starts against whatever the registry may hold
// and whatever size the platform may report.
//
// Input: flags, type, reported size (2 bytes, little-endian), value bytes.
#include "launcher/main.h"
#include "standin/standin.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// A drive's root or a named server's share: nothing else is safe to start.
bool FullPath(const std::string& path)
{
    const char c = path.empty() ? '\0' : path[0];
    if (path.size() >= 3 && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) && path[1] == ':'
        && path[2] == '\\')
        return true;
    if (path.compare(0, 2, "\\\\") != 0)
        return false;
    const size_t server = path.find('\\', 2);
    if (server == std::string::npos || server == 2)
        return false;
    const size_t share = path.find('\\', server + 1);
    return share != std::string::npos && share > server + 1;
}

enum Flags {
    kKeyExists = 1,
    kValueExists = 2,
    kOverrideSize = 4,
    kMessenger = 8,
    kInstalled = 16,
    kStartFails = 32,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const uint8_t flags = data[0];
    const DWORD type = data[1] % 8;
    const DWORD reported = data[2] | static_cast<DWORD>(data[3]) << 8;
    const std::vector<BYTE> bytes(data + 4, data + size);

    const bool messenger = flags & kMessenger;
    const char* key = messenger ? "SOFTWARE\\Microsoft\\MSNMessenger" : "SOFTWARE\\Orvane\\Vendrel2";
    const char* name = messenger ? "InstallationDirectory" : "BinDir";
    const std::string fileName = messenger ? "msnmsgr.exe" : "\\vendrel.exe";

    standin::World& w = standin::World::Get();
    w.Reset();
    if (flags & kKeyExists)
        w.AddKey(key);
    if ((flags & kKeyExists) && (flags & kValueExists)) {
        w.SetValue(key, name, type, bytes);
        if (flags & kOverrideSize)
            w.ReportSize(key, name, reported);
    }

    // What the value should give: its text up to the first zero byte within
    // the size reported, if it was read whole into the buffer.
    std::string text;
    if ((flags & kKeyExists) && (flags & kValueExists) && bytes.size() <= kPathBufferSize) {
        char model[kPathBufferSize] = {};
        if (!bytes.empty())
            std::memcpy(model, bytes.data(), bytes.size());
        const DWORD valid = (flags & kOverrideSize) ? reported : DWORD(bytes.size());
        if (valid <= kPathBufferSize)
            text.assign(model, strnlen(model, valid));
    }
    std::string expected = text.empty() || text.size() + fileName.size() >= kPathBufferSize
            || !FullPath(text + fileName)
        ? std::string()
        : text + fileName;
    if (!expected.empty()) {
        standin::Program program;
        program.lifetimeMs = 5;
        program.startFails = flags & kStartFails;
        if (flags & kInstalled)
            w.Install(expected, program);
    }

    struct Holder {
        PathBuffer path;
    };
    Holder* holder = new Holder;
    std::memset(holder->path, 'G', sizeof holder->path);
    PathBuffer& path = messenger ? GetMSNPath(holder->path) : GetVendrelPath(holder->path);
    Require(&path == &holder->path, "the lookup returns the caller's buffer");
    Require(std::memchr(path, '\0', kPathBufferSize) != NULL, "the path is terminated");
    Require(path == expected, "the path is empty or the value's text and the file name");

    if (messenger) {
        ExecCmdWait(path);
    } else {
        HANDLE addOn = ExecCmdHandle(path);
        if (addOn != NULL)
            CloseHandle(addOn);
    }
    delete holder;

    const std::vector<std::string> starts = w.CallsNamed("CreateProcessA");
    const bool startable = !expected.empty() && expected.find('"') == std::string::npos;
    Require(starts.size() == (startable ? 1u : 0u), "a start is tried exactly when the path is usable");
    if (startable)
        Require(starts[0].find("(\"" + expected + "\", \"\"" + expected + "\"\", NULL, NULL, 0, 0x0,")
                    != std::string::npos,
                "the program is named outright, and the command line is its quoted path");
    const bool started = startable && (flags & kInstalled) && !(flags & kStartFails);
    Require(w.Boxes().size() == (started ? 0u : 1u), "a failed start shows one box");
    Require(w.OpenHandles() == 0, "every handle is released");
    Require(w.Misuses().empty(), "no handle is misused or released twice");
    return 0;
}

#include "standin/standin.h"
#include "standin/text.h"

#include <algorithm>
#include <cctype>

namespace standin {

Program& World::Install(const std::string& path, const Program& program)
{
    return programs_[Lower(path)] = program;
}

const Program* World::FindProgram(const std::string& path) const
{
    auto found = programs_.find(Lower(path));
    return found == programs_.end() ? NULL : &found->second;
}

namespace {

std::string BaseName(const std::string& path)
{
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool FullyQualified(const std::string& path)
{
    return (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0]))
            && path[1] == ':' && path[2] == '\\')
        || path.compare(0, 2, "\\\\") == 0;
}

// A relative name as Windows completes it from a folder: "\x" from the
// current drive's root, "C:x" from the current folder of drive C.
std::string Complete(const std::string& name, const std::string& dir)
{
    if (!name.empty() && name[0] == '\\')
        return std::string(kCurrentDir, 2) + name;
    if (name.size() >= 2 && name[1] == ':') {
        if (std::toupper(static_cast<unsigned char>(name[0])) == kCurrentDir[0])
            return kCurrentDir + name.substr(2);
        return name.substr(0, 2) + "\\" + name.substr(2);
    }
    return dir + name;
}

}  // namespace

std::string World::Locate(const std::string& name, bool search) const
{
    if (name.empty())
        return "";
    if (FullyQualified(name))
        return FindProgram(name) != NULL ? name : "";
    if (!search) {
        const std::string path = Complete(name, kCurrentDir);
        return FindProgram(path) != NULL ? path : "";
    }
    for (const char* dir : kSearchDirs) {
        std::string path = Complete(name, dir);
        if (FindProgram(path) != NULL)
            return path;
    }
    return "";
}

DWORD World::Start(const std::string& path, const std::string& commandLine, uint64_t lifetimeMs)
{
    DWORD pid = Spawn(BaseName(path), now_, lifetimeMs);
    processes_.back().commandLine = commandLine;
    const Program* program = FindProgram(path);
    if (program != NULL && program->onStart) {
        Process started = processes_.back();  // onStart may add processes
        program->onStart(started);
    }
    return pid;
}

}  // namespace standin

using standin::World;

extern "C" {

BOOL WINAPI CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                           LPSECURITY_ATTRIBUTES processAttributes,
                           LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                           DWORD creationFlags, LPVOID environment, LPCSTR currentDirectory,
                           LPSTARTUPINFOA startupInfo, LPPROCESS_INFORMATION processInformation)
{
    World& w = World::Get();
    w.Record("CreateProcessA(" + standin::Quote(applicationName) + ", "
             + standin::Quote(commandLine) + ", " + standin::Ptr(processAttributes) + ", "
             + standin::Ptr(threadAttributes) + ", " + std::to_string(inheritHandles) + ", "
             + standin::Hex(creationFlags) + ", " + standin::Ptr(environment) + ", "
             + standin::Quote(currentDirectory) + ", cb="
             + (startupInfo ? std::to_string(startupInfo->cb) : std::string("NULL")) + ")");
    if (commandLine == NULL || startupInfo == NULL || processInformation == NULL) {
        w.Misuse("CreateProcessA without a command line, start-up record or result");
        return FALSE;
    }
    if (startupInfo->cb != sizeof(STARTUPINFOA))
        return FALSE;
    // Windows reads the desktop, title and reserved fields whatever dwFlags selects: no stray byte.
    const BYTE* record = reinterpret_cast<const BYTE*>(startupInfo);
    if (std::any_of(record + sizeof startupInfo->cb, record + sizeof *startupInfo,
                    [](BYTE b) { return b != 0; })) {
        w.Misuse("CreateProcessA with a start-up record set beyond its size");
        return FALSE;
    }

    const std::string line = commandLine;
    std::string path;
    if (applicationName != NULL) {
        // Named outright: never searched for, and no extension is assumed.
        path = w.Locate(applicationName, false);
    } else {
        // Found from the command line: a quoted name runs to the closing
        // quote; an unquoted one is tried at each space in turn, shortest
        // first, then whole. Each is searched for unless it is a full path,
        // with ".exe" assumed.
        std::vector<std::string> candidates;
        if (!line.empty() && line[0] == '"') {
            size_t close = line.find('"', 1);
            candidates.push_back(line.substr(1, close == std::string::npos ? std::string::npos
                                                                             : close - 1));
        } else {
            for (size_t space = line.find(' '); space != std::string::npos;
                 space = line.find(' ', space + 1))
                candidates.push_back(line.substr(0, space));
            candidates.push_back(line);
        }
        for (size_t i = 0; i < candidates.size() && path.empty(); ++i) {
            path = w.Locate(candidates[i], true);
            if (path.empty())
                path = w.Locate(candidates[i] + ".exe", true);
        }
    }
    const standin::Program* program = path.empty() ? NULL : w.FindProgram(path);
    if (program == NULL || program->startFails)
        return FALSE;
    DWORD pid = w.Start(path, line, program->lifetimeMs);
    processInformation->dwProcessId = pid;
    processInformation->dwThreadId = pid + 1;
    processInformation->hProcess = w.Issue({World::kProcess, PROCESS_ALL_ACCESS, pid, {}, 0, ""});
    processInformation->hThread = w.Issue({World::kThread, 0x1FFFFFu, pid, {}, 0, ""});
    return TRUE;
}

}  // extern "C"

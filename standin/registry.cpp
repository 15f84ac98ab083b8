#include "standin/standin.h"
#include "standin/text.h"

#include <cstring>

namespace standin {

void World::AddKey(const std::string& subKey)
{
    registry_[Lower(subKey)];
}

void World::SetValue(const std::string& subKey, const std::string& name, DWORD type,
                     const std::vector<BYTE>& bytes)
{
    registry_[Lower(subKey)][Lower(name)] = Value{type, bytes, false, 0};
}

void World::SetString(const std::string& subKey, const std::string& name,
                      const std::string& text, DWORD type)
{
    std::vector<BYTE> bytes(text.begin(), text.end());
    bytes.push_back(0);
    SetValue(subKey, name, type, bytes);
}

void World::ReportSize(const std::string& subKey, const std::string& name, DWORD size)
{
    Value* value = FindValue(subKey, name);
    if (value == NULL)
        throw Fault("ReportSize on a missing value");
    value->sizeOverridden = true;
    value->reportedSize = size;
}

bool World::KeyExists(const std::string& subKey) const
{
    return registry_.count(Lower(subKey)) != 0;
}

World::Value* World::FindValue(const std::string& subKey, const std::string& name)
{
    auto key = registry_.find(Lower(subKey));
    if (key == registry_.end())
        return NULL;
    auto value = key->second.find(Lower(name));
    return value == key->second.end() ? NULL : &value->second;
}

}  // namespace standin

using standin::World;

extern "C" {

LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    World& w = World::Get();
    w.Record("RegOpenKeyExA(" + standin::Hex(reinterpret_cast<uintptr_t>(key)) + ", "
             + standin::Quote(subKey) + ", " + std::to_string(options) + ", "
             + standin::Hex(access) + ")");
    if (result == NULL || subKey == NULL) {
        w.Misuse("RegOpenKeyExA without a sub-key or result");
        return 87;  // ERROR_INVALID_PARAMETER
    }
    if (key != HKEY_LOCAL_MACHINE || !w.KeyExists(subKey))
        return ERROR_FILE_NOT_FOUND;
    World::HandleInfo info = {World::kKey, access, 0, {}, 0, subKey};
    *result = reinterpret_cast<HKEY>(w.Issue(info));
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD size)
{
    World& w = World::Get();
    w.Record("RegQueryValueExA(" + standin::Ptr(key) + ", " + standin::Quote(valueName) + ", "
             + standin::Ptr(reserved) + ", " + (type ? "type" : "NULL") + ", "
             + (data ? "data" : "NULL") + ", "
             + (size ? std::to_string(*size) : std::string("NULL")) + ")");
    World::HandleInfo* info = w.Lookup(reinterpret_cast<HANDLE>(key), World::kKey,
                                       "RegQueryValueExA");
    if (info == NULL)
        return 6;  // ERROR_INVALID_HANDLE
    if (reserved != NULL || (data != NULL && size == NULL)) {
        w.Misuse("RegQueryValueExA with a reserved pointer or data without size");
        return 87;
    }
    World::Value* value = w.FindValue(info->subKey, valueName ? valueName : "");
    if (value == NULL)
        return ERROR_FILE_NOT_FOUND;
    if (type != NULL)
        *type = value->type;
    const DWORD length = static_cast<DWORD>(value->bytes.size());
    if (data == NULL) {
        if (size != NULL)
            *size = length;
        return ERROR_SUCCESS;
    }
    const DWORD room = *size;
    if (length > room) {
        // Windows leaves the buffer undefined here; fill it with the part of
        // the value that fits, unterminated, to catch a caller that uses it.
        if (room > 0)
            std::memcpy(data, value->bytes.data(), room);
        *size = length;
        return ERROR_MORE_DATA;
    }
    if (length > 0)
        std::memcpy(data, value->bytes.data(), length);
    *size = value->sizeOverridden ? value->reportedSize : length;
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY key)
{
    World& w = World::Get();
    w.Record("RegCloseKey(" + standin::Ptr(key) + ")");
    return w.Release(reinterpret_cast<HANDLE>(key), World::kKey, "RegCloseKey") ? ERROR_SUCCESS
                                                                                : 6;
}

}  // extern "C"

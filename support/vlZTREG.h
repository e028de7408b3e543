// support/vlZTREG.h
// The configuration store of both programs: values below HKEY_LOCAL_MACHINE of the local
// computer, or of the computer named by vlZTREG_Connect.
//
// Results: 0 is success unless noted. Non-zero results are the registry's error codes
// (platform/registry.h): 2 the value or key is missing, 13 the value has another type,
// 87 the key path is empty, has an empty name or names another root.
// A key path may start with "HKLM\" or "HKEY_LOCAL_MACHINE\"; any other root is refused.
// All operations are safe from many threads; a caller that reads, changes and writes back a
// value holds its own lock around the three.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/registry.h"

namespace vlzt {

using platform::HKEY;

// Access values of vlZTREG_OpenKey.
inline constexpr uint32_t kRegReadValues = 1;
inline constexpr uint32_t kRegWriteValues = 2;
inline constexpr uint32_t kRegReadEnumerate = 0x20019;

// A flag is stored as a DWORD; any non-zero number reads as 1. On a missing value `flag`
// takes `def` when given and is untouched otherwise.
int vlZTREG_ReadFlag(const std::string& keyPath, const std::string& valueName, int32_t* flag,
                     std::optional<int32_t> def = std::nullopt);

// A DWORD; a value of any other type reads as missing (13, the output as for missing).
int vlZTREG_ReadNumber(const std::string& keyPath, const std::string& valueName,
                       int32_t* number, std::optional<int32_t> def = std::nullopt);

// A REG_SZ or REG_EXPAND_SZ text, as stored (no expansion), cut to size - 1 characters.
// On a missing value `text` takes `def` (cut the same way) when given and is untouched
// otherwise. A size of 0 is refused with 87.
int vlZTREG_ReadString(const std::string& keyPath, const std::string& valueName,
                       std::string& text, size_t size, const char* def = nullptr);

// Create or replace the value; the key and its parents are created when missing.
int vlZTREG_WriteFlag(const std::string& keyPath, const std::string& valueName, int32_t flag);
int vlZTREG_WriteNumber(const std::string& keyPath, const std::string& valueName,
                        int32_t number);
int vlZTREG_WriteString(const std::string& keyPath, const std::string& valueName,
                        const std::string& text);

// Opens an existing key with `access` (kRegReadValues, kRegWriteValues, kRegReadEnumerate
// or a platform KEY_* mask). Close it with vlZTREG_CloseKey.
int vlZTREG_OpenKey(const std::string& keyPath, uint32_t access, HKEY* key);
void vlZTREG_CloseKey(HKEY key);

// 1 when the key exists now (created with its parents when missing), else 0.
int vlZTREG_CreateKey(const std::string& keyPath);

// Non-zero when a value was deleted, 0 when there was none (or it could not be deleted).
int vlZTREG_DeleteValue(HKEY key, const std::string& valueName);

int vlZTREG_KeyReadFlag(HKEY key, const std::string& valueName, int32_t* flag);
int vlZTREG_KeyReadNumber(HKEY key, const std::string& valueName, int32_t* number);
int vlZTREG_KeyReadString(HKEY key, const std::string& valueName, std::string& text,
                          size_t size);
int vlZTREG_KeyWriteFlag(HKEY key, const std::string& valueName, int32_t flag);
int vlZTREG_KeyWriteNumber(HKEY key, const std::string& valueName, int32_t number);
int vlZTREG_KeyWriteString(HKEY key, const std::string& valueName, const std::string& text);

// Deletes `subKey` of `parentKeyPath` and everything below it. `reserved` is 0.
// 0 when the subkey is gone (also when it never existed).
int vlZTREG_DeleteSubKey(const std::string& parentKeyPath, const std::string& subKey,
                         int reserved);

// Makes every later call of this process act on the registry of `computer` (through the
// computer map of the machine root); "", "." or this computer's name return to the local
// registry. Non-zero (53) for an unknown computer, and the previous target stays.
int vlZTREG_Connect(const std::string& computer);

// HKEY_LOCAL_MACHINE of the connected computer, or null when acting locally.
HKEY vlZTREG_RemoteRoot();

// Strips "HKLM\" or "HKEY_LOCAL_MACHINE\" from `keyPath`; false when it names another root
// ("HKCU\...", "HKEY_USERS\...").
bool vlZTREG_LocalPath(const std::string& keyPath, std::string& path);

}  // namespace vlzt

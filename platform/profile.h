// platform/profile.h
// Profile (INI) files: sections of key=value lines, read and written the way the host
// platform's profile-string calls do.
//
// Section and key names are case-insensitive. A missing file, section or key reads as the
// default. Values lose surrounding blanks and one pair of enclosing quotes. A write replaces
// the file atomically and keeps every other line as it was; writers in all processes are
// serialised by a lock on the file's folder. Lines that are neither a section header nor a
// key=value pair are kept but never read; CR LF line ends are understood.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vlzt::platform {

// With `section` and `key`: copies the value (or `def`, blanks at its end dropped) into
// `buffer` as a zero-terminated text cut to size - 1 characters; returns its length.
// With `key` null: the key names of the section; with `section` null: the section names.
// Lists are zero-terminated names followed by one more zero; when the buffer is too small
// the list is cut and still ends in two zeros, and the result is size - 2.
// A null or zero-sized buffer gives 0.
uint32_t GetPrivateProfileString(const char* section, const char* key, const char* def,
                                 char* buffer, uint32_t size, const std::string& file);

// The value as a number: leading blanks, an optional sign and decimal digits; a value that
// does not start with a number reads as 0; a missing one as `def`.
int32_t GetPrivateProfileInt(const char* section, const char* key, int32_t def,
                             const std::string& file);

// Sets `key` of `section` to `value`, creating the file and the section when missing.
// A null `value` deletes the key, a null `key` deletes the whole section.
// Returns true on success; false leaves the file as it was (errno tells why).
bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const std::string& file);

// Replaces the keys of `section` (created when missing) with `pairs` in their order, in one
// write; lines of the section that are not keys are kept. Same result as writing the keys
// one by one into a section emptied first.
bool WritePrivateProfileSection(const std::string& section,
                                const std::vector<std::pair<std::string, std::string>>& pairs,
                                const std::string& file);

// Writes a number as decimal text.
bool WritePrivateProfileInt(const char* section, const char* key, int32_t value,
                            const std::string& file);

// Convenience forms for C++ callers: the same semantics, no size limit.
std::string GetProfileValue(const std::string& section, const std::string& key,
                            const std::string& def, const std::string& file);
std::vector<std::string> GetProfileSections(const std::string& file);
std::vector<std::string> GetProfileKeys(const std::string& section, const std::string& file);

}  // namespace vlzt::platform

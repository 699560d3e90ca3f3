// Guards for outside bytes and damaged files, shared by every reader of them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Deepest nesting of arrays and objects any JSON reader here accepts. Our own documents stay far
// below it; a deeper one is malformed, since converting it would run recursive code into the stack.
inline constexpr size_t kMaxJSONNesting = 256;

// Whether the brackets of a JSON text (outside its strings) nest no deeper than maxDepth. Linear,
// no recursion; the text need not be well-formed.
bool jsonNestingWithin(std::string_view text, size_t maxDepth = kMaxJSONNesting);

// The bytes of a plain file; never waits on a FIFO or a device. nullopt with the reason in *error
// when the file cannot be read or is no plain file; *missing tells whether it does not exist.
std::optional<std::string> readPlainFile(const std::string& path, std::string* error = nullptr,
                                         bool* missing = nullptr);

// Renames a damaged file to "<path>.damaged-<UTC time>" (with a counter when that name is taken),
// so what it held is kept and a fresh file can take its place. The new path, or nullopt (error set).
std::optional<std::string> moveDamagedFileAside(const std::string& path, std::string* error = nullptr);

// Copies a damaged file, left in place for its readers, to the name moveDamagedFileAside would give
// it, readable by the owner only. When the newest copy holds the same bytes, that copy is named
// instead. The copy's path, or nullopt (error set) when path is no plain file that can be read.
std::optional<std::string> copyDamagedFile(const std::string& path, std::string* error = nullptr);

// Removes the copies that moveDamagedFileAside or copyDamagedFile made of path, all but the `keep`
// newest. Names of another form are left alone.
void removeDamagedCopies(const std::string& path, size_t keep = 0);

// A LevelDB folder that has lost its CURRENT file but still holds tables, a log or a manifest:
// LevelDB would start an empty database there and delete them. The name of one such file, or nullopt
// when nothing would be lost (CURRENT present, no such file, no folder, or only the first manifest
// of a creation cut short before its CURRENT was written).
std::optional<std::string> levelDbTablesWithoutCurrent(const std::string& directory);

}  // namespace platform

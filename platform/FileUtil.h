#pragma once
// Durable file writing for the backup store: write under a temporary name,
// flush and fsync, rename into place, fsync the directory. A crash leaves
// either the old file or the new one, never a torn one.

#include <string>

namespace file_util {

// Creates `path` and its missing parents. Empty string on success, else why not.
std::string makeDirectories(const std::string& path);
// Replaces `path` with `data` atomically and durably. Empty on success.
std::string writeAtomically(const std::string& path, const std::string& data);
// fsyncs a directory so that renames in it survive a crash.
bool syncDirectory(const std::string& path);
bool readFile(const std::string& path, std::string& data);
bool exists(const std::string& path);
// Text of errno for messages.
std::string lastErrorText();

} // namespace file_util

#pragma once
// File operations of the local backup (and of the member configuration on
// flash and the daemon's metrics file, which are replaced the same way).
// Every replacement is atomic with respect to the process dying: a reader
// finds the old content or the new content in full, never a mixture or a
// truncated file.

#include <cstddef>
#include <string>
#include <string_view>

namespace Lodestore {
namespace BackupFile {

enum class ReadResult { ok, missing, failed };

// The largest backup file read back. Our own are kilobytes; a larger one was
// put there by someone else, and reading it would only cost the start.
inline constexpr size_t kMaxBytes = size_t{64} << 20;

// The whole content of the backup file at `path`; `error` says why it could
// not be used: not a regular file (refused without waiting for a FIFO's
// writer), larger than kMaxBytes, unreadable.
ReadResult readWhole(const std::string& path, std::string& content, std::string& error);

// Whether a replacement must survive a crash of the machine, or only of the
// process (a file rewritten every few seconds, whose loss costs nothing).
enum class Durability { synced, unsynced };

// Replaces `dir`/`name` with `content`: the content goes to a new file
// `name`.tmp (whatever stood there is removed first, never written through),
// is synced to disk unless `durability` says otherwise, and is renamed over
// the old file. The rename itself is made durable by syncDir(), which the
// caller runs once for a batch of files.
bool replace(const std::string& dir, const std::string& name, std::string_view content, std::string& error,
             Durability durability = Durability::synced);

// Makes the renames and removals done in `dir` durable.
bool syncDir(const std::string& dir, std::string& error);

// Removes `dir`/`name`; a missing file is not an error.
bool remove(const std::string& dir, const std::string& name, std::string& error);

// Renames `dir`/`name` to `dir`/`newName`, replacing what is there.
bool rename(const std::string& dir, const std::string& name, const std::string& newName, std::string& error);

// Creates `dir` and its missing parents.
bool makeDirs(const std::string& dir, std::string& error);

// Removes the temporary files of writes that a killed process left behind.
void removeLeftovers(const std::string& dir);

// Suffix of the temporary file a replacement writes first.
inline constexpr std::string_view kTempSuffix = ".tmp";

}  // namespace BackupFile
}  // namespace Lodestore

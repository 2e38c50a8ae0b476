#include "platform/lodestore/BackupFile.h"

#include "platform/framework/BoundedFile.h"
#include "platform/framework/Fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

namespace Lodestore {
namespace BackupFile {
namespace {

std::string sysError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

std::string join(const std::string& dir, const std::string& name) { return dir + "/" + name; }


bool writeAll(int fd, std::string_view content) {
  const char* p = content.data();
  size_t left = content.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

ReadResult readWhole(const std::string& path, std::string& content, std::string& error) {
  try {
    // A missing directory was reported when it was set.
    std::optional<std::string> text = Zem::readBoundedFile(path, kMaxBytes, true);
    if (!text) return ReadResult::missing;
    content = std::move(*text);
    return ReadResult::ok;
  } catch (const Zem::FileRefused& e) {
    error = e.what();
    return ReadResult::failed;
  }
}

bool replace(const std::string& dir, const std::string& name, std::string_view content, std::string& error,
             Durability durability) {
  const std::string path = join(dir, name);
  const std::string tmp = path + std::string(kTempSuffix);
  // Whatever stands at the temporary name (a crash's leftover, or a link
  // planted by someone who can write the directory) is removed, and the new
  // file must be one we create: writing through a link would overwrite the
  // file it names, and the rename would then publish the link itself.
  if (::unlink(tmp.c_str()) != 0 && errno != ENOENT) {
    error = sysError("cannot remove", tmp);
    return false;
  }
  Zem::Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (fd.get() < 0) {
    error = sysError("cannot create", tmp);
    return false;
  }
  // The content must be on disk before the rename publishes it; otherwise a
  // crash of the machine could leave the new name on an empty file.
  if (!writeAll(fd.get(), content)) {
    error = sysError("cannot write", tmp);
    ::unlink(tmp.c_str());
    return false;
  }
  if (durability == Durability::synced && ::fsync(fd.get()) != 0) {
    error = sysError("cannot sync", tmp);
    ::unlink(tmp.c_str());
    return false;
  }
  if (fd.close() != 0) {
    error = sysError("cannot close", tmp);
    ::unlink(tmp.c_str());
    return false;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    error = sysError("cannot rename " + tmp + " to", path);
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

bool syncDir(const std::string& dir, std::string& error) {
  Zem::Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) {
    error = sysError("cannot open directory", dir);
    return false;
  }
  if (::fsync(fd.get()) != 0) {
    error = sysError("cannot sync directory", dir);
    return false;
  }
  return true;
}

bool remove(const std::string& dir, const std::string& name, std::string& error) {
  const std::string path = join(dir, name);
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    error = sysError("cannot remove", path);
    return false;
  }
  return true;
}

bool rename(const std::string& dir, const std::string& name, const std::string& newName, std::string& error) {
  const std::string from = join(dir, name);
  const std::string to = join(dir, newName);
  if (::rename(from.c_str(), to.c_str()) != 0) {
    error = sysError("cannot rename " + from + " to", to);
    return false;
  }
  return true;
}

bool makeDirs(const std::string& dir, std::string& error) {
  if (dir.empty()) {
    error = "empty backup directory name";
    return false;
  }
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    size_t slash = dir.find('/', pos + 1);
    partial = dir.substr(0, slash);
    pos = slash;
    if (partial.empty() || partial == "/") continue;
    if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
      error = sysError("cannot create directory", partial);
      return false;
    }
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = "not a directory: " + dir;
    return false;
  }
  return true;
}

void removeLeftovers(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> stale;
  while (dirent* e = ::readdir(d)) {
    std::string_view n(e->d_name);
    if (n.size() > kTempSuffix.size() && n.substr(n.size() - kTempSuffix.size()) == kTempSuffix) {
      stale.emplace_back(n);
    }
  }
  ::closedir(d);
  for (auto& n : stale) ::unlink(join(dir, n).c_str());
}

}  // namespace BackupFile
}  // namespace Lodestore

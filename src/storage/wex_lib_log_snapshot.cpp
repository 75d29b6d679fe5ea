// SPDX-License-Identifier: MIT
#include "wex_lib_log_snapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "codec/snapshot_format.h"
#include "file_io.h"

namespace velorin {
namespace {

constexpr int kOk = 0;
constexpr int kFailed = 0x1000;
// The kernel gives up after as many links in one path lookup.
constexpr int kMaxLinks = 40;
// Names tried for the temporary file before giving up.
constexpr int kTemporaryNames = 100;

int refuse(const char* action, const char* reason, const char* path) {
  std::printf("%s snapshot ERROR!! %s [%s]\n", action, reason, path ? path : "(null)");
  return kFailed;
}

// Runs a save or load step and turns every exception it throws into a
// refusal, so that none leaves the library.
template <class Step>
int guarded(const char* action, const char* path, Step&& step) {
  try {
    const char* reason = step();
    return reason == nullptr ? kOk : refuse(action, reason, path);
  } catch (const std::bad_alloc&) {
    return refuse(action, "not enough memory", path);
  } catch (...) {
    return refuse(action, "unexpected failure", path);
  }
}

std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Follows the chain of symbolic links at `path` to the file it finally
// names, which need not exist yet, so that saving replaces that file and
// leaves the links in place. Only a regular file or a free name qualifies.
const char* resolve_target(std::string& path) {
  for (int links = 0;; ++links) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
      return errno == ENOENT ? nullptr : "cannot examine the path";
    if (S_ISREG(st.st_mode)) return nullptr;
    if (!S_ISLNK(st.st_mode)) return "not a regular file";
    if (links == kMaxLinks) return "too many symbolic links";
    char link[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), link, sizeof link);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof link) return "cannot read the symbolic link";
    const std::string to(link, static_cast<size_t>(n));
    path = to[0] == '/' ? to : folder_of(path) + "/" + to;
  }
}

// Named temporary files are ".wexlogsnap.<pid>.<n>.tmp" in the target's
// folder: short, whatever the target's name, and telling which process made
// them.
constexpr char kTemporaryPrefix[] = ".wexlogsnap.";
constexpr char kTemporarySuffix[] = ".tmp";

std::string temporary_name(const std::string& folder, long pid, int i) {
  return folder + "/" + kTemporaryPrefix + std::to_string(pid) + "." + std::to_string(i) +
         kTemporarySuffix;
}

// The process that made the temporary file `name`, or 0 when the name is
// not of this library's naming.
long maker_of(const char* name) {
  const size_t prefix = sizeof kTemporaryPrefix - 1, suffix = sizeof kTemporarySuffix - 1;
  const size_t length = std::strlen(name);
  if (length <= prefix + suffix || std::strncmp(name, kTemporaryPrefix, prefix) != 0 ||
      std::strcmp(name + length - suffix, kTemporarySuffix) != 0) {
    return 0;
  }
  char* end = nullptr;
  const long pid = std::strtol(name + prefix, &end, 10);
  if (pid <= 0 || *end != '.') return 0;
  const char* counter = end + 1;
  if (counter == name + length - suffix) return 0;
  for (const char* c = counter; c != name + length - suffix; ++c) {
    if (*c < '0' || *c > '9') return 0;
  }
  return pid;
}

// Removes the temporary files of saves killed before they renamed them: those
// of this library's naming whose process no longer exists. Those of this
// process may belong to a save running in another thread.
void remove_stale_temporaries(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  const long self = ::getpid();
  // The 64-bit form: on a 32-bit device readdir fails on large inode numbers.
  while (const dirent64* entry = ::readdir64(dir)) {
    const long pid = maker_of(entry->d_name);
    if (pid == 0 || pid == self || pid > INT_MAX) continue;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
      static_cast<void>(::unlinkat(::dirfd(dir), entry->d_name, 0));
    }
  }
  ::closedir(dir);
}

// Calls make(name) with this process's temporary names in `folder`, one
// after the other while the name is taken (EEXIST); true once make succeeds.
template <class Make>
bool with_free_name(const std::string& folder, std::string& name, Make&& make) {
  for (int i = 0; i < kTemporaryNames; ++i) {
    name = temporary_name(folder, ::getpid(), i);
    if (make(name)) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

// Creates a new named file in `folder`. O_EXCL never opens an existing file,
// nor follows a link planted at the name; the file gets the permissions of
// any new file (0666 less the umask).
int create_temporary(const std::string& folder, std::string& name) {
  int fd = -1;
  with_free_name(folder, name, [&fd](const std::string& free) {
    fd = ::open(free.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    return fd >= 0;
  });
  return fd;
}

// Gives the file without a name open at `fd` a free temporary name in
// `folder`; false when the filesystem or the system refuses.
bool link_in(int fd, const std::string& folder, std::string& name) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return with_free_name(folder, name, [&](const std::string& free) {
    return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, free.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
           ::linkat(fd, "", AT_FDCWD, free.c_str(), AT_EMPTY_PATH) == 0;
  });
}

// A snapshot that replaces a file keeps that file's permission bits, and its
// owner where this process may give it away, as if it had been rewritten in
// place: a file the user made private stays private.
void keep_permissions(const std::string& target, int fd) {
  struct stat st {};
  if (::stat(target.c_str(), &st) != 0) return;
  // Where the process may not give the file away, it stays the process's own.
  static_cast<void>(::fchown(fd, st.st_uid, st.st_gid) == 0);
  static_cast<void>(::fchmod(fd, st.st_mode & 07777) == 0);
}

// Gives the new file the target's permissions, writes `bytes` and flushes
// them to disk.
const char* fill(const std::string& target, int fd, const std::vector<unsigned char>& bytes) {
  keep_permissions(target, fd);
  if (!write_all(fd, bytes.data(), bytes.size())) return "cannot write the file";
  if (::fsync(fd) != 0) return "cannot flush the file to disk";
  return nullptr;
}

// Renames the complete temporary file over `target`, or removes it.
const char* put_in_place(descriptor& file, const std::string& temporary,
                         const std::string& target) {
  const char* reason = nullptr;
  if (!file.close()) {
    reason = "cannot write the file";
  } else if (::rename(temporary.c_str(), target.c_str()) != 0) {
    reason = "cannot replace the file";
  }
  if (reason != nullptr) ::unlink(temporary.c_str());
  return reason;
}

// Writes `bytes` to a file without a name in the target's folder, flushes it
// to disk and only then links it in under a temporary name that it keeps for
// as long as a rename takes, so that a process killed at any instant leaves
// no file behind but, at worst, one the next save removes. Where the
// filesystem has no files without a name, a named temporary file is written
// instead.
const char* replace_file(const std::string& target, const std::vector<unsigned char>& bytes) {
  const std::string folder = folder_of(target);
  remove_stale_temporaries(folder);
  std::string temporary;
  descriptor unnamed(::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
  if (unnamed.get() >= 0) {
    if (const char* reason = fill(target, unnamed.get(), bytes)) return reason;
    if (link_in(unnamed.get(), folder, temporary)) return put_in_place(unnamed, temporary, target);
  }
  descriptor named(create_temporary(folder, temporary));
  if (named.get() < 0) return "cannot create the file";
  if (const char* reason = fill(target, named.get(), bytes)) {
    ::unlink(temporary.c_str());
    return reason;
  }
  return put_in_place(named, temporary, target);
}

const char* save(wex_lib_log_storage& storage, const char* path) {
  const unsigned int size = storage.get_ring_buffer_size();
  if (size == 0) return "the ring has no bytes";
  std::vector<unsigned char> file(snapshot_format::kHeaderSize + size);
  WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_ info{};
  if (storage.get_ring_buffer(&info, file.data() + snapshot_format::kHeaderSize) != kOk ||
      info.size != size) {
    return "the ring could not be read";
  }
  snapshot_format::encode_header(
      ring_chain::ring_state{info.empty, info.write_pos, info.read_pos, info.size}, file.data());
  std::string target = path;
  if (const char* reason = resolve_target(target)) return reason;
  return replace_file(target, file);
}

// Checks the header before anything else is read, then reads exactly the
// ring bytes it announces, so that no file costs more than its header says.
const char* load(wex_lib_log_storage& storage, const char* path) {
  // Non-blocking, so that opening a FIFO does not wait for a writer.
  descriptor in(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (in.get() < 0) return "cannot open the file";
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return "cannot examine the file";
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  unsigned char head[snapshot_format::kHeaderSize];
  size_t got = 0;
  if (!read_up_to(in.get(), head, sizeof head, got)) return "cannot read the file";
  ring_chain::ring_state info{};
  if (const char* reason = snapshot_format::decode_header(head, got, info)) return reason;
  const auto file_size = static_cast<uint64_t>(st.st_size);
  if (const char* reason = snapshot_format::check_file_size(info, file_size)) return reason;
  // The file may change after fstat: its length counts as read, with one
  // byte past the ring to tell a longer file.
  std::vector<unsigned char> ring(info.size);
  unsigned char past_ring;
  size_t past = 0;
  if (!read_up_to(in.get(), ring.data(), ring.size(), got) ||
      !read_up_to(in.get(), &past_ring, 1, past)) {
    return "cannot read the file";
  }
  if (const char* reason =
          snapshot_format::check_file_size(info, uint64_t{got} + sizeof head + past)) {
    return reason;
  }
  // The file keeps the empty flag in one byte, so it fits the control record's.
  const WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_ control{static_cast<int8_t>(info.empty), info.write_pos,
                                                   info.read_pos, info.size};
  if (storage.set_ring_buffer(control, ring.data()) != kOk) {
    return "ring positions or length prefixes are inconsistent";
  }
  return nullptr;
}

}  // namespace

int wex_lib_log_save_snapshot(wex_lib_log_storage& storage, const char* path) {
  if (path == nullptr) return refuse("Save", "no path", path);
  return guarded("Save", path, [&] { return save(storage, path); });
}

int wex_lib_log_load_snapshot(wex_lib_log_storage& storage, const char* path) {
  if (path == nullptr) return refuse("Load", "no path", path);
  return guarded("Load", path, [&] { return load(storage, path); });
}

}  // namespace velorin

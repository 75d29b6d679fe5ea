// SPDX-License-Identifier: MIT
#include "process_memory.h"

#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>

namespace wexlog {
namespace {

const char* const kPermissionHint =
    " (wexlog needs the right to trace it: the same user with "
    "/proc/sys/kernel/yama/ptrace_scope 0, or CAP_SYS_PTRACE)";

bool gone(int error) {
  return error == ENOENT || error == ESRCH;
}
bool refused(int error) {
  return error == EPERM || error == EACCES;
}

[[noreturn]] void fail(int error, const std::string& what) {
  if (gone(error)) throw input_error("no such process");
  std::string why = what + ": " + std::strerror(error);
  if (refused(error)) why += kPermissionHint;
  throw input_error(why);
}

std::string proc_path(pid_t pid, const char* file) {
  return "/proc/" + std::to_string(pid) + "/" + file;
}

// A file of /proc, whole; they are small and end.
std::string read_proc(pid_t pid, const char* file, const std::string& what) {
  const int fd = ::open(proc_path(pid, file).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail(errno, what);
  std::string text;
  char chunk[8192];
  for (ssize_t got; (got = ::read(fd, chunk, sizeof chunk)) != 0;) {
    if (got < 0) {
      const int error = errno;
      ::close(fd);
      fail(error, what);
    }
    text.append(chunk, static_cast<size_t>(got));
  }
  ::close(fd);
  return text;
}

struct mapping {
  uint64_t start = 0;
  uint64_t end = 0;
  std::string perms;
  std::string path;
};

std::vector<mapping> read_maps(pid_t pid) {
  std::istringstream in(read_proc(pid, "maps", "cannot read its mappings"));
  std::vector<mapping> maps;
  for (std::string line; std::getline(in, line);) {
    mapping m;
    char perms[8] = {};
    int path_at = 0;
    if (std::sscanf(line.c_str(), "%" SCNx64 "-%" SCNx64 " %7s %*s %*s %*s %n", &m.start, &m.end,
                    perms, &path_at) < 3) {
      continue;
    }
    m.perms = perms;
    if (path_at > 0) m.path = line.substr(static_cast<size_t>(path_at));
    maps.push_back(std::move(m));
  }
  return maps;
}

// The identification bytes of the process's program file.
void read_identity(pid_t pid, unsigned char (&ident)[EI_NIDENT]) {
  const std::string what = "cannot read its program file";
  const int fd = ::open(proc_path(pid, "exe").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail(errno, what);
  const ssize_t got = ::pread(fd, ident, EI_NIDENT, 0);
  const int error = errno;
  ::close(fd);
  if (got < 0) fail(error, what);
  if (got != EI_NIDENT || std::memcmp(ident, ELFMAG, SELFMAG) != 0) {
    throw input_error("its program file is not an ELF file");
  }
}

}  // namespace

process_memory::process_memory(pid_t pid) : pid_(pid) {
  unsigned char ident[EI_NIDENT] = {};
  read_identity(pid, ident);
  pointer_size_ = ident[EI_CLASS] == ELFCLASS64 ? 8 : 4;
  big_endian_ = ident[EI_DATA] == ELFDATA2MSB;
  if (!refresh()) throw input_error("no such process");
  // One byte of its data tells whether this user may read its memory at all.
  unsigned char probe = 0;
  if (!read_(data_.front().address, &probe, 1) && mem_fd_ < 0 && refused(errno)) {
    fail(errno, "cannot read its memory");
  }
}

process_memory::~process_memory() {
  if (mem_fd_ >= 0) ::close(mem_fd_);
}

bool process_memory::refresh() {
  std::vector<mapping> maps;
  try {
    maps = read_maps(pid_);
  } catch (const input_error&) {
    if (::kill(pid_, 0) != 0 && errno == ESRCH) return false;
    throw;
  }
  std::set<std::string> programs;  // the files the process runs code from
  for (const mapping& m : maps) {
    if (m.perms.find('x') != std::string::npos && !m.path.empty() && m.path[0] == '/') {
      programs.insert(m.path);
    }
  }
  data_.clear();
  extent_ = 0;
  const mapping* before = nullptr;
  for (const mapping& m : maps) {
    // Every writable mapping bounds a read, the shared ones of ring files
    // included; the descriptor is looked for in private data only.
    const bool writable = m.perms.compare(0, 2, "rw") == 0;
    if (writable) extent_ += m.end - m.start;
    const bool data = writable && m.perms.find('p') != std::string::npos;
    const bool of_program = programs.count(m.path) != 0;
    const bool continues = m.path.empty() && before != nullptr && before->end == m.start &&
                           programs.count(before->path) != 0;
    if (data && (of_program || continues)) data_.push_back({m.start, m.end - m.start});
    before = &m;
  }
  return !data_.empty();
}

const unsigned char* process_memory::bytes(uint64_t address, uint64_t n,
                                           std::vector<unsigned char>& scratch) const {
  if (n > extent_ || address + n < address || address + n > UINTPTR_MAX) return nullptr;
  scratch.resize(n);
  return read_(address, scratch.data(), n) ? scratch.data() : nullptr;
}

// process_vm_readv stops at the first page that is not mapped; a call that
// copies nothing ends the read.
bool process_memory::read_(uint64_t address, unsigned char* into, uint64_t n) const {
  if (mem_fd_ >= 0) return read_file_(address, into, n);
  for (uint64_t done = 0; done < n;) {
    iovec local{into + done, n - done};
    iovec remote{reinterpret_cast<void*>(static_cast<uintptr_t>(address + done)), n - done};
    const ssize_t got = ::process_vm_readv(pid_, &local, 1, &remote, 1, 0);
    if (got > 0) {
      done += static_cast<uint64_t>(got);
      continue;
    }
    // Some systems refuse the call itself but allow the file.
    if (got < 0 && (errno == EPERM || errno == ENOSYS)) {
      const int error = errno;
      mem_fd_ = ::open(proc_path(pid_, "mem").c_str(), O_RDONLY | O_CLOEXEC);
      if (mem_fd_ < 0) {
        errno = error;
        return false;
      }
      return read_file_(address + done, into + done, n - done);
    }
    return false;
  }
  return true;
}

bool process_memory::read_file_(uint64_t address, unsigned char* into, uint64_t n) const {
  for (uint64_t done = 0; done < n;) {
    const ssize_t got = ::pread(mem_fd_, into + done, n - done, static_cast<off_t>(address + done));
    if (got <= 0) return false;
    done += static_cast<uint64_t>(got);
  }
  return true;
}

}  // namespace wexlog

// SPDX-License-Identifier: MIT
// Plain descriptor I/O for the files the library writes and reads itself.
//
// write_all hands its bytes to the kernel in one write call and repeats the
// call only for what a short write left over. On a descriptor opened for
// append, one call places the bytes at the end of the file as one piece, so
// text made of whole lines reaches a file shared with other writers without
// a line being split between them.
#ifndef WEX_LIB_LOG_FILE_IO_H
#define WEX_LIB_LOG_FILE_IO_H

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace velorin {

// Closes a descriptor when it leaves scope.
class descriptor {
 public:
  explicit descriptor(int fd) : fd_(fd) {}
  ~descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  descriptor(const descriptor&) = delete;
  descriptor& operator=(const descriptor&) = delete;
  int get() const { return fd_; }
  // Closes now; false when the close reported an error (a late write error).
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Writes up to `size` bytes, stopping at the first write error; returns how
// many were written. Only write(2) is called, so a signal handler may use it.
inline size_t write_up_to(int fd, const void* data, size_t size) {
  const char* at = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, at + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

// Writes all `size` bytes; false on a write error (errno says which).
inline bool write_all(int fd, const void* data, size_t size) {
  return write_up_to(fd, data, size) == size;
}

// Reads up to `size` bytes, stopping early only at the end of the file;
// `got` tells how many arrived. False on a read error.
inline bool read_up_to(int fd, void* data, size_t size, size_t& got) {
  char* at = static_cast<char*>(data);
  got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, at + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace velorin

#endif  // WEX_LIB_LOG_FILE_IO_H

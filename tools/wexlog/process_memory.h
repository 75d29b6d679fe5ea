// SPDX-License-Identifier: MIT
// A running process's memory, read from outside without stopping it: with
// process_vm_readv, or through /proc/PID/mem where that call is refused or
// missing. Both need the right to trace the process: the same user and a
// ptrace scope that allows it (/proc/sys/kernel/yama/ptrace_scope 0), or
// CAP_SYS_PTRACE.
//
// The library's writable data, where its layout descriptor lies, is in the
// writable private mappings of the files the process runs code from (its
// program and libraries), and in the anonymous mapping that continues one of
// them (their zero-initialised data). Byte order and pointer width are those
// of the process's program file.
#ifndef WEXLOG_PROCESS_MEMORY_H
#define WEXLOG_PROCESS_MEMORY_H

#include <sys/types.h>

#include <string>

#include "core_file.h"
#include "memory_source.h"

namespace wexlog {

class process_memory : public memory_source {
 public:
  // Reads the process's mappings and checks that its memory can be read;
  // throws input_error, with the reason, for a process that does not exist
  // or whose memory this user may not read.
  explicit process_memory(pid_t pid);
  ~process_memory() override;
  process_memory(const process_memory&) = delete;
  process_memory& operator=(const process_memory&) = delete;

  // Reads the mappings again, as a running process maps and unmaps memory;
  // false once the process has ended (also when it is a zombie).
  bool refresh();

  bool big_endian() const override { return big_endian_; }
  unsigned int pointer_size() const override { return pointer_size_; }
  std::vector<memory_range> data_ranges() const override { return data_; }
  uint64_t extent() const override { return extent_; }
  const unsigned char* bytes(uint64_t address, uint64_t n,
                             std::vector<unsigned char>& scratch) const override;
  const char* name() const override { return "the process"; }

 private:
  bool read_(uint64_t address, unsigned char* into, uint64_t n) const;
  bool read_file_(uint64_t address, unsigned char* into, uint64_t n) const;

  pid_t pid_;
  bool big_endian_ = false;
  unsigned int pointer_size_ = sizeof(void*);
  std::vector<memory_range> data_;
  uint64_t extent_ = 0;
  // /proc/PID/mem, once process_vm_readv has been refused.
  mutable int mem_fd_ = -1;
};

}  // namespace wexlog

#endif  // WEXLOG_PROCESS_MEMORY_H

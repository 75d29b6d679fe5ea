// SPDX-License-Identifier: MIT
// Whether bytes lie in a part of the program's executable that is loaded
// without write access. The executable stays loaded while the process runs
// and nothing writes to those pages, so such bytes never change: the string
// literals a program passes as formats and function names lie there.
#ifndef WEX_LIB_LOG_READ_ONLY_IMAGE_H
#define WEX_LIB_LOG_READ_ONLY_IMAGE_H

#include <elf.h>
#include <link.h>
#include <sys/auxv.h>

#include <cstddef>
#include <cstdint>

namespace velorin {

// True when the `n` bytes at `text` lie wholly in one segment of the
// executable loaded without write access. The executable's program headers
// come from the auxiliary vector, so the check takes no lock and allocates
// nothing; where they or the address they are loaded at cannot be found,
// nothing lies in it.
inline bool in_read_only_image(const void* text, size_t n) {
  const auto* headers = reinterpret_cast<const ElfW(Phdr)*>(getauxval(AT_PHDR));
  const size_t count = getauxval(AT_PHNUM);
  if (headers == nullptr) return false;
  // How far the executable is loaded from its link-time addresses: where its
  // program headers are, less where their own header says they are.
  uintptr_t bias = 0;
  bool found = false;
  for (size_t i = 0; i < count; ++i) {
    if (headers[i].p_type != PT_PHDR) continue;
    bias = reinterpret_cast<uintptr_t>(headers) - headers[i].p_vaddr;
    found = true;
  }
  const auto at = reinterpret_cast<uintptr_t>(text);
  for (size_t i = 0; found && i < count; ++i) {
    const ElfW(Phdr)& h = headers[i];
    if (h.p_type != PT_LOAD || (h.p_flags & PF_W) != 0) continue;
    const uintptr_t start = bias + h.p_vaddr;
    if (at >= start && at - start <= h.p_memsz && n <= h.p_memsz - (at - start)) return true;
  }
  return false;
}

}  // namespace velorin

#endif  // WEX_LIB_LOG_READ_ONLY_IMAGE_H

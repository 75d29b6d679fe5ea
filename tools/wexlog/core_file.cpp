// SPDX-License-Identifier: MIT
#include "core_file.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "render.h"

namespace wexlog {
namespace {

std::string kind_of(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a pipe or FIFO";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "a special file";
}

struct elf_closer {
  void operator()(Elf* elf) const { elf_end(elf); }
};

// The identification bytes: an ELF file of a class and byte order we read.
void check_identity(const unsigned char* data, size_t size) {
  if (size < EI_NIDENT || std::memcmp(data, ELFMAG, SELFMAG) != 0) {
    throw input_error("not an ELF file");
  }
  if (data[EI_CLASS] != ELFCLASS32 && data[EI_CLASS] != ELFCLASS64) {
    throw input_error("unsupported ELF class " + std::to_string(data[EI_CLASS]));
  }
  if (data[EI_DATA] != ELFDATA2LSB && data[EI_DATA] != ELFDATA2MSB) {
    throw input_error("unsupported ELF byte order " + std::to_string(data[EI_DATA]));
  }
}

// How many program headers a whole core file has; throws when it is not
// one, or when they do not all fit in the file.
size_t program_header_count(Elf* elf) {
  GElf_Ehdr header;
  if (elf == nullptr || elf_kind(elf) != ELF_K_ELF || gelf_getehdr(elf, &header) == nullptr) {
    throw input_error("truncated ELF header");
  }
  if (header.e_type != ET_CORE) {
    throw input_error("not a core file (ELF type " + std::to_string(header.e_type) + ")");
  }
  // libelf quietly counts only the program headers that fit in the file;
  // a core cut short must be refused instead.
  size_t count = header.e_phnum;
  if (count == PN_XNUM) {
    GElf_Shdr first;
    Elf_Scn* section = elf_getscn(elf, 0);
    if (section == nullptr || gelf_getshdr(section, &first) == nullptr) {
      throw input_error("truncated program headers (no count in section 0)");
    }
    count = first.sh_info;
  }
  size_t readable = 0;
  if (elf_getphdrnum(elf, &readable) != 0 || readable < count) {
    throw input_error("truncated program headers (" + std::to_string(count) + " expected)");
  }
  return count;
}

GElf_Phdr read_program_header(Elf* elf, size_t i) {
  GElf_Phdr program;
  if (gelf_getphdr(elf, static_cast<int>(i), &program) == nullptr) {
    throw input_error("truncated program headers (" + std::string(elf_errmsg(-1)) + ")");
  }
  return program;
}

// Adds loaded segment `i` to the address ranges (dumped or not, cut at the
// top of the address space) and, when the core holds bytes of it, to the
// segments; throws when those bytes lie outside the file.
void collect_segment(const GElf_Phdr& program, size_t i, const unsigned char* data, size_t size,
                     unsigned int pointer_size, std::vector<segment>& segments,
                     std::vector<std::pair<uint64_t, uint64_t>>& ranges) {
  if (program.p_type != PT_LOAD) return;
  if (program.p_offset > size || program.p_filesz > size - program.p_offset) {
    throw input_error("segment " + std::to_string(i) + " at " + hex_address(program.p_vaddr) +
                      " lies outside the file: " + std::to_string(program.p_filesz) +
                      " bytes at offset " + std::to_string(program.p_offset) + ", file has " +
                      std::to_string(size) + " bytes (truncated core?)");
  }
  const uint64_t top = pointer_size == 4 ? 0x100000000ull : 0;
  const uint64_t extent = std::max(program.p_memsz, program.p_filesz);
  if (extent != 0) {
    const uint64_t end = program.p_vaddr + extent;
    const bool wraps = end < program.p_vaddr || (top != 0 && end > top);
    ranges.emplace_back(program.p_vaddr, wraps ? (top ? top : UINT64_MAX) : end);
  }
  if (program.p_filesz == 0) return;
  segments.push_back(segment{program.p_vaddr, extent, program.p_filesz, data + program.p_offset,
                             (program.p_flags & PF_W) != 0});
}

// A core maps each address once; lookups and the scan's address order rely
// on it. `segments` are sorted by address.
void check_no_overlap(const std::vector<segment>& segments) {
  for (size_t i = 1; i < segments.size(); ++i) {
    const segment& before = segments[i - 1];
    if (segments[i].address - before.address < before.file_size) {
      throw input_error("segments at " + hex_address(before.address) + " and " +
                        hex_address(segments[i].address) + " overlap");
    }
  }
}

// Nor does it load one file byte at two addresses: a forged core could
// otherwise have every byte scanned once per program header.
void check_no_aliasing(const std::vector<segment>& segments, const unsigned char* data) {
  std::vector<const segment*> by_offset;
  for (const segment& seg : segments) by_offset.push_back(&seg);
  std::stable_sort(by_offset.begin(), by_offset.end(),
                   [](const segment* a, const segment* b) { return a->bytes < b->bytes; });
  for (size_t i = 1; i < by_offset.size(); ++i) {
    const segment& before = *by_offset[i - 1];
    const segment& after = *by_offset[i];
    if (static_cast<uint64_t>(after.bytes - before.bytes) < before.file_size) {
      throw input_error("segments at " + hex_address(before.address) + " and " +
                        hex_address(after.address) + " load the same file bytes at offset " +
                        std::to_string(after.bytes - data));
    }
  }
}

// Sorts the address ranges and joins those that touch or overlap.
void merge_ranges(std::vector<std::pair<uint64_t, uint64_t>>& ranges) {
  std::sort(ranges.begin(), ranges.end());
  std::vector<std::pair<uint64_t, uint64_t>> merged;
  for (const auto& range : ranges) {
    if (!merged.empty() && range.first <= merged.back().second) {
      merged.back().second = std::max(merged.back().second, range.second);
    } else {
      merged.push_back(range);
    }
  }
  ranges = std::move(merged);
}

}  // namespace

file_bytes::file_bytes(const std::string& path) {
  // Without O_NONBLOCK, opening a FIFO would wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw input_error("cannot open: " + std::string(std::strerror(errno)));
  struct stat info {};
  const int status = ::fstat(fd, &info);
  const int error = errno;
  if (status != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    if (status != 0) throw input_error("cannot read: " + std::string(std::strerror(error)));
    throw input_error("not a regular file (" + kind_of(info.st_mode) + ")");
  }
  if (info.st_size > 0) {
    size_ = static_cast<size_t>(info.st_size);
    void* map = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    const int map_error = errno;
    ::close(fd);
    if (map == MAP_FAILED)
      throw input_error("cannot map: " + std::string(std::strerror(map_error)));
    data_ = static_cast<const unsigned char*>(map);
  } else {
    ::close(fd);
  }
}

file_bytes::~file_bytes() {
  if (data_ != nullptr) ::munmap(const_cast<unsigned char*>(data_), size_);
}

core_image::core_image(const unsigned char* data, size_t size) {
  check_identity(data, size);
  pointer_size_ = data[EI_CLASS] == ELFCLASS64 ? 8 : 4;
  big_endian_ = data[EI_DATA] == ELFDATA2MSB;

  elf_version(EV_CURRENT);
  // libelf only reads the image; its interface just predates const.
  std::unique_ptr<Elf, elf_closer> elf(
      elf_memory(reinterpret_cast<char*>(const_cast<unsigned char*>(data)), size));
  const size_t count = program_header_count(elf.get());
  for (size_t i = 0; i < count; ++i) {
    collect_segment(read_program_header(elf.get(), i), i, data, size, pointer_size_, segments_,
                    ranges_);
  }
  std::sort(segments_.begin(), segments_.end(),
            [](const segment& a, const segment& b) { return a.address < b.address; });
  check_no_overlap(segments_);
  check_no_aliasing(segments_, data);
  merge_ranges(ranges_);
  for (const segment& seg : segments_) extent_ += seg.file_size;
}

std::vector<memory_range> core_image::data_ranges() const {
  std::vector<memory_range> ranges;
  for (const segment& seg : segments_) {
    if (seg.writable) ranges.push_back({seg.address, seg.file_size});
  }
  return ranges;
}

const segment* core_image::segment_at_(uint64_t address) const {
  auto after = std::upper_bound(segments_.begin(), segments_.end(), address,
                                [](uint64_t a, const segment& s) { return a < s.address; });
  if (after == segments_.begin()) return nullptr;
  const segment& s = *(after - 1);
  return address - s.address < s.file_size ? &s : nullptr;
}

const unsigned char* core_image::view(uint64_t address, uint64_t n) const {
  const segment* s = segment_at_(address);
  if (s == nullptr) return nullptr;
  const uint64_t offset = address - s->address;
  return n <= s->file_size - offset ? s->bytes + offset : nullptr;
}

bool core_image::has(uint64_t address, uint64_t n) const {
  while (n != 0) {
    const segment* s = segment_at_(address);
    if (s == nullptr) return false;
    const uint64_t take = std::min<uint64_t>(s->file_size - (address - s->address), n);
    n -= take;
    address += take;
    if (address == 0 && n != 0) return false;  // off the top of the address space
  }
  return true;
}

const unsigned char* core_image::bytes(uint64_t address, uint64_t n,
                                       std::vector<unsigned char>& scratch) const {
  if (const unsigned char* whole = view(address, n)) return whole;
  if (!has(address, n)) return nullptr;
  scratch.clear();
  while (scratch.size() < n) {
    const segment* s = segment_at_(address);
    if (s == nullptr) return nullptr;
    const uint64_t offset = address - s->address;
    const uint64_t take = std::min<uint64_t>(s->file_size - offset, n - scratch.size());
    scratch.insert(scratch.end(), s->bytes + offset, s->bytes + offset + take);
    address += take;
    if (address == 0) break;  // ran off the top of the address space
  }
  return scratch.size() == n ? scratch.data() : nullptr;
}

bool core_image::mapped(uint64_t address) const {
  auto after = std::upper_bound(
      ranges_.begin(), ranges_.end(), address,
      [](uint64_t a, const std::pair<uint64_t, uint64_t>& r) { return a < r.first; });
  return after != ranges_.begin() && address < (after - 1)->second;
}

}  // namespace wexlog

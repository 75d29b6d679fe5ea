// SPDX-License-Identifier: MIT
#include "ring_buffer/ring_storage.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "file_io.h"
#include "wex_lib_log_map.h"

namespace velorin {
namespace {

namespace fmt = ring_file_format;

constexpr size_t kControlSize = sizeof(fmt::control);
constexpr size_t kEscapedNameLimit = 128;
// Suffixes tried after the plain name is taken: -2 to -9.
constexpr int kLastSuffix = 9;

struct mapping {
  unsigned char* base;
  size_t length;
};

struct enrolled_ring {
  int trace_id;
  std::string name;
  std::string directory;
  std::string path;   // of the file mapped now; empty on the heap
  pid_t creator = 0;  // the process that made that file
  std::vector<mapping> mappings;
};

// Never destroyed: loggers with static storage may outlive any other static.
struct registry {
  std::mutex lock;
  std::string directory;
  bool fallback_told = false;
  std::map<const void*, enrolled_ring> rings;
  std::atomic<size_t> count{0};
};

registry& the_registry() {
  static registry* const instance = new registry;
  return *instance;
}

// Field 22 of /proc/self/stat: the task's start in clock ticks after boot.
// The fields after the command name, which may hold anything, follow its
// last ')'.
uint64_t start_time() {
  char text[1024] = {};
  const descriptor fd(::open("/proc/self/stat", O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return 0;
  const ssize_t got = ::read(fd.get(), text, sizeof text - 1);
  if (got <= 0) return 0;
  const char* at = std::strrchr(text, ')');
  for (int field = 2; at != nullptr && field < 22; ++field) at = std::strchr(at + 1, ' ');
  return at == nullptr ? 0 : std::strtoull(at + 1, nullptr, 10);
}

template <class T>
void put(unsigned char* header, size_t at, T value) {
  std::memcpy(header + at, &value, sizeof value);
}

void write_header(unsigned char* header, const enrolled_ring& ring, uint32_t size) {
  std::memcpy(header + fmt::kMagicAt, fmt::kMagic, sizeof fmt::kMagic);
  put(header, fmt::kVersionAt, fmt::kVersion);
  put(header, fmt::kByteOrderAt, fmt::kByteOrderMark);
  put(header, fmt::kHeaderSizeAt, static_cast<uint32_t>(fmt::kHeaderSize));
  put(header, fmt::kPidAt, static_cast<uint32_t>(::getpid()));
  put(header, fmt::kStartTimeAt, start_time());
  put(header, fmt::kTraceIdAt, static_cast<int32_t>(ring.trace_id));
  put(header, fmt::kRingSizeAt, size);
  const size_t name_length = std::min(ring.name.size(), fmt::kNameCapacity);
  put(header, fmt::kNameLengthAt, static_cast<uint32_t>(name_length));
  std::memcpy(header + fmt::kNameAt, ring.name.data(), name_length);
}

void set_empty(fmt::control& control, uint32_t size) {
  control.empty.store(1, std::memory_order_relaxed);
  control.write_pos.store(0, std::memory_order_relaxed);
  control.read_pos.store(0, std::memory_order_relaxed);
  control.size.store(size, std::memory_order_relaxed);
}

// `size` + `extra` bytes; std::bad_alloc when a 32-bit process cannot
// address that many.
size_t bytes_for(uint32_t size, size_t extra) {
  const uint64_t total = uint64_t{size} + extra;
  if (total > std::numeric_limits<size_t>::max()) throw std::bad_alloc();
  return static_cast<size_t>(total);
}

// Opens a new file for the ring under the first free name; -1 with errno.
int create_file(const enrolled_ring& ring, std::string& path) {
  const std::string base =
      ring.directory + "/" + ring_storage::file_name(::getpid(), ring.trace_id, ring.name);
  for (int suffix = 1; suffix <= kLastSuffix; ++suffix) {
    path = base + (suffix == 1 ? "" : "-" + std::to_string(suffix)) + ".ring";
    const int fd =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Maps a new ring file of `size` bytes; null with errno and `failed` naming
// the step that failed. posix_fallocate claims every block now, so that a
// full file system refuses the ring here rather than with SIGBUS later.
unsigned char* map_file(enrolled_ring& ring, uint32_t size, const char*& failed) {
  const size_t length = bytes_for(size, fmt::kHeaderSize);
  std::string path;
  failed = "create";
  const descriptor fd(create_file(ring, path));
  if (fd.get() < 0) return nullptr;
  void* base = MAP_FAILED;
  failed = "allocate";
  const int error = ::posix_fallocate(fd.get(), 0, static_cast<off_t>(length));
  if (error == 0) {
    failed = "map";
    base = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  } else {
    errno = error;
  }
  if (base == MAP_FAILED) {
    const int saved = errno;
    ::unlink(path.c_str());
    errno = saved;
    return nullptr;
  }
  auto* bytes = static_cast<unsigned char*>(base);
  write_header(bytes, ring, size);
  ring.path = path;
  ring.creator = ::getpid();
  ring.mappings.push_back(mapping{bytes, length});
  return bytes + fmt::kHeaderSize;
}

unsigned char* heap_array(uint32_t size) {
  auto* block = static_cast<unsigned char*>(std::calloc(bytes_for(size, kControlSize), 1));
  if (block == nullptr) throw std::bad_alloc();
  return block + kControlSize;
}

// A replaced array's file goes at once, so that the new one takes its name.
// A child made by fork leaves its parent's files where they are: they are
// what a kill of the parent leaves behind.
void remove_file(enrolled_ring& ring) {
  if (!ring.path.empty() && ring.creator == ::getpid()) ::unlink(ring.path.c_str());
  ring.path.clear();
}

unsigned char* file_array(registry& r, enrolled_ring& ring, uint32_t size) {
  remove_file(ring);
  const char* failed = nullptr;
  if (unsigned char* array = map_file(ring, size, failed)) return array;
  const int error = errno;
  if (!r.fallback_told) {
    r.fallback_told = true;
    std::fprintf(stderr,
                 "wex_lib_log: the ring of logger \"%s\" stays in memory: cannot %s a ring file "
                 "in %s: %s\n",
                 ring.name.c_str(), failed, ring.directory.c_str(), std::strerror(error));
  }
  ring.directory.clear();  // this logger's later arrays stay on the heap too
  return heap_array(size);
}

}  // namespace

int wex_lib_log_map_rings(const char* directory) {
  registry& r = the_registry();
  std::lock_guard<std::mutex> hold(r.lock);
  if (directory == nullptr) {
    r.directory.clear();
    return 0;
  }
  struct stat info {};
  if (directory[0] == '\0' || ::stat(directory, &info) != 0 || !S_ISDIR(info.st_mode) ||
      ::access(directory, W_OK | X_OK) != 0) {
    return 0x1000;
  }
  r.directory = directory;
  r.fallback_told = false;
  return 0;
}

namespace ring_storage {

void enroll(const void* ring, int trace_id, const std::string& name) {
  registry& r = the_registry();
  std::lock_guard<std::mutex> hold(r.lock);
  if (r.directory.empty()) return;
  r.rings[ring] = enrolled_ring{trace_id, name, r.directory, {}, 0, {}};
  r.count.store(r.rings.size(), std::memory_order_relaxed);
}

void leave(const void* ring) {
  registry& r = the_registry();
  if (r.count.load(std::memory_order_relaxed) == 0) return;
  std::lock_guard<std::mutex> hold(r.lock);
  const auto found = r.rings.find(ring);
  if (found == r.rings.end()) return;
  remove_file(found->second);
  r.rings.erase(found);
  r.count.store(r.rings.size(), std::memory_order_relaxed);
}

unsigned char* allocate(const void* ring, uint32_t size) {
  registry& r = the_registry();
  unsigned char* array = nullptr;
  if (r.count.load(std::memory_order_relaxed) != 0) {
    std::lock_guard<std::mutex> hold(r.lock);
    const auto found = r.rings.find(ring);
    if (found != r.rings.end() && !found->second.directory.empty()) {
      array = file_array(r, found->second, size);
    }
  }
  if (array == nullptr) array = heap_array(size);
  set_empty(control_of(array), size);
  return array;
}

void release(const void* ring, unsigned char* array) {
  if (array == nullptr) return;
  registry& r = the_registry();
  if (r.count.load(std::memory_order_relaxed) != 0) {
    std::lock_guard<std::mutex> hold(r.lock);
    const auto found = r.rings.find(ring);
    if (found != r.rings.end()) {
      auto& mappings = found->second.mappings;
      for (auto one = mappings.begin(); one != mappings.end(); ++one) {
        if (one->base + fmt::kHeaderSize != array) continue;
        ::munmap(one->base, one->length);
        mappings.erase(one);
        return;
      }
    }
  }
  std::free(array - kControlSize);
}

std::string file_name(long pid, int trace_id, const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                       (byte >= '0' && byte <= '9') || byte == '_' || byte == '.';
    const size_t width = plain ? 1 : 3;
    if (escaped.size() + width > kEscapedNameLimit) break;
    if (plain) {
      escaped += c;
    } else {
      escaped += '%';
      escaped += kHex[byte >> 4];
      escaped += kHex[byte & 15];
    }
  }
  return "wexlog-" + std::to_string(pid) + "-" + std::to_string(trace_id) + "-" + escaped;
}

}  // namespace ring_storage
}  // namespace velorin

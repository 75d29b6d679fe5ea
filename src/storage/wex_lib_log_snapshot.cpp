#include "wex_lib_log_snapshot.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "storage/wex_lib_log_snapshot_format.h"

namespace velorin {
namespace {

constexpr int kOk = 0;
constexpr int kFailed = 0x1000;

int refuse(const char* action, const char* reason, const char* path) {
  std::printf("%s snapshot ERROR!! %s [%s]", action, reason, path ? path : "(null)");
  return kFailed;
}

using file_ptr = std::unique_ptr<FILE, int (*)(FILE*)>;

}  // namespace

int wex_lib_log_save_snapshot(wex_lib_log_storage& storage, const char* path) {
  if (path == nullptr) return refuse("Save", "no path", path);
  const unsigned int size = storage.get_ring_buffer_size();
  if (size == 0) return refuse("Save", "the ring has no bytes", path);
  std::vector<unsigned char> file(snapshot_format::kHeaderSize + size);
  WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_ info{};
  if (storage.get_ring_buffer(&info, file.data() + snapshot_format::kHeaderSize) != kOk ||
      info.size != size) {
    return refuse("Save", "the ring could not be read", path);
  }
  snapshot_format::encode_header(info, file.data());
  file_ptr out(std::fopen(path, "wb"), &std::fclose);
  if (!out) return refuse("Save", "cannot create the file", path);
  const bool written = std::fwrite(file.data(), 1, file.size(), out.get()) == file.size();
  if (std::fclose(out.release()) != 0 || !written) {
    std::remove(path);
    return refuse("Save", "cannot write the file", path);
  }
  return kOk;
}

int wex_lib_log_load_snapshot(wex_lib_log_storage& storage, const char* path) {
  if (path == nullptr) return refuse("Load", "no path", path);
  file_ptr in(std::fopen(path, "rb"), &std::fclose);
  if (!in) return refuse("Load", "cannot open the file", path);
  std::vector<unsigned char> file;
  unsigned char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, in.get())) != 0;) {
    file.insert(file.end(), chunk, chunk + n);
  }
  if (std::ferror(in.get())) return refuse("Load", "cannot read the file", path);
  WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_ info{};
  const unsigned char* raw = nullptr;
  if (const char* reason = snapshot_format::decode(file.data(), file.size(), info, raw)) {
    return refuse("Load", reason, path);
  }
  if (storage.set_ring_buffer(info, raw) != kOk) {
    return refuse("Load", "ring positions or length prefixes are inconsistent", path);
  }
  return kOk;
}

}  // namespace velorin

// Pushes a few records through a ring and prints them back, oldest first.
#include <wex_lib_log_ring_buffer.h>

#include <cstdio>
#include <string>
#include <vector>

int main() {
  velorin::wex_lib_log_ring_buffer ring;
  if (ring.create_ring_buffer(64) != velorin::wex_lib_log_ring_buffer::kOk) return 1;

  for (std::string record : {"first record", "second record", "third record"}) {
    ring.push_data(&record[0], static_cast<unsigned int>(record.size()));
  }

  std::vector<unsigned char> payload;
  while (ring.next_data_size() != 0) {
    if (ring.pop_data(payload) != velorin::wex_lib_log_ring_buffer::kOk) return 1;
    std::printf("%.*s\n", static_cast<int>(payload.size()),
                reinterpret_cast<const char*>(payload.data()));
  }
  return 0;
}

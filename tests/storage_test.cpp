// Record store, write side: item bytes, header stamps, commit and refusals.
#include "wex_lib_log_storage.h"

#include <pthread.h>

#include <functional>
#include <thread>

#include "test_support.h"

namespace {

using bytes = std::vector<unsigned char>;
using wexlog_test::hex_bytes;

bytes operator+(bytes a, const bytes& b) {
  return a.insert(a.end(), b.begin(), b.end()), a;
}
bytes le32(unsigned long v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
// Record header: time of day, task id (low 32 bits), item count.
bytes head(unsigned long ms, unsigned count, unsigned long task = pthread_self()) {
  return le32(ms) + le32(task) + bytes{uint8_t(count)};
}

class StorageTest : public wexlog_test::PlatformFixture {
 protected:
  void SetUp() override {
    PlatformFixture::SetUp();
    wexlog_test::use_utc();
    platform_standin::set_clock(1, 0);  // 00:00:01.000
    store_.create_ring_buffer(4096);
  }
  // The one record committed since the last call.
  bytes record() {
    const std::vector<bytes> all = wexlog_test::take_records(store_);
    EXPECT_EQ(all.size(), 1u);
    return all.empty() ? bytes{} : all[0];
  }
  velorin::wex_lib_log_storage store_{7, "store", nullptr};
};

TEST_F(StorageTest, CommitPutsTimeTaskIdAndCountTakenThenBeforeItems) {
  platform_standin::set_clock(47109, 999000000);
  store_.add_title_data("ab");
  store_.add_value_data(-2);
  platform_standin::set_clock(1, 0);
  store_.entry_for_ring_buffer();
  EXPECT_EQ(record(), hex_bytes("E8 03 00 00") + le32(pthread_self()) +
                          hex_bytes("02 01 02 61 62 02 FE FF FF FF"));
  store_.add_value_data(1);
  unsigned long committer = 0;
  std::thread([&] {
    committer = pthread_self();
    store_.entry_for_ring_buffer();
  }).join();
  EXPECT_EQ(record(), head(1000, 1, committer) + hex_bytes("02 01 00 00 00"));
}

TEST_F(StorageTest, ItemsAreTaggedTruncatedAndLittleEndianAndNullsAddNothing) {
  const std::string forty(40, 't'), hundred(100, 's');
  unsigned char three[3] = {1, 2, 3};
  const std::pair<std::function<void()>, bytes> rows[] = {
      {[&] { store_.add_title_data(forty.c_str()); }, hex_bytes("01 20") + bytes(32, 't')},
      {[&] { store_.add_title_data(forty.c_str() + 8); }, hex_bytes("01 20") + bytes(32, 't')},
      {[&] { store_.add_title_data(""); }, hex_bytes("01 00")},
      {[&] { store_.add_string_data(hundred.c_str()); }, hex_bytes("04 40 00") + bytes(64, 's')},
      {[&] { store_.add_set_data("speed", 16); }, hex_bytes("05 05 00 73 70 65 65 64 10 00 00 00")},
      {[&] { store_.add_value_data(0x12345678); }, hex_bytes("02 78 56 34 12")},
      {[&] { store_.add_value_data_hex(0x12345678); }, hex_bytes("03 78 56 34 12")},
      {[&] { store_.add_data(0x1FF, three, 3); }, hex_bytes("06 FF 03 00 01 02 03")},
  };
  for (const auto& row : rows) {
    row.first();
    store_.add_title_data(nullptr);
    store_.add_string_data(nullptr);
    store_.add_set_data(nullptr, 5);
    store_.entry_for_ring_buffer();
    EXPECT_EQ(record(), head(1000, 1) + row.second);
  }
}

TEST_F(StorageTest, EmptyCommitStoresNothingAndCountWrapsAt256) {
  store_.add_string_data(nullptr);
  store_.entry_for_ring_buffer();
  EXPECT_TRUE(wexlog_test::take_records(store_).empty());
  for (unsigned items : {256u, 257u}) {
    bytes expected = head(1000, items % 256);
    for (unsigned i = 0; i < items; ++i) {
      store_.add_value_data(-1);
      expected = expected + hex_bytes("02 FF FF FF FF");
    }
    store_.entry_for_ring_buffer();
    EXPECT_EQ(record(), expected);
  }
}

TEST_F(StorageTest, TimeOfDayFromLocalClockAndZeroWithOnePrintWhenClockFails) {
  platform_standin::set_clock(13 * 3600 + 5 * 60 + 9, 123456789);
  EXPECT_EQ(store_.get_timer(), 47109123u);
  platform_standin::set_clock(47109, 5000000, 0x1234ABCD);
  store_.add_value_data(3);
  store_.entry_for_ring_buffer();
  EXPECT_EQ(record(), head(0, 1) + hex_bytes("02 03 00 00 00"));
  EXPECT_EQ(wexlog_test::take_traces(7),
            std::vector<std::string>{"0|Get Time ERROR!! os_ret[0x1234ABCD]"});
}

TEST_F(StorageTest, RefusedRecordOrOversizedDataItemLeavesCleanBuilder) {
  store_.create_ring_buffer(24);
  store_.add_title_data("twenty characters...");  // 9 + 22 + 4 > 24
  EXPECT_EQ(wexlog_test::stdout_of([&] { store_.entry_for_ring_buffer(); }),
            "Push data ERROR!! Ring Buffer size[24] Push data size[35]");
  store_.add_value_data(5);
  store_.entry_for_ring_buffer();
  EXPECT_EQ(record(), head(1000, 1) + hex_bytes("02 05 00 00 00"));

  store_.create_ring_buffer(70000);
  bytes big(65536, 0xAB);
  store_.add_data(1, big.data(), 65536);  // too long for the size field: left out
  store_.add_data(2, big.data(), 65535);
  store_.entry_for_ring_buffer();
  EXPECT_EQ(record(), head(1000, 1) + hex_bytes("06 02 FF FF") + bytes(65535, 0xAB));
}

}  // namespace

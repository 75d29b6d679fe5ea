// SPDX-License-Identifier: MIT
// Framed ring buffer: framing, discarding of the oldest records, refusals,
// snapshots, and order under random and concurrent use.
#include "wex_lib_log_ring_buffer.h"

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

#include "test_support.h"

namespace {

using ring_t = velorin::wex_lib_log_ring_buffer;
using bytes = std::vector<unsigned char>;
using pops = std::vector<bytes>;
constexpr int kFailed = 0x1000;

struct sized : ring_t {
  explicit sized(unsigned size) { create_ring_buffer(size); }
};
struct snapshot {
  velorin::WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_ info{};
  bytes data;
  // Empty flag, write and read positions, e.g. "0 8 0".
  std::string where() const {
    return std::to_string(info.empty) + " " + std::to_string(info.write_pos) + " " +
           std::to_string(info.read_pos);
  }
  bool operator==(const snapshot& o) const { return where() == o.where() && data == o.data; }
};
snapshot take(ring_t& ring) {
  snapshot s{{}, bytes(ring.size() + 1)};
  EXPECT_EQ(ring.get_buffer_data(&s.info, s.data.data()), 0);
  s.data.resize(ring.size());
  return s;
}
const auto push = [](ring_t& r, bytes p) { return r.push_data(p.data(), unsigned(p.size())); };
void push_all(ring_t& r, const pops& all) {
  for (const bytes& p : all) EXPECT_EQ(push(r, p), 0);
}
pops drain(ring_t& r) {
  pops out;
  for (bytes b; r.pop_data(b) == 0;) out.push_back(b);
  return out;
}
// What a refused push printed; its result must be 0x1000.
std::string refused(ring_t& ring, const void* data, unsigned size) {
  int result = 0;
  const std::string out =
      wexlog_test::stdout_of([&] { result = ring.push_data(const_cast<void*>(data), size); });
  EXPECT_EQ(result, kFailed);
  return out;
}

TEST(RingBuffer, PushEndingOnOldestRecordDiscardsItFullSizeFillsAndPrefixesWrap) {
  sized ring(16);
  push_all(ring, {{1, 2, 3, 4}});
  EXPECT_EQ(take(ring).where(), "0 8 0");
  push_all(ring, {{5, 6, 7, 8}});
  EXPECT_EQ(take(ring).where(), "0 0 8");
  EXPECT_EQ(drain(ring), (pops{{5, 6, 7, 8}}));
  EXPECT_EQ(take(ring).where(), "1 0 0");
  push_all(ring, {bytes(12, 1)});
  EXPECT_EQ(take(ring).where(), "0 0 0");  // full
  EXPECT_EQ(refused(ring, bytes(13).data(), 13),
            "Push data ERROR!! Ring Buffer size[16] Push data size[17]");
  EXPECT_EQ(take(ring).where(), "0 0 0");
  push(ring, {2, 2, 2, 2});  // over the oldest record's prefix
  EXPECT_EQ(drain(ring), pops{bytes(4, 2)});
  // An imported snapshot of two records that fill it exactly: a push over
  // them leaves its own record alone, and a dump's drop of what it peeked
  // before takes nothing.
  velorin::WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_ full{0, 0, 0, 16};
  const bytes two_records{4, 0, 0, 0, 1, 1, 1, 1, 4, 0, 0, 0, 2, 2, 2, 2};
  ASSERT_EQ(ring.set_buffer_data(full, two_records.data()), 0);
  bytes peeked;
  unsigned long long mark = 0;
  EXPECT_EQ(ring.peek_records(peeked, 8, mark), 1u);
  push(ring, {9, 9});
  ring.drop_records(mark, 8);
  EXPECT_EQ(drain(ring), pops{bytes(2, 9)});

  sized wrap(10);  // the second record's prefix runs over the array's end
  push(wrap, {1, 2, 3});
  drain(wrap);
  push(wrap, {0xAA, 0xBB});
  EXPECT_EQ(take(wrap).data, (bytes{0, 0xAA, 0xBB, 0, 1, 2, 3, 2, 0, 0}));
  EXPECT_EQ(wrap.next_data_size(), 2u);
  unsigned char two[2] = {};
  EXPECT_EQ(wrap.pop_data(static_cast<void*>(nullptr)), kFailed);
  EXPECT_EQ(wrap.pop_data(static_cast<void*>(two)), 0);
  EXPECT_EQ(bytes(two, two + 2), (bytes{0xAA, 0xBB}));
  EXPECT_EQ(take(wrap).where(), "1 3 3");
}

TEST(RingBuffer, NullEmptyOrUnsizedPushesAndEmptyPopsAreRefused) {
  ring_t ring;
  unsigned char data[4] = {1, 2, 3, 4};
  char text[128];
  const auto message = [&](const void* at, int size) {
    std::snprintf(text, sizeof text,
                  "Push data ERROR!! push data addr[0x%08X] push data size[%d] Ring Buffer addr[0x",
                  unsigned(reinterpret_cast<uintptr_t>(at)), size);
    return std::string(text);
  };
  EXPECT_EQ(ring.create_ring_buffer(0), kFailed);
  EXPECT_EQ(refused(ring, data, 4), message(data, 4) + "00000000]");
  velorin::WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_ info{};
  EXPECT_EQ(ring.get_buffer_data(&info, data), kFailed);
  ring.clear();  // no array: nothing to do

  ring.create_ring_buffer(16);
  EXPECT_EQ(take(ring).where(), "1 0 0");  // an empty ring with an array exports
  EXPECT_EQ(refused(ring, nullptr, 4).rfind(message(nullptr, 4), 0), 0u);
  EXPECT_EQ(refused(ring, data, 0).rfind(message(data, 0), 0), 0u);
  int result = 0;  // a record in two parts whose second part is missing
  EXPECT_EQ(wexlog_test::stdout_of([&] {
              result = ring.push_data(data, 4, nullptr, 8);
            }).rfind(message(nullptr, 12), 0),
            0u);
  EXPECT_EQ(result, kFailed);
  EXPECT_EQ(take(ring).where(), "1 0 0");
  bytes out{9, 9};
  EXPECT_EQ(ring.pop_data(out), kFailed);
  EXPECT_EQ(out, (bytes{9, 9}));
  EXPECT_EQ(ring.next_data_size(), 0u);
}

TEST(RingBuffer, EscapeDiscardsWholeRecordsUntilPassedAndKeepsAnOverlongRecordAlone) {
  sized ring(24);
  push_all(ring, {{1, 1}, {2, 2}, {3, 3}, bytes(6, 4)});
  EXPECT_EQ(take(ring).where(), "0 4 6");  // stopped as soon as 6 bytes were passed
  EXPECT_EQ(drain(ring), (pops{{2, 2}, {3, 3}, bytes(6, 4)}));
  // A 20-byte payload in a 32-byte ring passes both older records and would
  // reach its own prefix: it stays as the only record.
  ring.create_ring_buffer(32);
  push_all(ring, {{1, 1, 1}, {2, 2, 2}, bytes(20, 3)});
  EXPECT_EQ(take(ring).where(), "0 6 14");
  EXPECT_EQ(drain(ring), pops{bytes(20, 3)});
  push(ring, {4});
  EXPECT_EQ(drain(ring), pops{bytes(1, 4)});
  // Records at 7 to 42 after the last one reached the array's end. Pushes
  // that do not wrap pass two records at once (which a peek's drop then
  // counts as gone), go on while a byte short of their payload's length, pass
  // one that their prefix alone reaches, and go on past the array's end.
  ring.create_ring_buffer(48);
  push_all(ring, {{1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {4, 4, 4}, {5, 5, 5}, {6, 6, 6}, {7, 7}});
  bytes peeked;
  unsigned long long mark = 0;
  EXPECT_EQ(ring.peek_records(peeked, 14, mark), 2u);
  push(ring, bytes(10, 7));
  ring.drop_records(mark, 14);
  EXPECT_EQ(take(ring).where(), "0 14 21");
  push(ring, bytes(8, 8));
  EXPECT_EQ(take(ring).where(), "0 26 35");
  push_all(ring, {{9}, {10}});
  EXPECT_EQ(take(ring).where(), "0 36 42");
  push(ring, bytes(7, 12));
  EXPECT_EQ(take(ring).where(), "0 47 14");
  EXPECT_EQ(drain(ring), (pops{bytes(8, 8), {9}, {10}, bytes(7, 12)}));
  // The oldest record 4 bytes ahead: the prefix ends on it, the payload on the next.
  velorin::WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_ info{0, 0, 4, 30};
  bytes array(30, 0);
  for (unsigned at : {4u, 11u}) array[at] = 3;
  array[18] = 8;
  ASSERT_EQ(ring.set_buffer_data(info, array.data()), 0);
  push(ring, bytes(7, 13));
  EXPECT_EQ(take(ring).where(), "0 11 18");
  EXPECT_EQ(drain(ring), (pops{bytes(8, 0), bytes(7, 13)}));
}

TEST(RingBuffer, MalformedSnapshotsAreRefusedAndClearEmptiesTheRing) {
  sized source(32), target(16);
  push_all(source, {{1, 2, 3}, {4, 5, 6, 7, 8}});
  const snapshot good = take(source);  // records at 0 and 7, w = 16
  std::vector<snapshot> bad(8, good);
  bad[0].info = {1, 32, 32, 32};  // empty, positions at the array's end
  bad[1].info.read_pos = 40;
  bad[2].info.empty = 2;
  bad[3].info.empty = -1;
  bad[4].info.empty = 1;                   // empty, but w != r
  bad[5].info.write_pos = 15;              // prefixes do not chain to w
  bad[6] = {{0, 4, 0, 32}, bytes(32, 0)};  // one zero-length record
  bad[7].data[0] = 100;                    // longer than the ring
  push(target, {9, 9});
  const snapshot before = take(target);
  for (const snapshot& s : bad) {
    EXPECT_EQ(target.set_buffer_data(s.info, s.data.data()), kFailed) << s.where();
    EXPECT_EQ(take(target), before);
  }
  EXPECT_EQ(target.set_buffer_data({}, good.data.data()), 0);  // size 0: nothing changes
  EXPECT_EQ(target.set_buffer_data(good.info, nullptr), kFailed);
  EXPECT_EQ(take(target), before);

  target.clear();
  EXPECT_EQ(take(target), (snapshot{{1, 0, 0, 16}, bytes(16, 0)}));
}

// Pops give back pushed payloads in push order; only the oldest records go
// missing, those stored always fit, the latest push is always there, and a
// snapshot copy (into a ring of another size) pops exactly like its source.
TEST(RingBuffer, RandomSequencesKeepNewestRecordsInOrder) {
  for (unsigned seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    const unsigned size = 9 + unsigned(rng() % 292);
    sized ring(size);
    pops pushed;
    size_t next = 0;  // pushes before this were popped or discarded
    const auto popped = [&](const bytes& got) {
      size_t first = pushed.size();  // oldest push that could still fit
      for (size_t held = 0; first > next && held + pushed[first - 1].size() + 4 <= size;)
        held += pushed[--first].size() + 4;
      while (first < pushed.size() && pushed[first][0] != got[0]) ++first;
      next = first + 1;
      return first < pushed.size() && pushed[first] == got;
    };
    for (int op = 0; op < 300; ++op) {
      const unsigned kind = unsigned(rng() % 10);
      if (kind < 6) {
        const unsigned limit = rng() % 3 ? std::min(size - 4, 16u) : size - 4;
        bytes p(1 + rng() % limit);
        p[0] = static_cast<unsigned char>(pushed.size());  // unique among those that fit
        for (size_t i = 1; i < p.size(); ++i) p[i] = static_cast<unsigned char>(rng());
        const unsigned head = unsigned(1 + rng() % p.size()), rest = unsigned(p.size()) - head;
        ASSERT_EQ(rng() % 2 ? push(ring, p) : ring.push_data(p.data(), head, &p[head], rest), 0);
        pushed.push_back(p);
      } else if (kind < 9) {
        bytes got;
        const int result = ring.pop_data(got);
        ASSERT_EQ(result == 0, next < pushed.size());
        ASSERT_TRUE(result != 0 || popped(got)) << "op " << op;
      } else {
        const snapshot s = take(ring);
        sized copy(7);
        ASSERT_EQ(copy.set_buffer_data(s.info, s.data.data()), 0);
        const pops rest = drain(copy);
        ASSERT_EQ(rest, drain(ring));
        for (const bytes& got : rest) ASSERT_TRUE(popped(got)) << "op " << op;
        ASSERT_EQ(next, pushed.size());
      }
    }
  }
}

// Payload: pusher id, high byte of the sequence number, then its low byte repeated.
TEST(RingBuffer, ConcurrentPushersAndPoppersSeeIntactRecordsInOrder) {
  sized ring(256);
  std::atomic<unsigned> running{2}, bad{0};
  const auto pusher = [&](uint8_t id) {
    for (unsigned seq = 0; seq < 6000; ++seq) {
      bytes p(3 + (seq * 7 + id) % 40, uint8_t(seq));
      p[0] = id;
      p[1] = uint8_t(seq >> 8);
      bad += push(ring, p) != 0;
    }
    --running;
  };
  const auto popper = [&] {
    int last[2] = {-1, -1};
    for (bytes p; running > 0 || ring.next_data_size() > 0;) {
      if (ring.pop_data(p) != 0) std::this_thread::yield();
      if (p.empty()) continue;
      const int seq = p[1] << 8 | p.back(), id = p[0] & 1;
      bad += p[0] > 1 || seq <= last[id] ||
             std::count(p.begin() + 2, p.end(), p.back()) + 2 != long(p.size());
      last[id] = seq;
      p.clear();
    }
  };
  std::thread threads[] = {std::thread(pusher, 0), std::thread(pusher, 1), std::thread(popper)};
  popper();
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0u);
}

}  // namespace

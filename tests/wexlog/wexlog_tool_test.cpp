// SPDX-License-Identifier: MIT
// wexlog on cores holding copies of this process's loggers, on forged and
// broken cores and on real cores of the crash fixture (the core gcore writes
// of the host build, and the one qemu-ppc writes when the fixture
// cross-built for the device aborts): its dump and JSON lines, its output
// and exit statuses; on ring files, and
// attached to the fixture running.
#include <core_file.h>
#include <fcntl.h>
#include <layout_walk.h>
#include <render.h>
#include <ring_scan.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <wex_lib_log_entry.h>
#include <wex_lib_log_map.h>
#include <wex_lib_log_snapshot.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "codec/layout_format.h"
#include "codec/ring_file_format.h"
#include "codec/snapshot_format.h"
#include "copied_core.h"
#include "recovered_lines.h"

namespace {

namespace fs = std::filesystem;
using bytes = wexlog_test::core_bytes;
using wexlog_test::core_bytes;
using result = std::pair<int, std::string>;
constexpr uintmax_t kCoreCap = 200u << 20;

// Exit status (128 + signal when killed) and standard output of a command.
result run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  char chunk[4096];
  for (size_t n; pipe && (n = std::fread(chunk, 1, sizeof chunk, pipe)) != 0;) out.append(chunk, n);
  const int status = pipe ? pclose(pipe) : -1;
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), out};
}

std::string hex(uint64_t address) {
  std::ostringstream text;
  text << "0x" << std::hex << address;
  return text.str();
}

std::string refusal(const bytes& core) {
  try {
    wexlog::core_image image(core.data(), core.size());
    return "accepted";
  } catch (const wexlog::input_error& e) {
    return e.what();
  }
}

class WexlogToolTest : public wexlog_test::PlatformFixture {
 protected:
  void SetUp() override {
    PlatformFixture::SetUp();
    for (unsigned int i = 0; i < 30; ++i) {  // wraps the ring
      log.add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_WARNING, WEX_LIB_LOG_LEN_SHORT,
                  "void a::b::c(int)", "message %u %s", i, std::string(i * 7, 'x').c_str());
      log.push_data_set("set", 1, "speed", 1, nullptr, 0, nullptr, 0);
    }
    array.resize(log.storage().get_ring_buffer_size());
    EXPECT_EQ(log.storage().get_ring_buffer(&info, array.data()), 0);
    EXPECT_EQ(velorin::wex_lib_log_save_snapshot(log.storage(), (path + ".snap").c_str()), 0);
    log.trace_log((path + ".log").c_str());
    dumped = wexlog_test::read_file(path + ".log");
    EXPECT_EQ(log.storage().set_ring_buffer(info, array.data()), 0);  // as before the dump
  }
  void TearDown() override {
    for (const char* suffix : {".snap", ".log", ".bad", ".core", ".fifo"}) {
      std::remove((path + suffix).c_str());
    }
    PlatformFixture::TearDown();
  }
  velorin::wex_lib_log_entry log{42, "net", 700};
  const std::string path = wexlog_test::temp_path("tool");
  velorin::WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_ info{};
  bytes array;
  std::string dumped;  // the dump of the ring, which is also exported into `info` and `array`
};

// The store "net", a store with a 17-byte name and an empty ring, and a copy
// of the ring's fields alone after bytes that are no store, on the same array.
TEST_F(WexlogToolTest, RecoverFindsTheRingsOfStoresCopiedFromThisProcess) {
  ASSERT_NE(info.read_pos, 0u);
  const std::string long_name(17, 'h');
  velorin::wex_lib_log_entry quiet(-5, long_name.c_str(), 64);
  wexlog_test::store_copy net(log.storage());
  const wexlog_test::store_copy empty(quiet.storage());
  const core_bytes ring =
      wexlog_test::copy_of(reinterpret_cast<const void*>(net.ring()), net.layout.ring_size).second;
  core_bytes bare(0x100, 0xEE);
  bare.insert(bare.end(), ring.begin(), ring.end());
  const auto core = wexlog_test::native_core({net, empty}, {{0x10000, bare}});
  const wexlog::core_image image(core.data(), core.size());
  const std::string records =
      " size 700 records " + std::to_string(std::count(dumped.begin(), dumped.end(), '\n'));
  std::map<uint64_t, std::string> expected{
      {0x10100, "# ring 0x10100" + records + " logger ? trace_id ?\n"},
      {net.ring(), "# ring " + hex(net.ring()) + records + " logger \"net\" trace_id 42\n"},
      {empty.ring(), "# ring " + hex(empty.ring()) + " size 64 records 0 logger \"" + long_name +
                         "\" trace_id -5\n"}};
  std::string headings, lines, in_order;
  for (const auto& heading : expected) in_order += heading.second;
  for (const auto& found : wexlog::find_rings(image, wexlog::scan_options{true})) {
    headings += wexlog::ring_heading(found);
    if (found.records == 0) continue;
    wexlog::ring_walk walk(found.state, image.view(found.buffer, 700), true);
    for (wexlog::record_span record; walk.next(record);) wexlog::append_dump_line(lines, record);
  }
  EXPECT_EQ(headings, in_order);
  EXPECT_EQ(lines, dumped + dumped);
  EXPECT_EQ(wexlog::find_rings(image, wexlog::scan_options{false}).size(), 2u);
  // The first record no longer parses: only the store makes that a ring.
  ++net.array.second[info.read_pos];
  const auto torn_core = wexlog_test::native_core({net});
  const wexlog::core_image torn_image(torn_core.data(), torn_core.size());
  const auto torn = wexlog::find_rings(torn_image, wexlog::scan_options{false});
  ASSERT_EQ(torn.size(), 1u);
  EXPECT_EQ(wexlog::ring_heading(torn[0]),
            "# ring " + hex(net.ring()) +
                " size 700 records 0 logger \"net\" trace_id 42 torn at " + "offset " +
                std::to_string(info.read_pos) + "\n");
}

// A ring copied while a writer pushes: only the records from the read
// position read after the copy to the write position read before it are
// sure to be whole in the copy.
TEST(WexlogLayoutTest, ARingCopiedWhileWritersPushKeepsOnlyTheRecordsThatCannotHaveChanged) {
  const auto kept = [](wexlog::ring_state before, wexlog::ring_state after) {
    const wexlog::ring_state s = wexlog::unchanged_records(before, after);
    return std::to_string(s.empty) + " " + std::to_string(s.write_pos) + " " +
           std::to_string(s.read_pos);
  };
  EXPECT_EQ(kept({0, 300, 100, 1000}, {0, 300, 100, 1000}), "0 300 100");
  EXPECT_EQ(kept({0, 300, 100, 1000}, {0, 450, 180, 1000}), "0 300 180");  // records discarded
  EXPECT_EQ(kept({0, 100, 900, 1000}, {0, 150, 50, 1000}), "0 100 50");    // across the end
  EXPECT_EQ(kept({0, 500, 500, 1000}, {0, 600, 620, 1000}), "0 500 620");  // a full ring
  EXPECT_EQ(kept({0, 300, 100, 1000}, {0, 700, 300, 1000}), "1 300 300");  // all discarded
  EXPECT_EQ(kept({0, 300, 100, 1000}, {1, 300, 300, 1000}), "1 300 300");  // dumped
}

TEST(WexlogCoreImageTest, BrokenCoresAreRefusedWithTheirReason) {
  const bytes core = wexlog_test::make_core(4, true, {{0x1000, bytes(64, 1)}});
  EXPECT_EQ(refusal(core), "accepted");
  EXPECT_EQ(refusal(bytes{'h', 'e', 'l', 'l', 'o'}), "not an ELF file");
  EXPECT_EQ(refusal(bytes(core.begin(), core.begin() + 30)), "truncated ELF header");
  EXPECT_EQ(refusal(bytes(core.begin(), core.begin() + 60)),
            "truncated program headers (1 expected)");
  EXPECT_EQ(refusal(bytes(core.begin(), core.end() - 1)),
            "segment 0 at 0x1000 lies outside the file: 64 bytes at offset 84, file has 147 bytes "
            "(truncated core?)");
  EXPECT_EQ(refusal(wexlog_test::make_core(8, false, {}, 2)), "not a core file (ELF type 2)");
  EXPECT_EQ(
      refusal(wexlog_test::make_core(4, false, {{0x1000, bytes(64, 1)}, {0x1020, bytes(8, 1)}})),
      "segments at 0x1000 and 0x1020 overlap");
  bytes aliased = wexlog_test::make_core(4, true, {{0x1000, bytes(64, 1)}, {0x2000, bytes(8, 1)}});
  aliased[52 + 32 + 7] = 116 + 8;  // the second segment's bytes inside the first's
  EXPECT_EQ(refusal(aliased),
            "segments at 0x1000 and 0x2000 load the same file bytes at offset 124");
  bytes odd = core;
  odd[4] = 3;
  EXPECT_EQ(refusal(odd), "unsupported ELF class 3");
}

TEST(WexlogJsonTest, EveryItemKindBecomesOneJsonValueBesideItsDumpLine) {
  const bytes record = wexlog_test::hex_bytes(
      "E8 03 00 00 34 12 00 00 08 01 02 61 62 02 FE FF FF FF 03 05 00 00 00 04 02 00 78 79 "
      "05 05 00 73 70 65 65 64 10 00 00 00 06 00 09 00 01 00 66 09 6D 73 67 00 00 "
      "06 05 02 00 AA BB 09");
  std::string out;
  wexlog::append_json_line(out, record, wexlog::record_origin{"net", 7, 0x1000});
  wexlog::append_json_line(out, wexlog_test::hex_bytes("E8 03 00 00 34 12 00 00 01 02 FE"), {});
  EXPECT_EQ(
      out,
      R"({"logger":"net","trace_id":7,"ring":"0x1000","time":"00:00:01.000","time_ms":1000,)"
      R"("task_id":4660,"items":[{"item":"title","text":"ab"},{"item":"value","value":-2},)"
      R"({"item":"hex","value":5,"text":"0x05"},{"item":"string","text":"xy"},)"
      R"({"item":"set","name":"speed","value":16,"text":"0x10"},)"
      R"({"item":"message","kind":0,"type":1,"label":"[ERROR@] ","len_type":0,)"
      R"("function":"f","text":"msg"},{"item":"data","kind":5,"bytes":"aabb"},)"
      R"({"item":"unknown","tag":9}],"line":"[00:00:01.000:4660][ab                              ])"
      R"([-2] 0x05[xy][speed:0x10][ERROR@] f\tmsg"})"
      "\n"
      R"({"logger":null,"trace_id":null,"ring":null,"time":"00:00:01.000","time_ms":1000,)"
      R"("task_id":4660,"items":[],"malformed":true,"line":"[00:00:01.000:4660][!malformed]"})"
      "\n");
}

TEST_F(WexlogToolTest, DecodePrintsTheDumpLinesAndUnusableInputOrOutputEndsWithStatus1) {
  // Bounded so that a tool that reads a device or pipe without end fails here.
  const auto tool = [](const std::string& arguments) {
    return run("timeout 10 " WEXLOG_TOOL " " + arguments + " 2>&1");
  };
  EXPECT_EQ(tool("decode " + path + ".snap"), result(0, dumped));
  const std::string bad = path + ".bad", says = "wexlog: " + bad + ": ";
  std::ofstream(bad) << "not a core\n";
  EXPECT_EQ(tool("recover " + bad), result(1, says + "not an ELF file\n"));
  EXPECT_EQ(tool("decode " + bad), result(1, says + "not a ring snapshot (no WEXLOGRS magic)\n"));
  std::remove(bad.c_str());
  EXPECT_EQ(tool("decode " + bad), result(1, says + "cannot open: No such file or directory\n"));
  EXPECT_EQ(tool("").first, 2);

  const std::string fifo = path + ".fifo", dir = ::testing::TempDir();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const char* command : {"recover ", "decode "}) {
    EXPECT_EQ(tool(command + std::string("/dev/zero")),
              result(1, "wexlog: /dev/zero: not a regular file (a device)\n"));
    EXPECT_EQ(tool(command + fifo),
              result(1, "wexlog: " + fifo + ": not a regular file (a pipe or FIFO)\n"));
    EXPECT_EQ(run("head -c 100000 /dev/urandom | timeout 10 " WEXLOG_TOOL " " +
                  std::string(command) + "/dev/stdin 2>&1"),
              result(1, "wexlog: /dev/stdin: not a regular file (a pipe or FIFO)\n"));
  }
  EXPECT_EQ(tool("decode " + dir),
            result(1, "wexlog: " + dir + ": not a regular file (a directory)\n"));
  // The store's ring shows none of the records a copy of its fields at a
  // lower address shows on the same array; JSON, which has no ring
  // headings, notes it.
  const wexlog_test::store_copy net(log.storage());
  const auto ring =
      wexlog_test::copy_of(reinterpret_cast<const void*>(net.ring()), net.layout.ring_size);
  wexlog_test::write_file(path + ".core",
                          wexlog_test::native_core({net}, {{0x10000, ring.second}}));
  const std::string full = "wexlog: cannot write the output: No space left on device\n";
  EXPECT_EQ(
      run(WEXLOG_TOOL " recover --json " + path + ".core 2>&1 >/dev/full"),
      result(1, "wexlog: " + path +
                    ".core: rings found by scanning: the core holds no layout descriptor\n"
                    "wexlog: " +
                    path + ".core: ring " + hex(net.ring()) +
                    ": the records from offset 658 on are shown under ring 0x10000\n" + full));
  EXPECT_EQ(run(WEXLOG_TOOL " decode " + path + ".snap 2>&1 >/dev/full"), result(1, full));
}

// A push caught between its header and its items: the ring's bytes after the
// push, its write position 4 + 9 bytes past where the push began, and the
// items (3) still in the store's record under construction.
TEST_F(WexlogToolTest, TornRingsShowTheRecordsBeforeTheTearAndTheRecordUnderConstruction) {
  velorin::WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_ before{}, after{};
  for (unsigned int i = 0; i < 20; ++i) {
    log.add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_WARNING, WEX_LIB_LOG_LEN_SHORT, "f",
                "message %u %s", i, std::string(i * 5, 'y').c_str());
  }
  ASSERT_EQ(log.storage().get_ring_buffer(&before, array.data()), 0);
  log.push_data_string("last", 2, "one", "two", nullptr, nullptr, nullptr, nullptr);
  ASSERT_EQ(log.storage().get_ring_buffer(&after, array.data()), 0);
  std::remove((path + ".log").c_str());
  log.trace_log((path + ".log").c_str());
  ASSERT_EQ(log.storage().set_ring_buffer(after, array.data()), 0);  // as before the dump
  const std::string log_text = wexlog_test::read_file(path + ".log");
  const size_t cut = log_text.rfind('\n', log_text.size() - 2) + 1;
  const std::string salvaged = log_text.substr(0, cut),
                    last = log_text.substr(cut, log_text.size() - cut - 1);
  // The same items again, left under construction in the store (their dump
  // must be the committed record's), and its ring as it was between the
  // push's header and its items.
  log.storage().add_title_data("last");
  log.storage().add_string_data("one");
  log.storage().add_string_data("two");
  using namespace velorin::layout;
  wexlog_test::store_copy store(log.storage());
  const bytes items(store.building.second.begin(),
                    store.building.second.begin() + std::ptrdiff_t(store.view.building_size));
  wexlog_test::ring_info torn = after;
  torn.write_pos = (before.write_pos + 4 + 9) % after.size;
  store.set(ring_write_pos, torn.write_pos);
  const std::string at = std::to_string(before.write_pos), ring = hex(store.ring());
  const std::string uncommitted = last.substr(last.find(']') + 1);
  wexlog_test::write_file(path + ".core", wexlog_test::native_core({store}));
  EXPECT_EQ(run(WEXLOG_TOOL " recover " + path + ".core"),
            result(0, "# rings found by scanning: the core holds no layout descriptor\n# ring " +
                          ring + " size 700 records " +
                          std::to_string(std::count(salvaged.begin(), salvaged.end(), '\n')) +
                          " logger \"net\" trace_id 42 torn at offset " + at + "\n" + salvaged +
                          "# uncommitted " + uncommitted + "\n"));
  const std::string json = run(WEXLOG_TOOL " recover --json " + path + ".core 2>/dev/null").second;
  const auto object = nlohmann::json::parse(json.substr(json.rfind('\n', json.size() - 2) + 1));
  EXPECT_EQ(object["uncommitted"], true);
  EXPECT_EQ(object["line"], uncommitted);
  // Items past the count are still being written: only the whole ones show.
  store.set(store_item_count, 1);
  wexlog_test::write_file(path + ".core", wexlog_test::native_core({store}));
  EXPECT_NE(run(WEXLOG_TOOL " recover " + path + ".core")
                .second.find("\n# uncommitted " + uncommitted.substr(0, uncommitted.find(']') + 1) +
                             "\n"),
            std::string::npos);

  // A push into an empty ring caught half done: no record yet.
  store.set(store_item_count, 3);
  store.set(ring_empty, 1);
  store.set(ring_write_pos, (after.read_pos + 13) % after.size);
  const bytes core = wexlog_test::native_core({store});
  const wexlog::core_image image(core.data(), core.size());
  const auto rings = wexlog::find_rings(image, wexlog::scan_options{false});
  ASSERT_EQ(rings.size(), 1u);
  EXPECT_EQ(wexlog::ring_heading(rings[0]),
            "# ring " + ring + " size 700 records 0 logger \"net\" trace_id 42 " +
                "torn at offset " + std::to_string(after.read_pos) + "\n");
  EXPECT_EQ(rings[0].uncommitted, items);

  // The same torn ring as a snapshot file: the library refuses it whole.
  bytes snapshot(velorin::snapshot_format::kHeaderSize);
  velorin::snapshot_format::encode_header({torn.empty, torn.write_pos, torn.read_pos, torn.size},
                                          snapshot.data());
  snapshot.insert(snapshot.end(), array.begin(), array.end());
  wexlog_test::write_file(path + ".bad", snapshot);
  EXPECT_EQ(
      run(WEXLOG_TOOL " decode " + path + ".bad 2>&1"),
      result(0, salvaged + "wexlog: " + path + ".bad: ring torn at offset " + at +
                    " (ring record at offset " + at + " runs past the write position: length " +
                    std::to_string(items.size() + 9) + "); the records before it are shown\n"));
}

// A core whose descriptor lays a store out unlike any compiler would: the
// reader follows the descriptor's offsets, stops where the registry loops
// back, and refuses a descriptor of another version.
// A mapped ring's file, copied as a kill would leave it: whole, with the
// control fields of before its last push (that record cut short), with
// another task's start time or pid, and broken in the ways a reader meets.
class WexlogRingFileTest : public wexlog_test::PlatformFixture {};

TEST_F(WexlogRingFileTest,
       RecoverPrintsEachRingFileWithItsTaskAndCutShortRecordAndNotesBrokenOnes) {
  namespace fmt = velorin::ring_file_format;
  wexlog_test::use_utc();
  char maps[] = "/tmp/wexlog_maps_XXXXXX", copies[] = "/tmp/wexlog_copies_XXXXXX";
  ASSERT_TRUE(mkdtemp(maps) && mkdtemp(copies));
  ASSERT_EQ(velorin::wex_lib_log_map_rings(maps), 0);
  velorin::wex_lib_log_entry log(9, "ring/file", 400);
  velorin::wex_lib_log_map_rings(nullptr);
  const std::string mapped = fs::directory_iterator(maps)->path();
  const auto file_now = [&] {
    std::ifstream in(mapped, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), {});
  };
  for (int i = 0; i < 3; ++i)
    log.add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_WARNING, WEX_LIB_LOG_LEN_SHORT, "f",
                "message %d", i);
  const bytes before = file_now();
  log.add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_WARNING, WEX_LIB_LOG_LEN_SHORT, "f",
              "message 3");
  const bytes after = file_now();
  const std::string dir(copies), pid = std::to_string(getpid());
  const auto copy = [&](const std::string& name, bytes content, size_t at, const bytes& with) {
    std::copy(with.begin(), with.end(), content.begin() + std::ptrdiff_t(at));
    wexlog_test::write_file(dir + "/" + name, content);
  };
  copy("a.ring", after, 0, {});
  copy("b.ring", after, fmt::kControlAt,
       bytes(before.begin() + fmt::kControlAt, before.begin() + fmt::kHeaderSize));
  bytes other_start(8), other_pid(4, 0x7f), odd_size(4, 0);
  other_start[3] = 1;
  copy("c.ring", after, fmt::kStartTimeAt, other_start);
  copy("d.ring", after, fmt::kPidAt, other_pid);
  copy("e.ring", after, fmt::kControlAt + fmt::kSizeAt, odd_size);
  copy("f.ring", bytes(after.begin(), after.begin() + 200), 0, {});
  copy("g.ring", bytes(after.begin(), after.begin() + 50), 0, {});
  copy("h.ring", bytes(300, 'x'), 0, {});
  // Every older record discarded for the last one, whole but not committed.
  const auto field = [&](size_t at) {
    return before.begin() + std::ptrdiff_t(fmt::kControlAt + at);
  };
  bytes all_discarded(4, 0);
  for (const size_t at : {fmt::kWritePosAt, fmt::kWritePosAt, fmt::kSizeAt})
    all_discarded.insert(all_discarded.end(), field(at), field(at) + 4);
  copy("i.ring", after, fmt::kControlAt, all_discarded);
  const std::string lines = run(WEXLOG_TOOL " recover " + mapped).second;
  log.trace_log((dir + "/dump.log").c_str());
  const std::string dumped = run("cat " + dir + "/dump.log").second;
  const std::string three = dumped.substr(0, dumped.rfind('\n', dumped.size() - 2) + 1),
                    heading = " size 400 records ";
  const auto ring = [&](const std::string& name, const std::string& records,
                        const std::string& task) {
    return "# ring file " + dir + "/" + name + heading + records +
           " logger \"ring/file\" trace_id 9\n# task pid " + task + "\n";
  };
  EXPECT_EQ(lines, "# ring file " + mapped + heading +
                       "4 logger \"ring/file\" trace_id 9\n# task pid " + pid + " running\n" +
                       dumped);
  EXPECT_EQ(
      run(WEXLOG_TOOL " recover " + dir + " 2>&1"),
      result(1, ring("a.ring", "4", pid + " running") + dumped +
                    ring("b.ring", "3", pid + " running") + three +
                    "# uncommitted [warn??] f\tmessage 3\n" +
                    ring("c.ring", "4", pid + " stale: the pid now belongs to another task") +
                    dumped + ring("d.ring", "4", "2139062143 stale: the task has ended") + dumped +
                    ring("e.ring", "0", pid + " running") +
                    "# ring not readable: control size 0 differs from ring size 400\n"
                    "wexlog: " +
                    dir +
                    "/f.ring: ring file cut short: it holds 72 of its 400 ring bytes\n"
                    "wexlog: " +
                    dir +
                    "/g.ring: ring file cut short in its header: 50 of 128 bytes\n"
                    "wexlog: " +
                    dir + "/h.ring: not a ring file\n" + ring("i.ring", "0", pid + " running") +
                    "# uncommitted [warn??] f\tmessage 3\n"));
  EXPECT_EQ(run(WEXLOG_TOOL " recover " + dir + "/b.ring " + dir + "/a.ring 2>&1").second,
            ring("b.ring", "3", pid + " running") + three +
                "# uncommitted [warn??] f\tmessage 3\n" + ring("a.ring", "4", pid + " running") +
                dumped);
  fs::remove_all(maps);
  fs::remove_all(copies);
}

TEST_F(WexlogToolTest, RecoverFollowsTheLayoutDescriptorAndRefusesOneItCannotRead) {
  using velorin::layout::kLayoutVersion;
  const auto core_with = [&](uint32_t version) {
    return wexlog_test::layout_core(version, info, array);
  };
  const std::string records = std::to_string(std::count(dumped.begin(), dumped.end(), '\n'));
  wexlog_test::write_file(path + ".core", core_with(kLayoutVersion));
  EXPECT_EQ(run(WEXLOG_TOOL " recover " + path + ".core 2>&1"),
            result(0, "wexlog: " + path + ".core: registry reaches node 0x10200 again\n" +
                          "# ring 0x11008 size 700 records " + records +
                          " logger \"net\" trace_id 42\n" + dumped));
  wexlog_test::write_file(path + ".core", core_with(2));
  const std::string refused =
      "# rings found by scanning: layout descriptor at 0x10000 refused: version 2, this wexlog "
      "reads version 1\n";
  EXPECT_EQ(run(WEXLOG_TOOL " recover " + path + ".core").second.substr(0, refused.size()),
            refused);
}

// A 32-bit big-endian core of a thousand rings at 0x10000 on one `array` at
// 0x200000, ring i with the write and read positions `at(i)`, and what the
// scan finds there.
bytes thousand_rings(const bytes& array, uint32_t (*at)(uint32_t, bool write)) {
  wexlog_test::image rings{true, 4, {}};
  for (uint32_t i = 0; i < 1000; ++i)
    rings.put(0, 4).put(at(i, true), 4).put(at(i, false), 4).put(array.size(), 4).ptr(0x200000);
  return wexlog_test::make_core(4, true, {{0x10000, rings.b}, {0x200000, array}});
}
std::vector<wexlog::found_ring> scan(const bytes& core, bool all, wexlog::scan_stats& stats) {
  const wexlog::core_image image(core.data(), core.size());
  return wexlog::find_rings(image, wexlog::scan_options{all}, &stats);
}

// Forged cores: rings on one array of ring records that chain all the way
// round, first holding no log record, with one control state, then holding
// a header-only record each, every ring with a read position of its own, or
// a full ring from a write position of its own. Each ring record is walked
// at most twice and shown once, and the walks stop once they have read as
// many ring records as the core has bytes.
TEST(WexlogScanTest, RingsSharingAnArrayAreWalkedAndShownOnce) {
  bytes array(5 * 209715);  // just under 1 MB of 5-byte ring records
  for (size_t at = 0; at < array.size(); at += 5) array[at] = 1;
  wexlog::scan_stats stats, spread_stats, apart_stats;
  EXPECT_TRUE(scan(thousand_rings(array, [](uint32_t, bool) { return 0u; }), true, stats).empty());
  EXPECT_EQ(stats.candidates, 1000u);
  EXPECT_EQ(stats.steps, 1u);

  bytes headers(1000 * 13);  // header-only log records of 13 ring bytes
  for (size_t at = 0; at < headers.size(); at += 13) headers[at] = 9;
  const bytes spread =
      thousand_rings(headers, [](uint32_t i, bool write) { return write ? 0 : i * 13; });
  const auto found = scan(spread, false, spread_stats);
  EXPECT_EQ(spread_stats.steps, 2001u);  // two walks, each up to its end
  ASSERT_EQ(found.size(), 1000u);
  uint64_t shown = 0;
  for (const auto& ring : found) shown += ring.shown;
  EXPECT_EQ(shown, 1000u);
  EXPECT_EQ(found[0].records, 1000u);  // the full ring, from the write position
  EXPECT_FALSE(found[0].joins);
  EXPECT_EQ(found[999].records, 1u);
  ASSERT_TRUE(found[999].joins);
  EXPECT_EQ(found[999].joins->offset, 999u * 13);
  EXPECT_EQ(found[999].joins->ring, 0x10000u);
  // In text, the ring says where its records are shown.
  const std::string path = wexlog_test::temp_path("spread.core");
  wexlog_test::write_file(path, spread);
  const auto [status, text] = run(WEXLOG_TOOL " recover " + path);
  EXPECT_EQ(status, 0);
  EXPECT_NE(text.find("# ring 0x10014 size 13000 records 999 logger ? trace_id ?\n"
                      "# the records from offset 13 on are shown under ring 0x10000\n"),
            std::string::npos);
  EXPECT_LT(text.size(), 200000u);  // 1000 dump lines, not half a million
  std::remove(path.c_str());

  const size_t kept =
      scan(thousand_rings(headers, [](uint32_t i, bool) { return i * 13; }), false, apart_stats)
          .size();
  EXPECT_EQ(apart_stats.steps, 20000u + 13000 + 64);
  EXPECT_EQ(kept + apart_stats.skipped, 1000u);
  EXPECT_GT(kept, 0u);
}

// The crash fixture's cores: never larger than kCoreCap, and none at all from
// a sanitizer build, whose shadow memory would be dumped with the process.
class WexlogCoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const rlimit cap{kCoreCap, kCoreCap};  // no file written from here on grows past it
    setrlimit(RLIMIT_FSIZE, &cap);
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  // `recover --all` and `--json` against every logger's dump lines, found
  // through the layout descriptor, and "dying"'s record under construction;
  // plain `recover` shows the rings that hold records. With `scan_too`, so does the scan of the
  // core with the descriptor's magic broken, which says it scanned (the scan names only loggers
  // laid out by the GNU C++ library with its current string).
  void expect_recovered_lines(const std::string& core, bool scan_too = true) {
    ASSERT_LT(fs::file_size(core), kCoreCap) << core << " is too large to be the fixture's core";
    const std::string recover = WEXLOG_TOOL " recover ";
    const auto [status, plain] = run(recover + core);
    ASSERT_EQ(status, 0);
    std::string content = wexlog_test::read_file(core);
    const auto* magic = reinterpret_cast<const char*>(velorin::layout::kLayoutMagic);
    const size_t at = content.find(std::string(magic, sizeof velorin::layout::kLayoutMagic));
    ASSERT_NE(at, std::string::npos) << "no layout descriptor in " << core;
    content[at] = 'X';
    wexlog_test::write_file(dir + "/scanned.core", bytes(content.begin(), content.end()));
    if (scan_too) {
      EXPECT_EQ(
          run(recover + dir + "/scanned.core 2>/dev/null"),
          result(0, "# rings found by scanning: the core holds no layout descriptor\n" + plain));
    }
    const auto shown = [&plain = plain](const std::string& name,
                                        const std::vector<std::string>& dumped) {
      EXPECT_EQ(plain.find("logger \"" + name + "\"") != std::string::npos, !dumped.empty());
      if (name != "dying") return std::vector<std::string>{};
      return std::vector<std::string>{"# uncommitted [building" + std::string(24, ' ') + "]"};
    };
    EXPECT_GE(wexlog_test::expect_logger_lines(dir, run(recover + "--all " + core).second,
                                               run(recover + "--json " + core).second, shown),
              5u);
  }

  const std::string dir = ::testing::TempDir() + "wexlog_core_" + std::to_string(getpid());
};

// WEXLOG_GCORE_FIXTURE names the fixture built with another compiler, C++
// library or string ABI (CI's layout matrix), in place of this build's.
TEST_F(WexlogCoreTest, GcoreOfTheHostFixtureGivesEveryLoggersDumpLines) {
  const char* other = std::getenv("WEXLOG_GCORE_FIXTURE");
  const int status =
      run((other ? other : WEXLOG_HOST_FIXTURE) + std::string(" gcore ") + dir + " 2>/dev/null")
          .first;
  if (status == 3) GTEST_SKIP() << "no core: " << run("cat " + dir + "/gcore.out").second;
  ASSERT_EQ(status, 0);
  expect_recovered_lines(dir + "/core", other == nullptr);
}

// Runs where WEXLOG_PPC_FIXTURE names the cross-built fixture (CI sets it
// after the ppc stage).
TEST_F(WexlogCoreTest, QemuCoreOfThePowerPcFixtureGivesTheLinesOfItsSnapshotRoundTrip) {
  const char* fixture = std::getenv("WEXLOG_PPC_FIXTURE");
  if (fixture == nullptr)
    GTEST_SKIP() << "needs the PowerPC fixture: after `cmake --workflow --preset ppc`, set "
                    "WEXLOG_PPC_FIXTURE="
                    "build/ppc/tools/wexlog/tests/wexlog_crash_fixture (.ci/run does)";
  // qemu-ppc writes the guest's core into the working directory itself; the
  // filter keeps the kernel's core of qemu (if any) to a few pages.
  const auto [status, out] = run("cd " + dir +
                                 " && ulimit -c unlimited; echo 0 >/proc/self/coredump_filter; "
                                 "exec " WEXLOG_QEMU_PPC " -L " WEXLOG_PPC_SYSROOT " " +
                                 fixture + " snapshots " + dir + " 2>&1");
  ASSERT_EQ(status, 128 + SIGABRT) << out;
  std::string core;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() == ".core") core = entry.path();
  }
  ASSERT_FALSE(core.empty()) << "qemu-ppc wrote no core (hard core size limit 0?)";
  expect_recovered_lines(core);
  std::ifstream manifest(dir + "/loggers.txt");
  for (std::string name, id; manifest >> name >> id;) {
    const auto decoded = run(WEXLOG_TOOL " decode " + dir + "/" + name + ".snap");
    EXPECT_EQ(decoded, result(0, run("cat " + dir + "/" + name + ".log").second)) << name;
  }
}

// The crash fixture running in its live mode, told through its standard
// input to log more; ended by closing it.
// A child process, killed unless it has been waited for.
class child {
 public:
  explicit child(pid_t pid) : pid_(pid) {}
  ~child() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
  }
  // Its exit status after `signal`, or -1.
  int end_with(int signal) {
    int status = 0;
    const bool ended = kill(pid_, signal) == 0 && waitpid(pid_, &status, 0) == pid_;
    pid_ = -1;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_;
};

class live_fixture {
 public:
  explicit live_fixture(const std::string& dir) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 2);  // its trace prints
      execl(WEXLOG_HOST_FIXTURE, WEXLOG_HOST_FIXTURE, "live", dir.c_str(), nullptr);
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = fdopen(out[0], "r");
  }
  ~live_fixture() {
    close(to_);
    if (from_ != nullptr) std::fclose(from_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  std::string pid() const { return std::to_string(pid_); }
  // Sends `line` (none when empty) and waits until the fixture has logged
  // and written its loggers' dump lines.
  bool ready(const std::string& line = {}) {
    if (!line.empty() && write(to_, (line + "\n").data(), line.size() + 1) < 0) return false;
    char answer[16] = {};
    return from_ != nullptr && std::fgets(answer, sizeof answer, from_) != nullptr &&
           std::string(answer) == "ready\n";
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1;
  FILE* from_ = nullptr;
};

std::string file_text(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Whether `done()` turns true within five seconds.
template <class Done>
bool within_seconds(Done&& done) {
  for (int i = 0; i < 500; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
    if (done()) return true;
  }
  return false;
}

// The record lines of a ring's lines (heading and lost lines left out).
std::vector<std::string> records_of(const std::vector<std::string>& lines) {
  std::vector<std::string> records;
  for (const auto& line : lines) {
    if (line.rfind('#', 0) != 0) records.push_back(line);
  }
  return records;
}

// attach prints every logger's dump lines as recover does and leaves the
// rings as they are; --follow prints only what arrives after it started,
// says where a ring lost records before it could read them, and ends with
// status 0 at SIGINT. A process without the library, or none at all, is
// refused in one line.
TEST_F(WexlogCoreTest, AttachReadsARunningTaskAndFollowsItsNewRecords) {
  const std::string attach = WEXLOG_TOOL " attach ";
  live_fixture task(dir);
  ASSERT_TRUE(task.ready());
  const result attached = run(attach + task.pid() + " 2>&1");
  const std::string& first = attached.second;
  if (attached.first == 1 && first.find("needs the right to trace") != std::string::npos) {
    GTEST_SKIP() << first;
  }
  ASSERT_EQ(attached.first, 0) << first;
  auto rings = wexlog_test::lines_by_logger(first);
  std::ifstream manifest(dir + "/loggers.txt");
  for (std::string name, id; manifest >> name >> id;) {
    const auto dumped = wexlog_test::read_lines(dir + "/" + name + ".log");
    wexlog_test::expect_ring_lines(rings[name], name, id, dumped);
  }
  EXPECT_EQ(run(attach + task.pid()), result(0, first));

  const std::string followed = dir + "/followed";
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(followed.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    execl(WEXLOG_TOOL, WEXLOG_TOOL, "attach", task.pid().c_str(), "--follow", "--interval", "20",
          nullptr);
    _exit(127);
  }
  child follow(pid);
  ASSERT_TRUE(within_seconds([&] { return file_text(followed) == first; }));
  ASSERT_TRUE(task.ready("more"));
  const auto wrapped = wexlog_test::read_lines(dir + "/wrapped.log");
  const auto full = wexlog_test::read_lines(dir + "/full.log");
  ASSERT_GE(wrapped.size(), 3u);
  const auto since = [&] {
    return wexlog_test::lines_by_logger(file_text(followed).substr(first.size()));
  };
  EXPECT_TRUE(within_seconds([&] {
    const auto now = records_of(since()["full"]);
    return now.size() >= full.size() &&
           std::equal(full.begin(), full.end(), now.end() - std::ptrdiff_t(full.size()));
  }));
  EXPECT_EQ(follow.end_with(SIGINT), 0);
  auto after = since();
  EXPECT_EQ(records_of(after["wrapped"]),
            std::vector<std::string>(wrapped.end() - 3, wrapped.end()));
  const auto lost =
      std::count_if(after["full"].begin(), after["full"].end(), [](const std::string& line) {
        return line.rfind("# records lost since the last poll: at least ", 0) == 0;
      });
  EXPECT_GE(lost, 1) << file_text(followed);
  after.erase("scratch");  // the fixture's own, for its dump lines
  EXPECT_EQ(after.size(), 2u);

  const std::string no_logger =
      ": no layout descriptor in its memory: the library is not loaded, or it has made no logger "
      "yet\n";
  const auto [refused, why] =
      run("sleep 5 & " + attach + "$! 2>&1; status=$?; kill $!; exit $status");
  EXPECT_EQ(refused, 1);
  EXPECT_EQ(why.substr(why.size() - std::min(why.size(), no_logger.size())), no_logger);
  EXPECT_EQ(run(attach + "2147483647 2>&1"),
            result(1, "wexlog: process 2147483647: no such process\n"));
}

}  // namespace

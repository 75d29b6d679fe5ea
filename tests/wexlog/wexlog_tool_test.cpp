// wexlog on synthetic cores of every ELF class and byte order and on broken
// cores, its JSON lines, and the command line's output and exit statuses.
#include <core_file.h>
#include <render.h>
#include <ring_scan.h>
#include <sys/wait.h>
#include <wex_lib_log_entry.h>
#include <wex_lib_log_snapshot.h>

#include "synthetic_core.h"
#include "test_support.h"

namespace {

using bytes = wexlog_test::core_bytes;

std::string refusal(const bytes& core) {
  try {
    wexlog::core_image image(core.data(), core.size());
    return "accepted";
  } catch (const wexlog::input_error& e) {
    return e.what();
  }
}

std::string text_of(const wexlog::found_ring& ring) {
  std::string text;
  for (const auto& record : ring.records) wexlog::append_dump_line(text, record);
  return text;
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
    std::ifstream in(path + ".log");
    dumped.assign(std::istreambuf_iterator<char>(in), {});
  }
  void TearDown() override {
    for (const char* suffix : {".snap", ".log", ".bad"}) std::remove((path + suffix).c_str());
    PlatformFixture::TearDown();
  }
  velorin::wex_lib_log_entry log{42, "net", 700};
  const std::string path = wexlog_test::temp_path("tool");
  velorin::WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_ info{};
  bytes array;
  std::string dumped;  // the dump of the ring exported into `info` and `array`
};

TEST_F(WexlogToolTest, RecoverFindsRingsInCoresOfBothClassesAndByteOrders) {
  ASSERT_NE(info.read_pos, 0u);
  const std::string records =
      " size 700 records " + std::to_string(std::count(dumped.begin(), dumped.end(), '\n'));
  for (const unsigned int p : {4u, 8u}) {
    for (const bool big : {false, true}) {
      SCOPED_TRACE(std::to_string(p * 8) + (big ? "-bit big-endian" : "-bit little-endian"));
      bytes stores = wexlog_test::store_image(big, p, 0x10000, "net", 42, info, 0x20000, 0);
      // The same ring's fields after bytes that are no record store, and an
      // empty ring in a store whose name is not in the string's own buffer.
      const bytes fields(stores.begin() + 8 * p + 16, stores.end());
      stores.resize(0x100, 0xEE);
      stores.insert(stores.end(), fields.begin(), fields.end());
      const std::string name(17, 'h');
      const bytes empty =
          wexlog_test::store_image(big, p, 0x10200, name, -5, {1, 9, 9, 64}, 0x20000, 0x30000);
      stores.resize(0x200);
      stores.insert(stores.end(), empty.begin(), empty.end());
      const bytes core = wexlog_test::make_core(
          p, big,
          {{0x10000, stores}, {0x20000, array}, {0x30000, bytes(name.c_str(), name.c_str() + 18)}});
      const wexlog::core_image image(core.data(), core.size());
      auto rings = wexlog::find_rings(image, wexlog::scan_options{false});
      ASSERT_EQ(rings.size(), 2u);
      const std::string at = p == 4 ? "3" : "5";
      EXPECT_EQ(wexlog::ring_heading(rings[0]),
                "# ring 0x100" + at + "0" + records + " logger \"net\" trace_id 42\n");
      EXPECT_EQ(wexlog::ring_heading(rings[1]),
                "# ring 0x10100" + records + " logger ? trace_id ?\n");
      EXPECT_EQ(text_of(rings[0]), dumped);
      EXPECT_EQ(text_of(rings[1]), dumped);
      rings = wexlog::find_rings(image, wexlog::scan_options{true});
      ASSERT_EQ(rings.size(), 3u);
      EXPECT_EQ(wexlog::ring_heading(rings[2]),
                "# ring 0x102" + at + "0 size 64 records 0 logger \"" + name + "\" trace_id -5\n");

      bytes broken = core;  // one length prefix off: neither copy is a ring any more
      ++broken[core.size() - 18 - array.size() + info.read_pos];
      const wexlog::core_image broken_image(broken.data(), broken.size());
      EXPECT_TRUE(wexlog::find_rings(broken_image, wexlog::scan_options{false}).empty());
    }
  }
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
      "\n");
  out.clear();
  wexlog::append_json_line(out, wexlog_test::hex_bytes("E8 03 00 00 34 12 00 00 01 02 FE"), {});
  EXPECT_EQ(
      out, R"({"logger":null,"trace_id":null,"ring":null,"time":"00:00:01.000","time_ms":1000,)"
           R"("task_id":4660,"items":[],"malformed":true,"line":"[00:00:01.000:4660][!malformed]"})"
           "\n");
}

TEST_F(WexlogToolTest, DecodePrintsTheDumpLinesAndUnusableInputEndsWithAMessageAndStatus1) {
  const auto run = [](const std::string& arguments) {
    FILE* pipe = popen((std::string(WEXLOG_TOOL) + " " + arguments + " 2>&1").c_str(), "r");
    std::string out(1 << 16, '\0');
    out.resize(std::fread(&out[0], 1, out.size(), pipe));
    return std::to_string(WEXITSTATUS(pclose(pipe))) + " " + out;
  };
  EXPECT_EQ(run("decode " + path + ".snap"), "0 " + dumped);
  const std::string bad = path + ".bad";
  std::ofstream(bad) << "not a core\n";
  EXPECT_EQ(run("recover " + bad), "1 wexlog: " + bad + ": not an ELF file\n");
  EXPECT_EQ(run("decode " + bad),
            "1 wexlog: " + bad + ": not a ring snapshot (no WEXLOGRS magic)\n");
  std::remove(bad.c_str());
  EXPECT_EQ(run("decode " + bad),
            "1 wexlog: " + bad + ": cannot open: No such file or directory\n");
  EXPECT_EQ(run("").substr(0, 2), "2 ");
  EXPECT_EQ(run("recover --bogus x").substr(0, 2), "2 ");
}

}  // namespace

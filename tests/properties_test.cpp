// Property commands: echo lines, replies on standard output and through the
// trace print, and the settings they change.
#include <wex_lib_log_entry.h>

#include "test_support.h"

namespace {

using strings = std::vector<std::string>;
constexpr int kId = 31;

class PropertiesTest : public wexlog_test::PlatformFixture {
 protected:
  velorin::wex_lib_log_entry log{kId, "props", 256};
};

struct fields {
  int normal, usb, file_trace, gen_mode;
};

// The rows run in order on one logger; `after` is its state after the row.
struct row {
  const char* command;
  std::string replies;  // standard output after the "[349] <command>\n" echo
  strings traces;       // trace prints after the "1|[348] <command>" echo
  fields after;
};

const std::string kPath = "/var/log/echo.txt";
const std::string kParamError = "[425] : param Error\n";
const std::string kParamErrorTrace = "0|[426] : param Error.";

const row kRows[] = {
    {",N,3", "[389] : Normal LV[3]\n", {"1|[390] : Normal LV[3]"}, {3, 3, 0, 0}},
    {"N,3", kParamError, {kParamErrorTrace}, {3, 3, 0, 0}},
    {",N, 4", "[389] : Normal LV[4]\n", {"1|[390] : Normal LV[4]"}, {4, 3, 0, 0}},
    {",n,5", "[389] : Normal LV[5]\n", {"1|[390] : Normal LV[5]"}, {5, 3, 0, 0}},
    {",N,4x", "[389] : Normal LV[4]\n", {"1|[390] : Normal LV[4]"}, {4, 3, 0, 0}},
    {",u,1", "[404] : USB LV[1]\n", {"1|[405] : USB LV[1]"}, {4, 1, 0, 0}},
    {",N,0", "", {}, {4, 1, 0, 0}},
    {",N,6", "", {}, {4, 1, 0, 0}},
    {",U,-1", "", {}, {4, 1, 0, 0}},
    {",U", "", {}, {4, 1, 0, 0}},
    {",U,5", "[404] : USB LV[5]\n", {"1|[405] : USB LV[5]"}, {4, 5, 0, 0}},
    {",D,1",
     "[373] : start[1] " + kPath + "\n",
     {"1|[374] : start[1] " + kPath + "\n"},
     {4, 5, 1, 0}},
    {",D,2", "", {}, {4, 5, 1, 0}},
    {",D,abc",
     "[367] : end[0]   " + kPath + "\n",
     {"1|[368] : end[0]   " + kPath + "\n"},
     {4, 5, 0, 0}},
    {"cfg,DEBUG,1",
     "[373] : start[1] " + kPath + "\n",
     {"1|[374] : start[1] " + kPath + "\n"},
     {4, 5, 1, 0}},
    {",d,",
     "[367] : end[0]   " + kPath + "\n",
     {"1|[368] : end[0]   " + kPath + "\n"},
     {4, 5, 0, 0}},
    {",T", "[420] : GENTRACE\n", {"1|[421] : GENTRACE"}, {4, 5, 0, 1}},
    {",t", "[420] : GENTRACE\n", {"1|[421] : GENTRACE"}, {4, 5, 0, 1}},
    {",Pabc", "[413] : GENPRINT\n", {"1|[414] : GENPRINT"}, {4, 5, 0, 0}},
    {",", kParamError, {kParamErrorTrace}, {4, 5, 0, 0}},
    {",X", kParamError, {kParamErrorTrace}, {4, 5, 0, 0}},
    {",E", kParamError, {kParamErrorTrace}, {4, 5, 0, 0}},
    {"a,b,N,3", kParamError, {kParamErrorTrace}, {4, 5, 0, 0}},
    {"N3", "", {}, {4, 5, 0, 0}},
    {nullptr, "", {}, {4, 5, 0, 0}},
};

TEST_F(PropertiesTest, EveryCommandIsEchoedThenRepliedAndChangesOnlyItsField) {
  EXPECT_EQ(wexlog_test::stdout_of([&] { log.set_properties(kPath.c_str()); }), "");
  EXPECT_EQ(log.file_path(), kPath);
  for (const row& r : kRows) {
    const std::string shown = r.command ? r.command : "(null)";
    SCOPED_TRACE(shown);
    EXPECT_EQ(wexlog_test::stdout_of([&] { log.set_properties_command(r.command); }),
              "[349] " + shown + "\n" + r.replies);
    strings traces{"1|[348] " + shown};
    traces.insert(traces.end(), r.traces.begin(), r.traces.end());
    EXPECT_EQ(wexlog_test::take_traces(kId), traces);
    EXPECT_EQ(log.normal_level(), r.after.normal);
    EXPECT_EQ(log.usb_level(), r.after.usb);
    EXPECT_EQ(log.file_trace(), r.after.file_trace);
    EXPECT_EQ(log.gen_mode(), r.after.gen_mode);
  }
  EXPECT_EQ(log.file_path(), kPath);
}

TEST_F(PropertiesTest, PathIsReplacedClearedAndKeptOnNull) {
  EXPECT_EQ(log.normal_level(), 2);
  EXPECT_EQ(log.usb_level(), 3);
  EXPECT_EQ(log.file_trace(), 0);
  EXPECT_EQ(log.gen_mode(), 0);
  EXPECT_EQ(log.file_path(), "");
  log.set_properties("first");
  log.set_properties(nullptr);
  EXPECT_EQ(log.file_path(), "first");
  log.set_properties("");
  EXPECT_EQ(log.file_path(), "");
  EXPECT_EQ(wexlog_test::stdout_of([&] { log.set_properties_command(",D,0"); }),
            "[349] ,D,0\n[367] : end[0]   \n");
  EXPECT_EQ(wexlog_test::take_traces(kId), (strings{"1|[348] ,D,0", "1|[368] : end[0]   \n"}));
}

}  // namespace

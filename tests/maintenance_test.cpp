// SPDX-License-Identifier: MIT
// Maintenance-log entry points: argument forwarding and status translation.
#include "wex_lib_log_maintenance.h"

#include <climits>

#include "test_support.h"

namespace {

using platform_standin::set_service_status;
using MaintenanceEntryPoints = wexlog_test::PlatformFixture;

// The service calls since the last look, as "function args texts; ...".
std::string calls() {
  std::string out;
  for (const auto& c : platform_standin::take_service_calls()) {
    out += c.function;
    for (unsigned long a : c.args) out += " " + std::to_string(a);
    for (const auto& t : {std::make_pair(c.text, c.text_is_null), {c.text2, c.text2_is_null}})
      out += t.second ? " null" : t.first.empty() ? "" : " " + t.first;
    out += ";";
  }
  return out;
}

TEST_F(MaintenanceEntryPoints, RunMapsSelectorsAndTranslatesEveryStatus) {
  const int codes[] = {0, 1, 4, 2, 3, 5};
  for (unsigned selector = 0; selector < 6; ++selector) {
    EXPECT_EQ(wex_lib_log_run(selector, 11, 22, 33, 44, 0xFFFFFFFF), 0);
    EXPECT_EQ(calls(),
              "tesk_log_run " + std::to_string(codes[selector]) + " 11 22 33 44 4294967295;");
  }
  EXPECT_EQ(wex_lib_log_run(6, 1, 2, 3, 4, 5), -9);
  EXPECT_EQ(wex_lib_log_run(0xFFFFFFFF, 1, 2, 3, 4, 5), -9);
  EXPECT_EQ(calls(), "");
  const auto run_with = [](int status) {
    set_service_status("tesk_log_run", status);
    return wex_lib_log_run(2, 0, 0, 0, 0, 0);
  };
  for (int k = 3; k <= 8; ++k) EXPECT_EQ(run_with(0x740B0000 + k), -k);
  for (int status : {0x740B0009, 0x740B0001, 0x740B0002, 0x740B000A, 1, -1, INT_MIN})
    EXPECT_EQ(run_with(status), -9) << std::hex << status;
  EXPECT_EQ(run_with(0), 0);
}

TEST_F(MaintenanceEntryPoints,
       RpcodeCallsClassifyFailuresByArgumentsAndAuthCheckAnswersOneOnFailure) {
  EXPECT_EQ(wex_lib_log_rpcode_write(7, 7, nullptr), 0);
  EXPECT_EQ(calls(), "tesk_rpcode_write 7 7 null;");
  set_service_status("tesk_rpcode_write", 0x740B0003);
  const char* const twelve = "123456789012";
  // clang-format off
  const struct { unsigned first, second; const char* text; int result; } rows[] = {
      {1, 0, twelve, -2}, {0, 1, "123456789012345", -2}, {1, 0, "12345678901", -1},
      {2, 0, twelve, -1}, {0xFFFFFFFF, 1, twelve, -1}, {1, 5, nullptr, -1}, {1, 1, nullptr, -1}};
  // clang-format on
  for (const auto& row : rows) {
    const std::string args = std::to_string(row.first) + " " + std::to_string(row.second) + " " +
                             (row.text ? row.text : "null");
    EXPECT_EQ(wex_lib_log_rpcode_write(row.first, row.second, row.text), row.result) << args;
    EXPECT_EQ(calls(), "tesk_rpcode_write " + args + ";");
  }
  char out[16];
  EXPECT_EQ(wex_lib_log_rpcode_read(9, 9, out, 16), 0);
  EXPECT_EQ(platform_standin::take_service_calls().at(0).out, out);  // the caller's buffer
  set_service_status("tesk_rpcode_read", 1);
  EXPECT_EQ(wex_lib_log_rpcode_read(0, 1, out, 16), -2);
  EXPECT_EQ(wex_lib_log_rpcode_read(1, 0, out, 16), -2);
  EXPECT_EQ(wex_lib_log_rpcode_read(2, 0, out, 16), -1);
  EXPECT_EQ(wex_lib_log_rpcode_read(0, 2, out, 15), -1);
  EXPECT_EQ(calls(),
            "tesk_rpcode_read 0 1 16;tesk_rpcode_read 1 0 16;tesk_rpcode_read 2 0 16;"
            "tesk_rpcode_read 0 2 15;");

  EXPECT_EQ(wex_lib_log_rpcode_calc(5, 6, "x"), 0);
  EXPECT_EQ(wex_lib_log_auth_check("user", "pass"), 0);
  EXPECT_EQ(calls(), "tesk_rpcode_calc 5 6 x;tesk_mainte_auth_check user pass;");
  for (int status : {1, -1, 0x740B0005}) {
    set_service_status("tesk_rpcode_calc", status);
    set_service_status("tesk_mainte_auth_check", status);
    EXPECT_EQ(wex_lib_log_rpcode_calc(0, 0, "123456789012"), -2);
    EXPECT_EQ(wex_lib_log_rpcode_calc(9, 9, nullptr), -2);
    EXPECT_EQ(wex_lib_log_auth_check("user", "pass"), 1);
  }
  calls();
  EXPECT_EQ(wex_lib_log_line_log_wrap("anything") | wex_lib_log_line_log_wrap(nullptr), 0);
  EXPECT_EQ(calls(), "");  // and calls no service
}

}  // namespace

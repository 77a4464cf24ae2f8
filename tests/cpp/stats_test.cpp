// Diagnostics: the switch, number formats and line formats.
#include "stats.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace selkbar {
namespace {

Diagnostics diagnostics_on() { return diagnostics_from_env("1", "/usr/bin:/bin"); }

TEST(StatsSwitch, OnForAnyValueButEmptyAndZero) {
  EXPECT_FALSE(diagnostics_from_env(nullptr, nullptr).enabled);
  EXPECT_FALSE(diagnostics_from_env(nullptr, nullptr).present);
  for (const char* off : {"", "0"}) {
    EXPECT_FALSE(diagnostics_from_env(off, nullptr).enabled) << off;
    EXPECT_TRUE(diagnostics_from_env(off, nullptr).present) << off;
  }
  for (const char* on : {"1", "00", "false", "no", "\xff"}) {
    EXPECT_TRUE(diagnostics_from_env(on, nullptr).enabled) << on;
  }
}

// bench/run.py reads these lines back.
TEST(Formats, SizingAndSummaryLines) {
  EXPECT_EQ(format_sizing_line({1048576, 8, 65536, 8, 2, 8}),
            "sizing: chunk=1024KB queue=8 batch=64KB ranges=8 workers=2 partitions=8\n");
  Phase1Stats stats;
  stats.read_ns = 1499999999;
  stats.scan_hash_ns = 2500000;  // 2.5 ms rounds to even: 2
  stats.insert_ns = 3500000;     // 3.5 ms rounds to even: 4
  stats.merge_ns = 7000000;
  EXPECT_EQ(format_phase1_summary(stats, {65536, 4, 65536, 1, 2, 8}),
            "phase1 cpu-ms (summed across threads):\n"
            "  read 1500 over 2 workers\n"
            "  scan+hash 2\n"
            "  recv-blocked 0\n"
            "  insert 4\n"
            "  merge 7 over 8 partitions\n");
}

TEST(Formats, DurationsPickTheUnitAndRoundHalfUp) {
  EXPECT_EQ(format_duration(1234567), "1.23ms");
  EXPECT_EQ(format_duration(999), "999.00ns");
  EXPECT_EQ(format_duration(1000), "1.00\xC2\xB5s");
  EXPECT_EQ(format_duration(1500000000), "1.50s");
  EXPECT_EQ(format_duration(12345000), "12.35ms");
  EXPECT_EQ(format_duration(999999999), "1000.00ms");
  EXPECT_EQ(format_duration(0), "0.00ns");
}

TEST(Formats, RssParsingAndLine) {
  EXPECT_EQ(parse_rss_kib(" 2047\n"), 2047u);
  EXPECT_EQ(parse_rss_kib("\xC2\xA0" "12\xE3\x80\x80"), 12u);
  EXPECT_FALSE(parse_rss_kib("").has_value());
  EXPECT_FALSE(parse_rss_kib("12 13").has_value());
  EXPECT_FALSE(parse_rss_kib("error: no such process").has_value());
  EXPECT_EQ(format_rss_line("combining shards", 2047), "rss after combining shards: 1 MB\n");
  EXPECT_EQ(format_rss_line("combining shards", 1023), "rss after combining shards: 0 MB\n");
}

TEST(StatsOutput, RssProbeAndLapPrintOnlyWhenOn) {
  const Diagnostics off = diagnostics_from_env("0", "/usr/bin:/bin");
  testing::internal::CaptureStderr();
  report_rss(off, "x");
  PhaseTimer(off).lap("alphabet");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  testing::internal::CaptureStderr();
  report_rss(diagnostics_on(), "probe");
  PhaseTimer timer(diagnostics_on());
  timer.lap("alphabet");
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("rss after probe: "), std::string::npos) << out;
  EXPECT_NE(out.find("  phase2 alphabet: "), std::string::npos) << out;
}

TEST(StatsOutput, RssProbeIsSilentWithoutPs) {
  testing::internal::CaptureStderr();
  report_rss(diagnostics_from_env("1", "/nonexistent"), "probe");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(StatsSwitch, MinRangeTakesOnlyPositiveDecimals) {
  for (const char* ignored : {"0", "-5", "abc", "", "18446744073709551616", " 5", "5 "}) {
    EXPECT_EQ(min_range_from_env(ignored), DEFAULT_MIN_RANGE) << "'" << ignored << "'";
  }
  EXPECT_EQ(min_range_from_env("+1048576"), 1048576u);
  EXPECT_EQ(min_range_from_env("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(min_range_from_env(nullptr), DEFAULT_MIN_RANGE);
}

}  // namespace
}  // namespace selkbar

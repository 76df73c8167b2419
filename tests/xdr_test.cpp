// SPDX-License-Identifier: BSD-3-Clause
// The time value filter and the reply bodies, encoded and decoded in memory.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "date.h"
#include "server_output.h"

FILE *server_output = stdout;

namespace {

std::vector<uint8_t> encode(xdrproc_t filter, void *value, bool *ok) {
  std::vector<uint8_t> buffer(256);
  XDR xdrs;
  xdrmem_create(&xdrs, reinterpret_cast<char *>(buffer.data()), static_cast<u_int>(buffer.size()),
                XDR_ENCODE);
  *ok = filter(&xdrs, value) != 0;
  buffer.resize(xdr_getpos(&xdrs));
  xdr_destroy(&xdrs);
  return buffer;
}

bool decode_time(std::vector<uint8_t> bytes, long *value) {
  XDR xdrs;
  xdrmem_create(&xdrs, reinterpret_cast<char *>(bytes.data()), static_cast<u_int>(bytes.size()),
                XDR_DECODE);
  bool ok = xdr_time_value(&xdrs, value) != 0;
  xdr_destroy(&xdrs);
  return ok;
}

struct TimeCase {
  const char *name;
  long value;
  std::vector<uint8_t> wire;
  friend std::ostream &operator<<(std::ostream &out, const TimeCase &c) { return out << c.name; }
};

class TimeValueRoundTrip : public ::testing::TestWithParam<TimeCase> {};

TEST_P(TimeValueRoundTrip, EncodesToFourBytesAndDecodesBack) {
  TimeCase c = GetParam();
  bool ok = false;
  EXPECT_EQ(encode(as_xdrproc(xdr_time_value), &c.value, &ok), c.wire);
  EXPECT_TRUE(ok);
  long decoded = 12345;
  ASSERT_TRUE(decode_time(c.wire, &decoded));
  EXPECT_EQ(decoded, c.value);
}

INSTANTIATE_TEST_SUITE_P(Values, TimeValueRoundTrip,
                         ::testing::Values(TimeCase{"Zero", 0, {0, 0, 0, 0}},
                                           TimeCase{"MinusOne", -1, {0xff, 0xff, 0xff, 0xff}},
                                           TimeCase{"One", 1, {0, 0, 0, 1}},
                                           TimeCase{"Largest", INT32_MAX, {0x7f, 0xff, 0xff, 0xff}},
                                           TimeCase{"Smallest", INT32_MIN, {0x80, 0, 0, 0}},
                                           TimeCase{"Today", 1796719620, {0x6b, 0x17, 0xc4, 0x04}}),
                         [](const ::testing::TestParamInfo<TimeCase> &p) {
                           return std::string(p.param.name);
                         });

// Where long is 32 bits, every long fits, and the rows above, with the
// largest and smallest long, show it.
TEST(TimeValue, RefusesValuesOutsideThirtyTwoBits) {
  if (sizeof(long) == 4) {
    GTEST_SKIP() << "a 32-bit long has no value outside 32 bits";
  }
  for (int64_t wide : {int64_t{INT32_MAX} + 1, int64_t{INT32_MIN} - 1, int64_t{4294967301},
                       int64_t{LONG_MAX}, int64_t{LONG_MIN}}) {
    long value = static_cast<long>(wide);
    bool ok = true;
    encode(as_xdrproc(xdr_time_value), &value, &ok);
    EXPECT_FALSE(ok) << value;
  }
}

TEST(TimeValue, DecodeFailsOnShortInput) {
  long value = 0;
  EXPECT_FALSE(decode_time({0xff, 0xff, 0xff}, &value));
  EXPECT_FALSE(decode_time({}, &value));
}

// The routines themselves: what procedure 2 answers for time 0, and the
// reply body that the dispatcher encodes from it.
TEST(DateText, ReplyBodyForTimeZeroIsThirtyTwoBytes) {
  setenv("TZ", "UTC", 1);
  tzset();
  long when = 0;
  char **text = str_date_1_svc(&when, nullptr);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(*text, "Thu Jan  1 00:00:00 1970\n");

  bool ok = false;
  std::vector<uint8_t> body = encode(as_xdrproc(xdr_wrapstring), text, &ok);
  ASSERT_TRUE(ok);
  ASSERT_EQ(body.size(), 32U);
  EXPECT_EQ(std::vector<uint8_t>(body.begin(), body.begin() + 4),
            (std::vector<uint8_t>{0, 0, 0, 25}));
  EXPECT_EQ(std::string(body.begin() + 4, body.begin() + 29), "Thu Jan  1 00:00:00 1970\n");
  EXPECT_EQ(std::vector<uint8_t>(body.begin() + 29, body.end()), (std::vector<uint8_t>{0, 0, 0}));
}

TEST(DateText, SameSlotEachCallAndNegativeTimesPredateTheEpoch) {
  setenv("TZ", "UTC", 1);
  tzset();
  long first = 86400;
  long before_epoch = -1;
  char **a = str_date_1_svc(&first, nullptr);
  char **b = str_date_1_svc(&before_epoch, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_STREQ(*b, "Wed Dec 31 23:59:59 1969\n");
}

// The routine renders dates itself; its text is ctime's, byte for byte, in
// zones with whole and part hours, before 1970, and where long is wider than
// 32 bits past 2038 and past the year 9999, and before the year 0. Where
// ctime has no text (a year past an int's), the routine gives no answer and
// prints no line.
TEST(DateText, RendersAsCtimeDoes) {
  const int64_t times[] = {0,
                           -1,
                           59,
                           86399,
                           951782400,
                           1796719620,
                           INT32_MAX,
                           INT32_MIN,
                           253402300799,
                           253402300800,
                           -62135596801,
                           -62167219201,
                           -99999999999,
                           99999999999999,
                           67767976233316799,
                           67768036191676799,
                           INT64_MAX};
  for (const char *zone : {"UTC", "Asia/Kolkata", "America/St_Johns", "Pacific/Kiritimati"}) {
    setenv("TZ", zone, 1);
    tzset();
    for (int64_t wide : times) {
      if (wide < LONG_MIN || wide > LONG_MAX) {
        continue;
      }
      long when = static_cast<long>(wide);
      time_t t = when;
      const char *expected = ctime(&t);
      if (expected == nullptr) {
        FILE *lines = tmpfile();
        ASSERT_NE(lines, nullptr);
        server_output = lines;
        char **none = str_date_1_svc(&when, nullptr);
        server_output = stdout;
        EXPECT_EQ(none, nullptr) << zone << " " << when;
        EXPECT_EQ(ftell(lines), 0) << zone << " " << when;
        fclose(lines);
        continue;
      }
      std::string wanted = expected;
      char **text = str_date_1_svc(&when, nullptr);
      ASSERT_NE(*text, nullptr) << zone << " " << when;
      EXPECT_EQ(*text, wanted) << zone << " " << when;
    }
  }
}

TEST(BinDate, ReturnsTheSameSlotWithTheClock) {
  long *a = bin_date_1_svc(nullptr, nullptr);
  time_t before = time(nullptr);
  long *b = bin_date_1_svc(nullptr, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_GE(*b, before);
  EXPECT_LE(*b, before + 1);
}

}  // namespace

#include "ea/ea_time.h"

#include "agent/sysclock.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <string>

namespace
{

// Zones as POSIX rules, so the tests need no time zone database.
const char utc[] = "UTC0";
const char berlin[] = "CET-1CEST,M3.5.0,M10.5.0/3";
const char tokyo[] = "JST-9";

class EngineTime : public testing::Test
{
  protected:
    void SetUp() override
    {
        const char *tz = getenv("TZ");
        had_tz_ = tz != nullptr;
        saved_tz_ = tz ? tz : "";
    }
    void TearDown() override
    {
        if (had_tz_)
            setenv("TZ", saved_tz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        sysclock_real();
    }
    static void zone(const char *tz)
    {
        setenv("TZ", tz, 1);
        tzset();
    }
    // Stops the clock at a UTC wall time.
    static void at_utc(int y, int mo, int d, int h, int mi, int s)
    {
        struct tm tm = {};
        tm.tm_year = y - 1900;
        tm.tm_mon = mo - 1;
        tm.tm_mday = d;
        tm.tm_hour = h;
        tm.tm_min = mi;
        tm.tm_sec = s;
        sysclock_fake(timegm(&tm), 1000.0);
    }

  private:
    bool had_tz_ = false;
    std::string saved_tz_;
};

std::string bytes(const UPS_TIMEINFO &t)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%u-%d-%d %d:%d:%d r%d", t.year, t.month, t.day, t.hour, t.minute,
             t.second, t.wReserver);
    return buf;
}

} // namespace

TEST_F(EngineTime, RecordOfNoTimeAndOfAnInvalidTime)
{
    UPS_TIMEINFO t;
    memset(&t, 0xAA, sizeof t);
    EXPECT_EQ(gettime(0, &t), 0);
    const unsigned char zero[8] = {};
    EXPECT_EQ(memcmp(&t, zero, sizeof t), 0);

    memset(&t, 0x5C, sizeof t);
    EXPECT_EQ(gettime(-5, &t), -1);
    for (size_t i = 0; i < sizeof t; i++)
        EXPECT_EQ(reinterpret_cast<unsigned char *>(&t)[i], 0x5C);
}

TEST_F(EngineTime, RecordYearIsOneByteFrom1900)
{
    zone(utc);
    UPS_TIMEINFO t = {};
    t.wReserver = 7;                      // not the converter's to touch
    ASSERT_EQ(gettime(946684800, &t), 0); // 2000-01-01 00:00:00 UTC
    EXPECT_EQ(bytes(t), "100-1-1 0:0:0 r7");
    ASSERT_EQ(gettime(5942112345, &t), 0); // 2158-04-19 UTC: 258 wraps to 2
    EXPECT_EQ(t.year, 2u);
    ASSERT_EQ(gettime(5879433599, &t), 0); // 2156-04-23 23:59:59 UTC: 256 wraps to 0
    EXPECT_EQ(bytes(t), "0-4-23 23:59:59 r7");
}

TEST_F(EngineTime, RecordFollowsTheLocalZone)
{
    // 2026-07-01 22:30:15 UTC is the next day in Tokyo and summer time in
    // Berlin.
    const time_t t0 = 1782945015;
    UPS_TIMEINFO t = {};
    zone(utc);
    gettime(t0, &t);
    EXPECT_EQ(bytes(t), "126-7-1 22:30:15 r0");
    zone(berlin);
    gettime(t0, &t);
    EXPECT_EQ(bytes(t), "126-7-2 0:30:15 r0");
    zone(tokyo);
    gettime(t0, &t);
    EXPECT_EQ(bytes(t), "126-7-2 7:30:15 r0");
    // Winter: Berlin is one hour ahead only.
    zone(berlin);
    gettime(t0 - 180 * 86400, &t);
    EXPECT_EQ(t.hour, 23);
}

TEST_F(EngineTime, RelativeTimesDropTheSeconds)
{
    zone(utc);
    at_utc(2026, 3, 7, 10, 15, 42);
    EXPECT_STREQ(user_time(90), "10:17:00");
    EXPECT_STREQ(user_date(0), "2026-3-7");
    EXPECT_STREQ(user_time(0), "10:15:00");
    EXPECT_EQ(user_year(0), 2026);
    EXPECT_EQ(user_month(0), 3);
    EXPECT_EQ(user_day(0), 7);
    // Buffers hold the last result only.
    char *first = user_date(86400);
    EXPECT_STREQ(user_date(0), "2026-3-7");
    EXPECT_EQ(first, user_date(0));
}

TEST_F(EngineTime, RelativeTimesAcrossMidnightMonthAndYearEnds)
{
    zone(utc);
    at_utc(2026, 2, 28, 23, 59, 30);
    EXPECT_STREQ(user_time(29), "23:59:00");
    EXPECT_STREQ(user_date(29), "2026-2-28");
    EXPECT_STREQ(user_time(30), "00:00:00");
    EXPECT_STREQ(user_date(30), "2026-3-1");
    EXPECT_EQ(user_month(30), 3);
    at_utc(2028, 2, 28, 23, 0, 0); // a leap year
    EXPECT_STREQ(user_date(3600), "2028-2-29");
    at_utc(2026, 12, 31, 23, 30, 0);
    EXPECT_STREQ(user_date(1800), "2027-1-1");
    EXPECT_EQ(user_year(1800), 2027);
    EXPECT_EQ(user_day(-86400), 30);
}

TEST_F(EngineTime, RelativeTimesAcrossTheSummerTimeChange)
{
    // Berlin, 2026-03-29: at 01:30 CET an hour later is 03:30 CEST.
    zone(berlin);
    at_utc(2026, 3, 29, 0, 30, 0);
    EXPECT_STREQ(user_time(0), "01:30:00");
    EXPECT_STREQ(user_time(3600), "03:30:00");
    // The same moment in Tokyo is already the afternoon.
    zone(tokyo);
    EXPECT_STREQ(user_time(0), "09:30:00");
}

TEST_F(EngineTime, MinutesAndSecondsKeepTheSign)
{
    EXPECT_EQ(user_time_m(-61), -1);
    EXPECT_EQ(user_time_s(-61), -1);
    EXPECT_EQ(user_time_m(125), 2);
    EXPECT_EQ(user_time_s(125), 5);
    EXPECT_EQ(user_time_m(59), 0);
    EXPECT_EQ(user_time_s(0), 0);
}

TEST_F(EngineTime, MaskAndMonthNames)
{
    EXPECT_EQ(CheckBit(6, 2), 1);
    EXPECT_EQ(CheckBit(6, 3), 0);
    for (long x : {0L, 1L, 0x1000L, -1L})
        EXPECT_EQ(CheckBit(x, 0), 1);
    EXPECT_EQ(CheckBit(0x80001000L, 0x80000000L), 1);

    EXPECT_EQ(montoid("September"), 9);
    EXPECT_EQ(montoid("sep"), -1);
    EXPECT_EQ(montoid("Jan"), 1);
    EXPECT_EQ(montoid("Dec 24"), 12);
    EXPECT_EQ(montoid("De"), -1);
    EXPECT_EQ(montoid(""), -1);
    EXPECT_EQ(montoid(nullptr), -1);
}

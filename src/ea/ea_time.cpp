#include "ea/ea_time.h"

#include "agent/strings.h"
#include "agent/sysclock.h"

#include <cstdio>
#include <cstring>

namespace
{

char ss_rt_date[12];
char ss_rt_time[10];

const char *const month_names[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The local time remain_time seconds from now.  A moment the system cannot
// convert reads as the epoch rather than as garbage.
struct tm local_in(long remain_time)
{
    time_t t = sysclock_time() + static_cast<time_t>(remain_time);
    struct tm tm;
    if (localtime_r(&t, &tm) == nullptr) {
        time_t zero = 0;
        localtime_r(&zero, &tm);
    }
    return tm;
}

} // namespace

int CheckBit(long status, long bit)
{
    return (status & bit) == bit ? 1 : 0;
}

int montoid(const char *m)
{
    if (m == nullptr)
        return -1;
    for (int i = 0; i < 12; i++) {
        if (strncmp(m, month_names[i], 3) == 0)
            return i + 1;
    }
    return -1;
}

int gettime(time_t now, UPS_TIMEINFO *tinfo)
{
    if (now < 0)
        return -1;
    if (now == 0) {
        memset(tinfo, 0, sizeof *tinfo);
        return 0;
    }
    struct tm tm;
    if (localtime_r(&now, &tm) == nullptr)
        return -1;
    // One byte of years from 1900: 2156 wraps to 0, as stored records and
    // monitors expect.
    tinfo->year = static_cast<uint8_t>(tm.tm_year);
    tinfo->month = static_cast<int8_t>(tm.tm_mon + 1);
    tinfo->day = static_cast<int8_t>(tm.tm_mday);
    tinfo->hour = static_cast<int8_t>(tm.tm_hour);
    tinfo->minute = static_cast<int8_t>(tm.tm_min);
    tinfo->second = static_cast<int8_t>(tm.tm_sec);
    return 0;
}

int user_year(long remain_time)
{
    return local_in(remain_time).tm_year + 1900;
}

int user_month(long remain_time)
{
    return local_in(remain_time).tm_mon + 1;
}

int user_day(long remain_time)
{
    return local_in(remain_time).tm_mday;
}

char *user_date(long remain_time)
{
    struct tm tm = local_in(remain_time);
    // The static buffer has room for any four- or five-digit year; a wider
    // text is cut rather than written past it.
    char text[40];
    snprintf(text, sizeof text, "%d-%d-%d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return wp_strlcpy(ss_rt_date, text, sizeof ss_rt_date);
}

char *user_time(long remain_time)
{
    struct tm tm = local_in(remain_time);
    snprintf(ss_rt_time, sizeof ss_rt_time, "%02d:%02d:00", tm.tm_hour, tm.tm_min);
    return ss_rt_time;
}

long user_time_m(long a)
{
    return a / 60;
}

long user_time_s(long a)
{
    return a % 60;
}

#include "agent/strings.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <gtest/gtest.h>

TEST(Strings, NullAndEmptyCompareAlike)
{
    EXPECT_EQ(wp_strcmp(nullptr, ""), 0);
    EXPECT_EQ(wp_strcmp("", nullptr), 0);
    EXPECT_EQ(wp_strcmp("", "a"), -1);
    EXPECT_EQ(wp_strcmp(nullptr, "a"), -1);
    EXPECT_EQ(wp_strcmp("a", nullptr), 1);
    EXPECT_EQ(wp_strncmp("a", nullptr, 1), 1);
    EXPECT_EQ(wp_strncmp(nullptr, "b", 1), -1);
    EXPECT_EQ(wp_strncmp(nullptr, nullptr, 5), 0);
    // Otherwise the ordinary ordering, including a prefix shorter than n.
    EXPECT_LT(wp_strcmp("UPS", "UPSModel"), 0);
    EXPECT_EQ(wp_strncmp("UPS", "UPSModel", 3), 0);
    EXPECT_GT(wp_strcmp("b", "a"), 0);
    EXPECT_EQ(wp_isnull(nullptr), 1);
    EXPECT_EQ(wp_isnull(""), 1);
    EXPECT_EQ(wp_isnull(" "), 0);
}

TEST(Strings, CopyAndConcatenateNeverTouchNull)
{
    char buf[16] = "old";
    EXPECT_EQ(wp_strcpy(buf, nullptr), buf);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(wp_strcpy(nullptr, "x"), nullptr);
    EXPECT_STREQ(wp_strcpy(buf, "abc"), "abc");

    EXPECT_EQ(wp_strcat(buf, nullptr), buf);
    EXPECT_EQ(wp_strcat(buf, ""), buf);
    EXPECT_STREQ(buf, "abc");
    EXPECT_STREQ(wp_strcat(buf, "de"), "abcde");
    EXPECT_STREQ(wp_strncat(buf, "fghij", 2), "abcdefg");
    EXPECT_EQ(wp_strcat(nullptr, "x"), nullptr);
    EXPECT_EQ(wp_strncat(nullptr, "x", 1), nullptr);

    char pad[6];
    memset(pad, 'z', sizeof pad);
    EXPECT_EQ(wp_strncpy(pad, nullptr, sizeof pad), pad);
    for (char c : pad)
        EXPECT_EQ(c, '\0');
    EXPECT_EQ(wp_strncpy(nullptr, "x", 3), nullptr);
}

TEST(Strings, BoundedCopyAlwaysTerminatesInsideTheField)
{
    char field[5];
    memset(field, 'z', sizeof field);
    wp_strlcpy(field, "longer than the field", sizeof field);
    EXPECT_STREQ(field, "long");
    wp_strlcpy(field, nullptr, sizeof field);
    EXPECT_STREQ(field, "");
    char untouched = 'q';
    wp_strlcpy(&untouched, "x", 0);
    EXPECT_EQ(untouched, 'q');
    // A source field without its terminator, at the end of a mapping: the
    // copy must not look past what the destination can hold.
    long page = sysconf(_SC_PAGESIZE);
    auto *map = static_cast<char *>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(map, MAP_FAILED);
    ASSERT_EQ(munmap(map + page, page), 0);
    char *unended = map + page - 4;
    memcpy(unended, "ABCD", 4);
    wp_strlcpy(field, unended, sizeof field);
    EXPECT_STREQ(field, "ABCD");
    munmap(map, page);
}

TEST(Strings, LookupsOnNullGiveNull)
{
    EXPECT_EQ(wp_strdup(nullptr), nullptr);
    EXPECT_EQ(wp_strdup(""), nullptr);
    char *d = wp_strdup("copy");
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d, "copy");
    free(d);

    EXPECT_EQ(wp_strlen(nullptr), 0u);
    EXPECT_EQ(wp_strchr(nullptr, 'a'), nullptr);
    EXPECT_EQ(wp_strrchr("", 'a'), nullptr);
    const char *s = "a.b.c";
    EXPECT_EQ(wp_strchr(s, '.'), s + 1);
    EXPECT_EQ(wp_strrchr(s, '.'), s + 3);
    EXPECT_EQ(wp_strstr(s, nullptr), nullptr);
    EXPECT_EQ(wp_strstr(nullptr, "b"), nullptr);
    EXPECT_EQ(wp_strstr(s, ""), nullptr);
    EXPECT_EQ(wp_strstr(s, "b.c"), s + 2);
}

TEST(Strings, NumbersFromText)
{
    EXPECT_EQ(wp_atoi(nullptr), 0);
    EXPECT_EQ(wp_atoi(""), 0);
    EXPECT_EQ(wp_atoi(" -42x"), -42);
    EXPECT_EQ(wp_uatoi(nullptr), 0u);
    EXPECT_EQ(wp_uatoi("4294967295"), UINT_MAX);
    EXPECT_EQ(wp_uatoi("120"), 120u);
}

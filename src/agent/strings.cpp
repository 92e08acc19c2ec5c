#include "agent/strings.h"

#include <cstdlib>
#include <cstring>

int wp_isnull(const char *p)
{
    return p == nullptr || p[0] == '\0';
}

int wp_strcmp(const char *a, const char *b)
{
    int na = wp_isnull(a), nb = wp_isnull(b);
    if (na || nb)
        return na && nb ? 0 : (na ? -1 : 1);
    return strcmp(a, b);
}

int wp_strncmp(const char *a, const char *b, size_t n)
{
    int na = wp_isnull(a), nb = wp_isnull(b);
    if (na || nb)
        return na && nb ? 0 : (na ? -1 : 1);
    return strncmp(a, b, n);
}

char *wp_strcat(char *dst, const char *src)
{
    if (dst == nullptr)
        return nullptr;
    if (wp_isnull(src))
        return dst;
    return strcat(dst, src);
}

char *wp_strncat(char *dst, const char *src, size_t n)
{
    if (dst == nullptr)
        return nullptr;
    if (wp_isnull(src))
        return dst;
    return strncat(dst, src, n);
}

char *wp_strcpy(char *dst, const char *src)
{
    if (dst == nullptr)
        return nullptr;
    if (wp_isnull(src)) {
        dst[0] = '\0';
        return dst;
    }
    return strcpy(dst, src);
}

char *wp_strncpy(char *dst, const char *src, size_t n)
{
    if (dst == nullptr)
        return nullptr;
    if (wp_isnull(src)) {
        if (n > 0)
            memset(dst, 0, n);
        return dst;
    }
    return strncpy(dst, src, n);
}

char *wp_strdup(const char *s)
{
    return wp_isnull(s) ? nullptr : strdup(s);
}

size_t wp_strlen(const char *s)
{
    return s == nullptr ? 0 : strlen(s);
}

char *wp_strchr(const char *s, int c)
{
    return wp_isnull(s) ? nullptr : const_cast<char *>(strchr(s, c));
}

char *wp_strrchr(const char *s, int c)
{
    return wp_isnull(s) ? nullptr : const_cast<char *>(strrchr(s, c));
}

char *wp_strstr(const char *s, const char *pat)
{
    if (wp_isnull(s) || wp_isnull(pat))
        return nullptr;
    return const_cast<char *>(strstr(s, pat));
}

int wp_atoi(const char *s)
{
    return wp_isnull(s) ? 0 : atoi(s);
}

unsigned int wp_uatoi(const char *s)
{
    if (wp_isnull(s))
        return 0;
    return static_cast<unsigned int>(strtoul(s, nullptr, 10));
}

char *wp_strlcpy(char *dst, const char *src, size_t dstsize)
{
    if (dst == nullptr || dstsize == 0)
        return dst;
    // Never look further into src than the field can take: a source that is
    // itself a fixed field may arrive without its terminator.
    size_t n = src == nullptr ? 0 : strnlen(src, dstsize - 1);
    if (n > 0)
        memcpy(dst, src, n);
    dst[n] = '\0';
    return dst;
}

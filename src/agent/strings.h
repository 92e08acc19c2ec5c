// Null-safe string functions: each behaves like the standard function of the
// same name without the wp_ prefix, except that a null pointer and an empty
// string are treated alike and never dereferenced.  Used throughout the
// system instead of the plain functions.
#ifndef VOLTMIRA_AGENT_STRINGS_H
#define VOLTMIRA_AGENT_STRINGS_H

#include <cstddef>

// 1 when p is null or empty, else 0.
int wp_isnull(const char *p);

// -1 when only a is null or empty, 1 when only b is, 0 when both are;
// otherwise strcmp / strncmp.
int wp_strcmp(const char *a, const char *b);
int wp_strncmp(const char *a, const char *b, size_t n);

// Null when dst is null; dst unchanged when src is null or empty; else dst.
char *wp_strcat(char *dst, const char *src);
char *wp_strncat(char *dst, const char *src, size_t n);

// Null when dst is null; dst made empty when src is null or empty; else dst.
// wp_strncpy pads with NULs like strncpy and, like it, does not terminate a
// copy of n or more characters; callers bound it by field size - 1.
char *wp_strcpy(char *dst, const char *src);
char *wp_strncpy(char *dst, const char *src, size_t n);

// A malloc'd copy (the caller frees), or null for null or empty input or
// when memory is short.
char *wp_strdup(const char *s);

// 0 for null.
size_t wp_strlen(const char *s);

// Null for null or empty s.
char *wp_strchr(const char *s, int c);
char *wp_strrchr(const char *s, int c);

// Null when either is null or empty.
char *wp_strstr(const char *s, const char *pat);

// 0 for null or empty; otherwise atoi / the unsigned decimal value.
int wp_atoi(const char *s);
unsigned int wp_uatoi(const char *s);

// Bounded copy into a field of size dstsize: at most dstsize - 1 characters,
// always terminated (nothing is written when dstsize is 0); reads at most
// dstsize - 1 characters of src, so src need not be terminated.  Null src
// gives an empty field.  Returns dst.
char *wp_strlcpy(char *dst, const char *src, size_t dstsize);

#endif

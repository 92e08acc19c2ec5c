#include "jconv/jconv.h"

#include <climits>
#include <cstdint>
#include <cstring>

namespace
{

typedef unsigned char uchar;

const uint64_t high_bits = 0x8080808080808080ull;
const uint64_t low_bits = 0x0101010101010101ull;

// Texts are mostly ASCII with Japanese words in between, so runs of plain
// bytes are handled eight at a time.
inline uint64_t load8(const uchar *p)
{
    uint64_t w;
    memcpy(&w, p, sizeof w);
    return w;
}

// The scan also has to stop at ESC, which begins an ISO-2022-JP sequence.
inline bool plain8_no_esc(uint64_t w)
{
    uint64_t x = w ^ (0x1Bu * low_bits);
    return ((w | ((x - low_bits) & ~x)) & high_bits) == 0;
}

inline bool between(unsigned c, unsigned lo, unsigned hi)
{
    return c - lo <= hi - lo;
}

inline bool sjis_lead(unsigned c)
{
    return between(c, 0x81, 0x9F) || between(c, 0xE0, 0xEF);
}

// Shift_JIS packs two JIS rows into one lead byte; the trail byte tells
// which of the two and the cell.  Written with masks, not branches: in
// Japanese text the row parity is random, and mispredicted branches cost
// more than the arithmetic.
inline void to_jis(unsigned &c1, unsigned &c2)
{
    unsigned odd_row = c2 < 0x9F;
    unsigned high = c1 >= 0xA0;
    c1 = 2 * c1 - 0xE0 - (high << 7) - odd_row;
    c2 = c2 - 0x7E + ((0u - odd_row) & (0x5F - (c2 >= 0x80)));
}

inline void to_sjis(unsigned &c1, unsigned &c2)
{
    unsigned odd_row = c1 & 1;
    c2 = c2 + 0x7E - ((0u - odd_row) & (0x5F - (c2 >= 0x60)));
    c1 = (c1 + 1) / 2 + 0x70 + ((c1 >= 0x5F) << 6);
}

// The common refusals of every converter.  Sets *len to strlen(in) and
// returns true when the conversion may go ahead.  Overlap is refused
// because the converters read ahead of where they write.
bool usable(const uchar *in, uchar *out, size_t outsize, size_t *len)
{
    if (in == nullptr || out == nullptr)
        return false;
    size_t n = strlen(reinterpret_cast<const char *>(in));
    // Compared as distances so that a huge outsize cannot wrap around.
    uintptr_t ib = reinterpret_cast<uintptr_t>(in), ob = reinterpret_cast<uintptr_t>(out);
    if (ib >= ob ? ib - ob < outsize : ob - ib < n + 1)
        return false;
    // Results are reported as int.
    if (n > (INT_MAX - 1) / 2 || outsize < 2 * n + 1) {
        if (outsize >= 1)
            out[0] = '\0';
        return false;
    }
    *len = n;
    return true;
}

// Copies the plain ASCII that follows, a word at a time, and moves both
// positions past it.  Neither conversion writes more than twice its input,
// and ASCII is copied one for one, so a word copied here never runs past the
// output.
inline void copy_ascii_run(const uchar **pp, const uchar *end, uchar **op)
{
    const uchar *p = *pp;
    uchar *o = *op;
    while (end - p >= 8) {
        uint64_t w = load8(p);
        if (w & high_bits)
            break;
        memcpy(o, &w, 8);
        p += 8;
        o += 8;
    }
    *pp = p;
    *op = o;
}

// Returns the length written, not counting the NUL that ends it.
size_t sjis_to_euc(const uchar *p, size_t n, uchar *out)
{
    const uchar *end = p + n;
    uchar *o = out;
    while (p < end) {
        unsigned c = *p++;
        if (c < 0x80) {
            *o++ = static_cast<uchar>(c);
            copy_ascii_run(&p, end, &o);
        } else if (sjis_lead(c)) {
            if (p == end) {
                *o++ = static_cast<uchar>(c);
                break;
            }
            unsigned d = *p++;
            if (between(d, 0x40, 0xFC)) {
                to_jis(c, d);
                c += 0x80;
                d += 0x80;
            }
            o[0] = static_cast<uchar>(c);
            o[1] = static_cast<uchar>(d);
            o += 2;
        } else if (between(c, 0xA1, 0xDF)) {
            o[0] = 0x8E;
            o[1] = static_cast<uchar>(c);
            o += 2;
        } else {
            *o++ = static_cast<uchar>(c);
        }
    }
    *o = '\0';
    return static_cast<size_t>(o - out);
}

size_t euc_to_sjis(const uchar *p, size_t n, uchar *out)
{
    const uchar *end = p + n;
    uchar *o = out;
    while (p < end) {
        unsigned c = *p++;
        if (c < 0x80) {
            *o++ = static_cast<uchar>(c);
            copy_ascii_run(&p, end, &o);
        } else if (between(c, 0xA1, 0xFE) && p < end) {
            unsigned d = *p++;
            if (between(d, 0xA1, 0xFE)) {
                c -= 0x80;
                d -= 0x80;
                to_sjis(c, d);
            }
            o[0] = static_cast<uchar>(c);
            o[1] = static_cast<uchar>(d);
            o += 2;
        } else if (c == 0x8E && p < end) {
            unsigned d = *p++;
            if (between(d, 0xA1, 0xDF)) {
                *o++ = static_cast<uchar>(d);
            } else {
                o[0] = 0x8E;
                o[1] = static_cast<uchar>(d);
                o += 2;
            }
        } else {
            // Includes the JIS X 0212 prefix 0x8F: Shift_JIS has no form
            // for those characters, so the prefix is passed on alone and
            // the pair after it converts like any other, as monitors have
            // always received it.
            *o++ = static_cast<uchar>(c);
        }
    }
    *o = '\0';
    return static_cast<size_t>(o - out);
}

// The byte at p[0] starts an escape; returns the code it names or 0, and
// moves *i past the bytes it used.
int escape_code(const uchar *p, size_t left, size_t *i)
{
    if (left < 2) {
        *i += left;
        return 0;
    }
    if (p[1] == 'K') {
        *i += 2;
        return CODE_JIS_NEC;
    }
    if (p[1] != '$') {
        *i += 2;
        return 0;
    }
    if (left < 3) {
        *i += left;
        return 0;
    }
    *i += 3;
    if (p[2] == 'B')
        return CODE_JIS_NEW;
    if (p[2] == 0x40)
        return CODE_JIS_OLD;
    return 0;
}

int detect(const uchar *p, size_t n)
{
    int code = CODE_ASCII;
    size_t i = 0;
    while ((code == CODE_ASCII || code == CODE_EUC_OR_SJIS) && i < n) {
        while (n - i >= 8 && plain8_no_esc(load8(p + i)))
            i += 8;
        if (i >= n)
            break;
        unsigned c = p[i];
        if (c == 0x1B) {
            int esc = escape_code(p + i, n - i, &i);
            if (esc)
                code = esc;
            continue;
        }
        if (between(c, 0x81, 0x8D) || between(c, 0x8F, 0x9F)) {
            code = CODE_SJIS;
            break;
        }
        if (between(c, 0xF0, 0xFE)) {
            code = CODE_EUC;
            break;
        }
        if (c != 0x8E && !between(c, 0xA1, 0xEF)) {
            i++;
            continue;
        }
        // c needs the byte after it; as the last byte it tells nothing.
        if (i + 1 >= n)
            break;
        unsigned d = p[i + 1];
        i += 2;
        if (c == 0x8E) {
            if (between(d, 0x40, 0x7E) || between(d, 0x80, 0xA0) || between(d, 0xE0, 0xFC))
                code = CODE_SJIS;
            else if (between(d, 0xA1, 0xDF))
                code = CODE_EUC_OR_SJIS;
        } else if (c <= 0xDF) {
            if (between(d, 0xF0, 0xFE)) {
                code = CODE_EUC;
            } else if (between(d, 0xA1, 0xDF)) {
                code = CODE_EUC_OR_SJIS;
            } else if (d <= 0x9F) {
                code = CODE_SJIS;
            } else if (between(d, 0xE0, 0xEF)) {
                // Still ambiguous: the bytes that follow, up to the first
                // one below 0x40, may hold a byte only one code allows.
                // The scan goes on from that first byte below 0x40, so an
                // escape there is still seen.
                code = CODE_EUC_OR_SJIS;
                while (i < n && p[i] >= 0x40 && code == CODE_EUC_OR_SJIS) {
                    unsigned e = p[i++];
                    if (between(e, 0x81, 0x8D) || between(e, 0x8F, 0x9F))
                        code = CODE_SJIS;
                    else if (e == 0xFD || e == 0xFE)
                        code = CODE_EUC;
                }
            }
        } else {
            if (between(d, 0x40, 0x7E) || between(d, 0x80, 0xA0))
                code = CODE_SJIS;
            else if (d == 0xFD || d == 0xFE)
                code = CODE_EUC;
            else if (between(d, 0xA1, 0xFC))
                code = CODE_EUC_OR_SJIS;
        }
    }
    return code;
}

} // namespace

int DetectCodeType(const unsigned char *text, size_t len)
{
    (void)len;
    if (text == nullptr)
        return -1;
    return detect(text, strlen(reinterpret_cast<const char *>(text)));
}

int shift2euc(const unsigned char *in, unsigned char *out, size_t outsize, int incode,
              int tofullsize)
{
    (void)incode;
    (void)tofullsize;
    size_t n;
    if (!usable(in, out, outsize, &n))
        return -1;
    sjis_to_euc(in, n, out);
    return static_cast<int>(n);
}

int euc2shift(const unsigned char *in, unsigned char *out, size_t outsize, int incode,
              int tofullsize)
{
    (void)incode;
    (void)tofullsize;
    size_t n;
    if (!usable(in, out, outsize, &n))
        return -1;
    euc_to_sjis(in, n, out);
    return static_cast<int>(n);
}

void sjis2jis(int *c1, int *c2)
{
    if (c1 == nullptr || c2 == nullptr)
        return;
    unsigned a = static_cast<unsigned>(*c1) & 0xFF, b = static_cast<unsigned>(*c2) & 0xFF;
    to_jis(a, b);
    *c1 = static_cast<int>(a);
    *c2 = static_cast<int>(b);
}

void jis2sjis(int *c1, int *c2)
{
    if (c1 == nullptr || c2 == nullptr)
        return;
    unsigned a = static_cast<unsigned>(*c1) & 0xFF, b = static_cast<unsigned>(*c2) & 0xFF;
    to_sjis(a, b);
    *c1 = static_cast<int>(a);
    *c2 = static_cast<int>(b);
}

int JConvForDataInFromNetwork(const char *inbuf, char *outbuf, size_t outsize, int ostype)
{
    const uchar *in = reinterpret_cast<const uchar *>(inbuf);
    uchar *out = reinterpret_cast<uchar *>(outbuf);
    size_t n;
    if (!usable(in, out, outsize, &n))
        return -1;
    int code = detect(in, n);
    if (code == CODE_SJIS || (code == CODE_EUC_OR_SJIS && ostype <= 1))
        return static_cast<int>(sjis_to_euc(in, n, out));
    memcpy(out, in, n + 1);
    return static_cast<int>(n);
}

int JConvForDataOutToNetwork(const char *inbuf, char *outbuf, size_t outsize, int ostype)
{
    const uchar *in = reinterpret_cast<const uchar *>(inbuf);
    uchar *out = reinterpret_cast<uchar *>(outbuf);
    size_t n;
    if (!usable(in, out, outsize, &n))
        return -1;
    if (ostype <= 1)
        return static_cast<int>(euc_to_sjis(in, n, out));
    memcpy(out, in, n + 1);
    return static_cast<int>(n);
}

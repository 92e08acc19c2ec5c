// Japanese code conversion of the texts that cross the network.  The agent
// keeps its texts in EUC-JP; monitors may send and expect Shift_JIS.
//
// Texts are NUL-terminated and their bytes are taken as unsigned.  Every
// converter is told the size of its output buffer and refuses, with -1, a
// buffer smaller than 2 * strlen(input) + 1: a half-width katakana byte
// doubles in EUC-JP, so that is the most any input can need, and one rule
// for every entry point means a caller sized for one direction is never
// caught out by the other.  A text too long for an int result (about 1 GB)
// is refused the same way.  A refusal for size leaves outbuf an empty
// string when outsize >= 1; no failure writes past outsize, and the other
// failures leave outbuf untouched.
#ifndef VOLTMIRA_JCONV_JCONV_H
#define VOLTMIRA_JCONV_JCONV_H

#include <cstddef>

// Code types found by DetectCodeType.
constexpr int CODE_JIS_NEW = 1;     // ISO-2022-JP, ESC $ B
constexpr int CODE_JIS_OLD = 2;     // ISO-2022-JP with the 1978 set, ESC $ @
constexpr int CODE_JIS_NEC = 3;     // ESC K
constexpr int CODE_EUC = 4;         // EUC-JP
constexpr int CODE_SJIS = 5;        // Shift_JIS
constexpr int CODE_EUC_OR_SJIS = 6; // the bytes fit both EUC-JP and Shift_JIS
constexpr int CODE_ASCII = 7;       // single-byte characters only

// Monitor to agent: Shift_JIS becomes EUC-JP when the text is Shift_JIS, or
// fits both codes and ostype <= 1; anything else is copied.  Returns the
// result's length; -1 when inbuf or outbuf is null, the buffers overlap, or
// outsize < 2 * strlen(inbuf) + 1.
int JConvForDataInFromNetwork(const char *inbuf, char *outbuf, size_t outsize, int ostype);

// Agent to monitor: EUC-JP becomes Shift_JIS whatever the text looks like
// when ostype <= 1; with ostype >= 2 the peer shares the agent's code and
// gets a copy.  Results as JConvForDataInFromNetwork.
int JConvForDataOutToNetwork(const char *inbuf, char *outbuf, size_t outsize, int ostype);

// A CODE_ constant for text, or -1 when text is null.  len is not used: the
// text's own length is, so a stale count cannot take the scan past the NUL.
int DetectCodeType(const unsigned char *text, size_t len);

// Shift_JIS (with half-width katakana) to EUC-JP.  Returns the number of
// input bytes consumed (all of them); -1 when in or out is null, the
// buffers overlap, or outsize < 2 * strlen(in) + 1.  incode (the detected
// code type) does not change the conversion; tofullsize is ignored:
// half-width katakana keep their width.
int shift2euc(const unsigned char *in, unsigned char *out, size_t outsize, int incode,
              int tofullsize);

// EUC-JP to Shift_JIS; the same contract as shift2euc.
int euc2shift(const unsigned char *in, unsigned char *out, size_t outsize, int incode,
              int tofullsize);

// A Shift_JIS byte pair to its JIS X 0208 row and cell bytes (0x21-0x7E),
// in place.  Either pointer null: nothing is done.
void sjis2jis(int *c1, int *c2);

// A JIS X 0208 row and cell pair to its Shift_JIS bytes, in place.  Either
// pointer null: nothing is done.
void jis2sjis(int *c1, int *c2);

#endif

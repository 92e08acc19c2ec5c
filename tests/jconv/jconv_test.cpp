#include "jconv/jconv.h"

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <iconv.h>
#include <memory>
#include <string>
#include <vector>

namespace
{

typedef int (*ByteConv)(const unsigned char *, unsigned char *, size_t, int, int);
typedef int (*TextConv)(const char *, char *, size_t, int);

const unsigned char *bytes(const std::string &s)
{
    return reinterpret_cast<const unsigned char *>(s.c_str());
}

int detect(const std::string &s)
{
    return DetectCodeType(bytes(s), s.size());
}

// Runs a byte converter into a heap buffer of exactly 2 * n + 1 bytes, so the
// sanitizer build sees any write past it.
std::string conv(ByteConv f, int incode, const std::string &in, int tofullsize = 0)
{
    size_t size = 2 * in.size() + 1;
    std::unique_ptr<unsigned char[]> out(new unsigned char[size]);
    int r = f(bytes(in), out.get(), size, incode, tofullsize);
    EXPECT_EQ(r, static_cast<int>(in.size())) << "input bytes consumed";
    return std::string(reinterpret_cast<char *>(out.get()));
}

std::string s2e(const std::string &in)
{
    return conv(shift2euc, CODE_SJIS, in);
}
std::string e2s(const std::string &in)
{
    return conv(euc2shift, CODE_EUC, in);
}

std::string text(TextConv f, const std::string &in, int ostype)
{
    size_t size = 2 * in.size() + 1;
    std::unique_ptr<char[]> out(new char[size]);
    int r = f(in.c_str(), out.get(), size, ostype);
    std::string result(out.get());
    EXPECT_EQ(r, static_cast<int>(result.size())) << "result length";
    return result;
}

std::string in_from(const std::string &in, int ostype)
{
    return text(JConvForDataInFromNetwork, in, ostype);
}

std::string out_to(const std::string &in, int ostype)
{
    return text(JConvForDataOutToNetwork, in, ostype);
}

// The system's own converter, the independent reference.
class Iconv
{
  public:
    Iconv(const char *to, const char *from) : cd_(iconv_open(to, from)) {}
    ~Iconv()
    {
        if (ok())
            iconv_close(cd_);
    }
    Iconv(const Iconv &) = delete;
    Iconv &operator=(const Iconv &) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // False when iconv rejects any of the input.
    bool run(const std::string &in, std::string *out)
    {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        std::vector<char> buf(4 * in.size() + 16);
        char *ip = const_cast<char *>(in.data()), *op = buf.data();
        size_t il = in.size(), ol = buf.size();
        if (iconv(cd_, &ip, &il, &op, &ol) == static_cast<size_t>(-1) || il != 0)
            return false;
        out->assign(buf.data(), static_cast<size_t>(op - buf.data()));
        return true;
    }

  private:
    iconv_t cd_;
};

std::string hex(const std::string &s)
{
    std::string h;
    char b[4];
    for (unsigned char c : s) {
        snprintf(b, sizeof b, "%02X ", c);
        h += b;
    }
    return h;
}

// The Shift_JIS form of JIS X 0208 row r, cell c (both 0x21-0x7E), from the
// encoding's layout: each lead byte carries two rows, 0x81-0x9F for rows
// 1-62 and 0xE0-0xEF for rows 63-94, and the 188 trail bytes 0x40-0xFC
// (0x7F skipped) run through the odd row's cells and then the even row's.
std::string sjis_cell(int r, int c)
{
    int pair = (r - 0x21) / 2;
    int lead = pair < 31 ? 0x81 + pair : 0xE0 + pair - 31;
    int index = ((r - 0x21) % 2) * 94 + (c - 0x21);
    int trail = 0x40 + index + (index >= 0x3F ? 1 : 0);
    return std::string{static_cast<char>(lead), static_cast<char>(trail)};
}

std::string euc_cell(int r, int c)
{
    return std::string{static_cast<char>(r | 0x80), static_cast<char>(c | 0x80)};
}

// Cells that JIS X 0208 leaves empty, where iconv rightly rejects the bytes
// in both codes while the arithmetic mapping still moves them, so that a
// vendor or user-defined character there comes back as it went.  A
// rejection anywhere else fails the test.
struct Gap {
    const char *why;
    int row_lo, row_hi, cell_lo;
    int in_count, out_count;
};

} // namespace

// Every cell of the 94 x 94 grid, both ways, against iconv.
TEST(JConvIconv, EveryJisX0208CellMatchesIconvBothWays)
{
    Iconv sjis_to_euc("EUC-JP", "SHIFT_JIS"), euc_to_sjis("SHIFT_JIS", "EUC-JP");
    ASSERT_TRUE(sjis_to_euc.ok() && euc_to_sjis.ok()) << "iconv lacks SHIFT_JIS or EUC-JP";

    Gap gaps[] = {
        {"rows 1-8 unassigned symbol cells", 1, 8, 1, 0, 0},
        {"rows 9-15 unassigned (vendor symbols elsewhere)", 9, 15, 1, 0, 0},
        {"row 47 cells 52-94 after the last level-1 kanji", 47, 47, 52, 0, 0},
        {"row 84 cells 7-94 after the last level-2 kanji", 84, 84, 7, 0, 0},
        {"rows 85-94 unassigned (user-defined/vendor elsewhere)", 85, 94, 1, 0, 0},
    };
    int cells = 0, in_compared = 0, in_matched = 0, out_compared = 0, out_matched = 0;
    int failures = 0;
    for (int r = 0x21; r <= 0x7E; r++) {
        for (int c = 0x21; c <= 0x7E; c++) {
            cells++;
            const std::string sjis = sjis_cell(r, c), euc = euc_cell(r, c);
            Gap *gap = nullptr;
            for (Gap &g : gaps) {
                int row = r - 0x20, cell = c - 0x20;
                if (row >= g.row_lo && row <= g.row_hi && cell >= g.cell_lo)
                    gap = &g;
            }
            std::string ref, got;
            if (sjis_to_euc.run(sjis, &ref)) {
                in_compared++;
                got = s2e(sjis);
                if (got == ref)
                    in_matched++;
                else if (failures++ < 20)
                    ADD_FAILURE() << "shift2euc " << hex(sjis) << "gave " << hex(got) << "iconv "
                                  << hex(ref);
            } else if (gap) {
                gap->in_count++;
            } else {
                ADD_FAILURE() << "iconv rejects Shift_JIS " << hex(sjis) << "outside the gaps";
            }
            if (euc_to_sjis.run(euc, &ref)) {
                out_compared++;
                EXPECT_EQ(ref, sjis) << "layout of cell " << hex(euc);
                got = e2s(euc);
                if (got == ref)
                    out_matched++;
                else if (failures++ < 20)
                    ADD_FAILURE() << "euc2shift " << hex(euc) << "gave " << hex(got) << "iconv "
                                  << hex(ref);
            } else if (gap) {
                gap->out_count++;
            } else {
                ADD_FAILURE() << "iconv rejects EUC-JP " << hex(euc) << "outside the gaps";
            }
            // Even where iconv has no character, the pair comes back as it
            // went.
            int c1 = sjis[0] & 0xFF, c2 = sjis[1] & 0xFF;
            sjis2jis(&c1, &c2);
            EXPECT_TRUE(c1 == r && c2 == c) << "sjis2jis " << hex(sjis);
            jis2sjis(&c1, &c2);
            EXPECT_TRUE(c1 == (sjis[0] & 0xFF) && c2 == (sjis[1] & 0xFF)) << "jis2sjis";
        }
    }
    EXPECT_EQ(cells, 94 * 94);
    EXPECT_EQ(in_matched, in_compared);
    EXPECT_EQ(out_matched, out_compared);
    EXPECT_GT(in_compared, 6000) << "iconv should know the whole JIS X 0208 set";

    std::printf("[jconv vs iconv] grid %d cells; Shift_JIS->EUC-JP compared %d matched %d; "
                "EUC-JP->Shift_JIS compared %d matched %d\n",
                cells, in_compared, in_matched, out_compared, out_matched);
    int excluded_in = 0, excluded_out = 0;
    for (const Gap &g : gaps) {
        std::printf("[jconv vs iconv] excluded, iconv rejects, %s: %d in, %d out\n", g.why,
                    g.in_count, g.out_count);
        excluded_in += g.in_count;
        excluded_out += g.out_count;
    }
    EXPECT_EQ(in_compared + excluded_in, cells);
    EXPECT_EQ(out_compared + excluded_out, cells);
    testing::Test::RecordProperty("in_compared", in_compared);
    testing::Test::RecordProperty("in_matched", in_matched);
    testing::Test::RecordProperty("out_compared", out_compared);
    testing::Test::RecordProperty("out_matched", out_matched);
    testing::Test::RecordProperty("excluded_in", excluded_in);
    testing::Test::RecordProperty("excluded_out", excluded_out);
}

TEST(JConvIconv, HalfWidthKatakanaMatchIconvBothWays)
{
    Iconv sjis_to_euc("EUC-JP", "SHIFT_JIS"), euc_to_sjis("SHIFT_JIS", "EUC-JP");
    ASSERT_TRUE(sjis_to_euc.ok() && euc_to_sjis.ok());
    int matched = 0;
    for (int k = 0xA1; k <= 0xDF; k++) {
        std::string sjis(1, static_cast<char>(k)), euc = "\x8E" + sjis, ref;
        ASSERT_TRUE(sjis_to_euc.run(sjis, &ref));
        EXPECT_EQ(s2e(sjis), ref) << hex(sjis);
        int ok = s2e(sjis) == ref;
        ASSERT_TRUE(euc_to_sjis.run(euc, &ref));
        EXPECT_EQ(e2s(euc), ref) << hex(euc);
        matched += ok && e2s(euc) == ref;
    }
    std::printf("[jconv vs iconv] half-width katakana 0xA1-0xDF: %d of 63 match both ways\n",
                matched);
    EXPECT_EQ(matched, 63);
}

// The entry points on one long text holding every character iconv knows,
// with ASCII and half-width katakana between them.
TEST(JConvIconv, WholeTextThroughEntryPointsMatchesIconv)
{
    Iconv sjis_to_euc("EUC-JP", "SHIFT_JIS"), euc_to_sjis("SHIFT_JIS", "EUC-JP");
    ASSERT_TRUE(sjis_to_euc.ok() && euc_to_sjis.ok());
    std::string sjis, unused;
    int n = 0;
    for (int r = 0x21; r <= 0x7E; r++) {
        for (int c = 0x21; c <= 0x7E; c++) {
            std::string ch = sjis_cell(r, c);
            if (!sjis_to_euc.run(ch, &unused))
                continue;
            sjis += ch;
            if (++n % 7 == 0)
                sjis += " UPS-1 ";
            if (n % 11 == 0)
                sjis += static_cast<char>(0xA1 + n % 63);
        }
    }
    std::string euc, back;
    ASSERT_TRUE(sjis_to_euc.run(sjis, &euc));
    ASSERT_TRUE(euc_to_sjis.run(euc, &back));
    ASSERT_EQ(back, sjis);
    EXPECT_EQ(detect(sjis), CODE_SJIS);
    EXPECT_TRUE(in_from(sjis, 1) == euc) << "In differs from iconv";
    EXPECT_TRUE(out_to(euc, 1) == sjis) << "Out differs from iconv";
}

TEST(JConvDetect, AsciiEmptyAndNull)
{
    EXPECT_EQ(detect("UPS on battery, 5 min left\t~\\"), CODE_ASCII);
    EXPECT_EQ(detect(""), CODE_ASCII);
    EXPECT_EQ(DetectCodeType(nullptr, 5), -1);
    // Bytes no rule covers change nothing.
    EXPECT_EQ(detect("\x80\xA0\xFF"), CODE_ASCII);
}

TEST(JConvDetect, LengthArgumentCannotTakeTheScanPastTheText)
{
    // An exact-size heap copy: a scan that believed len would read past it.
    std::unique_ptr<unsigned char[]> t(new unsigned char[3]{'a', 'b', '\0'});
    EXPECT_EQ(DetectCodeType(t.get(), 1000), CODE_ASCII);
    EXPECT_EQ(detect("ab\x88\x9F"), CODE_SJIS);
    EXPECT_EQ(DetectCodeType(bytes("ab\x88\x9F"), 1), CODE_SJIS);
}

TEST(JConvDetect, EscapeSequences)
{
    EXPECT_EQ(detect("a\x1B$B$3"), CODE_JIS_NEW);
    EXPECT_EQ(detect("a\x1B$@$3"), CODE_JIS_OLD);
    EXPECT_EQ(detect("a\x1BK"), CODE_JIS_NEC);
    // After an escape of ambiguous bytes the scan still finds it.
    EXPECT_EQ(detect("\xB1\xB2\x1B$B"), CODE_JIS_NEW);
    // ESC $ and another byte use three bytes; ESC and another byte use two.
    EXPECT_EQ(detect("\x1B$\x81"), CODE_ASCII);
    EXPECT_EQ(detect("\x1B(\x81"), CODE_SJIS);
    EXPECT_EQ(detect("\x1B(B"), CODE_ASCII);
    // Cut short at the end.
    EXPECT_EQ(detect("abc\x1B"), CODE_ASCII);
    EXPECT_EQ(detect("abc\x1B$"), CODE_ASCII);
    // Found after long plain text, wherever it starts.
    for (size_t at = 0; at < 24; at++) {
        std::string t = std::string(at, 'x') + "\x1B$B" + std::string(20, 'y');
        EXPECT_EQ(detect(t), CODE_JIS_NEW) << at;
    }
}

TEST(JConvDetect, BytesOnlyOneCodeUses)
{
    for (int c = 0x81; c <= 0x9F; c++) {
        if (c == 0x8E)
            continue;
        EXPECT_EQ(detect(std::string("ab") + static_cast<char>(c)), CODE_SJIS) << c;
    }
    for (int c = 0xF0; c <= 0xFE; c++)
        EXPECT_EQ(detect(std::string("ab") + static_cast<char>(c)), CODE_EUC) << c;
    // The first decisive byte or pair wins.
    EXPECT_EQ(detect("\x88\x9F\xF0"), CODE_SJIS);
    EXPECT_EQ(detect("\xF0\xA1\x88\x9F"), CODE_EUC);
    EXPECT_EQ(detect("\x8E\x40\xF0"), CODE_SJIS);
    EXPECT_EQ(detect("\xB1\xF0\x88\x9F"), CODE_EUC);
    EXPECT_EQ(detect("\xE5\x40\xF0"), CODE_SJIS);
    EXPECT_EQ(detect("\x1B$B\xF0"), CODE_JIS_NEW);
    EXPECT_EQ(detect("\x1BK\x88\x9F"), CODE_JIS_NEC);
}

TEST(JConvDetect, SingleShiftByFollowingByte)
{
    for (int d = 0x01; d <= 0xFF; d++) {
        int want = CODE_ASCII;
        if ((d >= 0x40 && d <= 0x7E) || (d >= 0x80 && d <= 0xA0) || (d >= 0xE0 && d <= 0xFC))
            want = CODE_SJIS;
        else if (d >= 0xA1 && d <= 0xDF)
            want = CODE_EUC_OR_SJIS;
        EXPECT_EQ(detect(std::string("\x8E") + static_cast<char>(d)), want) << d;
    }
    // The pair is used up together: 0xFD alone would mean EUC-JP.
    EXPECT_EQ(detect("\x8E\xFD"), CODE_ASCII);
    EXPECT_EQ(detect("\x8E\x20\xFD"), CODE_EUC);
}

TEST(JConvDetect, KanaRangeLeadByFollowingByte)
{
    for (int d = 0x01; d <= 0xFF; d++) {
        int want = CODE_ASCII; // 0xA0 and 0xFF
        if (d >= 0xF0 && d <= 0xFE)
            want = CODE_EUC;
        else if ((d >= 0xA1 && d <= 0xDF) || (d >= 0xE0 && d <= 0xEF))
            want = CODE_EUC_OR_SJIS;
        else if (d <= 0x9F)
            want = CODE_SJIS;
        EXPECT_EQ(detect(std::string("\xB1") + static_cast<char>(d)), want) << d;
    }
    // The pair is used up together: 0xF0 alone would mean EUC-JP.
    EXPECT_EQ(detect("\xB1\xA0\xF0"), CODE_EUC);
    EXPECT_EQ(detect("\xB1\xB2\xF0"), CODE_EUC);
}

TEST(JConvDetect, LookAheadAfterKanaAndHighLead)
{
    // Finds a Shift_JIS-only byte, an EUC-JP-only byte, or nothing.
    EXPECT_EQ(detect("\xB1\xE0\x41\xC0\x81"), CODE_SJIS);
    EXPECT_EQ(detect("\xB1\xE0\x41\xC0\xFD"), CODE_EUC);
    EXPECT_EQ(detect("\xB1\xE0\xA1\xC0"), CODE_EUC_OR_SJIS);
    for (int e = 0x40; e <= 0xFF; e++) {
        int want = CODE_EUC_OR_SJIS;
        if ((e >= 0x81 && e <= 0x8D) || (e >= 0x8F && e <= 0x9F))
            want = CODE_SJIS;
        else if (e == 0xFD || e == 0xFE)
            want = CODE_EUC;
        EXPECT_EQ(detect(std::string("\xB1\xE0\xC0") + static_cast<char>(e)), want) << e;
    }
    // The bytes it looks at are used up: 0xF0 alone would mean EUC-JP.
    EXPECT_EQ(detect("\xB1\xE0\xF0"), CODE_EUC_OR_SJIS);
    EXPECT_EQ(detect("\xB1\xE0\x40\xF0"), CODE_EUC_OR_SJIS);
    // It stops at the first byte below 0x40, where the scan goes on.
    EXPECT_EQ(detect("\xB1\xE0\x3F\xF0"), CODE_EUC);
    EXPECT_EQ(detect("\xB1\xE0 \xF0"), CODE_EUC);
    EXPECT_EQ(detect("\xB1\xE0\xA1\x1B$B"), CODE_JIS_NEW);
    EXPECT_EQ(detect("\xB1\xE0\x30\x81"), CODE_SJIS);
}

TEST(JConvDetect, HighLeadByFollowingByte)
{
    for (int d = 0x01; d <= 0xFF; d++) {
        int want = CODE_ASCII; // below 0x40, 0x7F and 0xFF
        if ((d >= 0x40 && d <= 0x7E) || (d >= 0x80 && d <= 0xA0))
            want = CODE_SJIS;
        else if (d == 0xFD || d == 0xFE)
            want = CODE_EUC;
        else if (d >= 0xA1 && d <= 0xFC)
            want = CODE_EUC_OR_SJIS;
        EXPECT_EQ(detect(std::string("\xE5") + static_cast<char>(d)), want) << d;
    }
}

TEST(JConvDetect, LeadByteAtTheEndChangesNothing)
{
    EXPECT_EQ(detect("abc\x8E"), CODE_ASCII);
    EXPECT_EQ(detect("abc\xB1"), CODE_ASCII);
    EXPECT_EQ(detect("abc\xE5"), CODE_ASCII);
    EXPECT_EQ(detect("\xB1\xB2\xE5"), CODE_EUC_OR_SJIS);
}

TEST(JConvCases, AsciiUnchangedBothWays)
{
    const std::string ascii = "Agent QE350 \"srv-01\": AC fail ~\\ {ok}\x7F\x01";
    EXPECT_EQ(detect(ascii), CODE_ASCII);
    for (int ostype = 0; ostype <= 2; ostype++) {
        EXPECT_EQ(in_from(ascii, ostype), ascii);
        EXPECT_EQ(out_to(ascii, ostype), ascii);
    }
}

TEST(JConvCases, KanjiRoundTrip)
{
    EXPECT_EQ(detect("\x88\x9F"), CODE_SJIS);
    EXPECT_EQ(in_from("\x88\x9F", 1), "\xB0\xA1");
    EXPECT_EQ(out_to("\xB0\xA1", 1), "\x88\x9F");
    // Plain Shift_JIS comes in converted whatever the peer type says.
    EXPECT_EQ(in_from("\x88\x9F", 2), "\xB0\xA1");
}

TEST(JConvCases, HalfWidthKatakanaByPeerType)
{
    EXPECT_EQ(detect("\xB1"), CODE_ASCII);
    EXPECT_EQ(in_from("\xB1", 1), "\xB1");
    EXPECT_EQ(detect("\xB1\xB2"), CODE_EUC_OR_SJIS);
    EXPECT_EQ(in_from("\xB1\xB2", 1), "\x8E\xB1\x8E\xB2");
    EXPECT_EQ(in_from("\xB1\xB2", 0), "\x8E\xB1\x8E\xB2");
    EXPECT_EQ(in_from("\xB1\xB2", 2), "\xB1\xB2");
    // Kept at half width even when widening is asked for.
    EXPECT_EQ(conv(shift2euc, CODE_SJIS, "\xB1", 1), "\x8E\xB1");
}

TEST(JConvCases, OwnCodePeersGetNothingConvertedOutward)
{
    const char *texts[] = {"\xB0\xA1", "\x8E\xB1", "\x88\x9F", "\x8F\xB0\xA1", "a\xFF\x80\xFE"};
    for (const char *t : texts) {
        for (int ostype : {2, 3, 100}) {
            EXPECT_EQ(out_to(t, ostype), t) << hex(t) << ostype;
        }
    }
    EXPECT_EQ(out_to("\x8E\xB1", 0), "\xB1");
}

TEST(JConvCases, LoneLeadByteAtTheEndKept)
{
    EXPECT_EQ(s2e("a\x88"), "a\x88");
    EXPECT_EQ(s2e("a\xE5"), "a\xE5");
    EXPECT_EQ(e2s("a\xB0"), "a\xB0");
    EXPECT_EQ(e2s("a\x8E"), "a\x8E");
    EXPECT_EQ(in_from("\x88\x9F\x88", 1), "\xB0\xA1\x88");
    EXPECT_EQ(out_to("\xB0\xA1\xB0", 1), "\x88\x9F\xB0");
}

TEST(JConvCases, InvalidPairsCopiedUnchanged)
{
    // An EUC-JP lead byte before an ASCII byte.
    EXPECT_EQ(e2s("\xB0"
                  "A"),
              "\xB0"
              "A");
    EXPECT_EQ(out_to("x\xB0"
                     "A",
                     1),
              "x\xB0"
              "A");
    // A Shift_JIS lead byte before a byte no trail may be.
    EXPECT_EQ(s2e("\x88\xFD"), "\x88\xFD");
    EXPECT_EQ(s2e("\x88 "), "\x88 ");
    // A single shift before a byte that is no katakana; the pair goes
    // together, so the 0xA1 after it is a lone lead, not a pair with 0xE0.
    EXPECT_EQ(e2s("\x8E\xE0\xA1"), "\x8E\xE0\xA1");
}

TEST(JConvCases, BytesJustOutsideEachRangeCopied)
{
    // Trail bytes either side of 0x40-0xFC; 0xF0 leads the user-defined
    // area, which has no EUC-JP form; 0x80 and 0xA0 are no katakana.
    EXPECT_EQ(s2e("\x88\x3F"), "\x88\x3F");
    EXPECT_EQ(s2e("\x88\xFD"), "\x88\xFD");
    EXPECT_EQ(s2e("\xEF\x40"), "\xFD\xA1"); // row 93, cell 1
    EXPECT_EQ(s2e("\xF0\x40"), "\xF0\x40");
    EXPECT_EQ(s2e("\x80\xA0\xB1\xFD\xFF"), "\x80\xA0\x8E\xB1\xFD\xFF");
    // Either side of 0xA1-0xFE, for both bytes.
    EXPECT_EQ(e2s("\xB0\xA0"), "\xB0\xA0");
    EXPECT_EQ(e2s("\xB0\xFF"), "\xB0\xFF");
    EXPECT_EQ(e2s("\xA0\xB0\xA1"), "\xA0\x88\x9F");
    EXPECT_EQ(e2s("\xFF\xB0\xA1"), "\xFF\x88\x9F");
    EXPECT_EQ(e2s("\x8E\xA0\x8E\xDF"), "\x8E\xA0\xDF");
}

TEST(JConvCases, SupplementaryPrefixCopiedAlone)
{
    // The JIS X 0212 prefix is copied; the pair after it converts as usual.
    EXPECT_EQ(e2s("\x8F\xB0\xA1"), "\x8F\x88\x9F");
}

TEST(JConvCases, ConvertersReportInputBytesConsumed)
{
    unsigned char out[16];
    EXPECT_EQ(shift2euc(bytes("\xB1\xB2"), out, sizeof out, CODE_SJIS, 0), 2);
    EXPECT_STREQ(reinterpret_cast<char *>(out), "\x8E\xB1\x8E\xB2");
    EXPECT_EQ(euc2shift(bytes("\x8E\xB1\x8E\xB2"), out, sizeof out, CODE_EUC, 0), 4);
    EXPECT_STREQ(reinterpret_cast<char *>(out), "\xB1\xB2");
}

TEST(JConvCases, EmptyNullAndSameBuffer)
{
    char out[8] = "xxxxxxx";
    EXPECT_EQ(JConvForDataInFromNetwork("", out, sizeof out, 1), 0);
    EXPECT_STREQ(out, "");
    memcpy(out, "xxxxxxx", 8);
    EXPECT_EQ(JConvForDataOutToNetwork("", out, sizeof out, 1), 0);
    EXPECT_STREQ(out, "");

    memcpy(out, "xxxxxxx", 8);
    EXPECT_EQ(JConvForDataInFromNetwork(nullptr, out, sizeof out, 1), -1);
    EXPECT_EQ(JConvForDataOutToNetwork(nullptr, out, sizeof out, 1), -1);
    EXPECT_EQ(shift2euc(nullptr, reinterpret_cast<unsigned char *>(out), sizeof out, 0, 0), -1);
    EXPECT_EQ(euc2shift(nullptr, reinterpret_cast<unsigned char *>(out), sizeof out, 0, 0), -1);
    EXPECT_STREQ(out, "xxxxxxx");
    EXPECT_EQ(JConvForDataInFromNetwork("a", nullptr, 8, 1), -1);
    EXPECT_EQ(JConvForDataOutToNetwork("a", nullptr, 8, 1), -1);
    EXPECT_EQ(shift2euc(bytes("a"), nullptr, 8, 0, 0), -1);
    EXPECT_EQ(euc2shift(bytes("a"), nullptr, 8, 0, 0), -1);

    char same[16] = "\xB1\xB2";
    EXPECT_EQ(JConvForDataInFromNetwork(same, same, sizeof same, 1), -1);
    EXPECT_EQ(JConvForDataOutToNetwork(same, same, sizeof same, 1), -1);
    unsigned char *u = reinterpret_cast<unsigned char *>(same);
    EXPECT_EQ(shift2euc(u, u, sizeof same, 0, 0), -1);
    EXPECT_EQ(euc2shift(u, u, sizeof same, 0, 0), -1);
    EXPECT_STREQ(same, "\xB1\xB2");
}

TEST(JConvBuffer, OverlappingBuffersRefused)
{
    // Input at arena + 20, "\xB1\xB2" and its NUL: bytes 20-22.
    char arena[64];
    memset(arena, 'g', sizeof arena);
    memcpy(arena + 20, "\xB1\xB2", 3);
    const std::string before(arena, sizeof arena);
    const char *in = arena + 20;
    // Output running into the input from below, starting inside it, or
    // starting on its NUL.
    EXPECT_EQ(JConvForDataInFromNetwork(in, arena + 10, 11, 1), -1);
    EXPECT_EQ(JConvForDataInFromNetwork(in, arena + 21, 5, 1), -1);
    EXPECT_EQ(JConvForDataOutToNetwork(in, arena + 22, 5, 1), -1);
    EXPECT_EQ(shift2euc(reinterpret_cast<const unsigned char *>(in),
                        reinterpret_cast<unsigned char *>(arena + 15), 6, 0, 0),
              -1);
    EXPECT_EQ(std::string(arena, sizeof arena), before);
    // Right below it, or right after its NUL, is fine.
    EXPECT_EQ(JConvForDataInFromNetwork(in, arena + 10, 10, 1), 4);
    EXPECT_EQ(JConvForDataInFromNetwork(in, arena + 23, 5, 1), 4);
    EXPECT_STREQ(arena + 23, "\x8E\xB1\x8E\xB2");
}

// Every entry point, every size below 2 * n + 1: refused, an empty string
// left when there is room for one, and not a byte written past the size.
TEST(JConvBuffer, TooSmallBufferRefusedWithoutWritingPast)
{
    const std::string kana = "\xB1\xB2\xB3\xB4\xB5"; // needs 11 bytes in EUC-JP
    const std::string ascii = "agent";               // needs 6, must still have 11
    const int guard = 32;
    for (const std::string &input : {kana, ascii}) {
        const size_t need = 2 * input.size() + 1;
        for (int which = 0; which < 4; which++) {
            for (size_t size = 0; size <= need; size++) {
                std::vector<unsigned char> buf(size + guard, 0xA5);
                unsigned char *out = buf.data();
                int r;
                if (which == 0)
                    r = JConvForDataInFromNetwork(input.c_str(), reinterpret_cast<char *>(out),
                                                  size, 1);
                else if (which == 1)
                    r = JConvForDataOutToNetwork(input.c_str(), reinterpret_cast<char *>(out), size,
                                                 1);
                else if (which == 2)
                    r = shift2euc(bytes(input), out, size, CODE_SJIS, 0);
                else
                    r = euc2shift(bytes(input), out, size, CODE_EUC, 0);
                SCOPED_TRACE(testing::Message()
                             << "entry " << which << " size " << size << " input " << hex(input));
                if (size < need) {
                    EXPECT_EQ(r, -1);
                    if (size >= 1) {
                        EXPECT_EQ(out[0], 0);
                    }
                    for (size_t i = size >= 1 ? 1 : 0; i < buf.size(); i++)
                        ASSERT_EQ(buf[i], 0xA5) << "written at " << i;
                } else {
                    EXPECT_GE(r, 0);
                    for (size_t i = size; i < buf.size(); i++)
                        ASSERT_EQ(buf[i], 0xA5) << "written at " << i;
                }
            }
        }
    }
}

TEST(JConvBuffer, ExactSizeHoldsTheWorstCase)
{
    std::string kana;
    for (int i = 0; i < 1000; i++)
        kana += static_cast<char>(0xA1 + i % 63);
    const size_t size = 2 * kana.size() + 1;
    std::unique_ptr<char[]> out(new char[size]);
    ASSERT_EQ(JConvForDataInFromNetwork(kana.c_str(), out.get(), size, 1), 2000);
    EXPECT_EQ(out[size - 1], '\0');
    EXPECT_EQ(out[0], '\x8E');
    std::unique_ptr<unsigned char[]> raw(new unsigned char[size]);
    ASSERT_EQ(shift2euc(bytes(kana), raw.get(), size, CODE_SJIS, 0), 1000);
    EXPECT_EQ(memcmp(raw.get(), out.get(), size), 0);
    EXPECT_EQ(shift2euc(bytes(kana), raw.get(), size - 1, CODE_SJIS, 0), -1);
}

// Throughput of the network text conversion against the C library's iconv
// on the same 1 MB inputs.  Each figure is the median of 9 timed runs (the
// best run in brackets); a run repeats the conversion for at least 50 ms.
// MB/s counts 10^6 input bytes per second.
#include "jconv/jconv.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iconv.h>
#include <string>
#include <vector>

namespace
{

const size_t text_size = 1 << 20;
const int runs = 9;
const double run_seconds = 0.05;

// A fixed pseudo-random sequence, so every run converts the same text.
unsigned long seed = 12345;
unsigned next(unsigned n)
{
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<unsigned>((seed >> 33) % n);
}

// One JIS X 0208 character in EUC-JP: kana, or a kanji of either level.
void add_japanese(std::string &euc)
{
    int row, cell;
    unsigned pick = next(10);
    if (pick < 3) {
        row = 4; // hiragana
        cell = 1 + next(83);
    } else if (pick < 4) {
        row = 5; // katakana
        cell = 1 + next(86);
    } else {
        row = 16 + next(68); // rows 16-83, every cell assigned (but 47)
        cell = 1 + next(row == 47 ? 51 : 94);
    }
    euc += static_cast<char>(0xA0 + row);
    euc += static_cast<char>(0xA0 + cell);
}

void add_word(std::string &euc)
{
    static const char *words[] = {"UPS ",   "battery ", "AC fail ",  "shutdown ",  "QE350 ",
                                  "12:30 ", "srv-01 ",  "load 45% ", "self-test ", "\n"};
    euc += words[next(10)];
}

std::string make_euc(int kind)
{
    std::string euc;
    while (euc.size() < text_size - 16) {
        if (kind == 0) {
            add_word(euc);
        } else if (kind == 1) {
            // Words and short Japanese phrases, now and then half-width
            // katakana: about half the bytes are Japanese.
            add_word(euc);
            for (unsigned n = next(4); n > 0; n--)
                add_japanese(euc);
            if (next(8) == 0) {
                euc += '\x8E';
                euc += static_cast<char>(0xB1 + next(40));
            }
        } else {
            add_japanese(euc);
        }
    }
    return euc;
}

bool run_iconv(iconv_t cd, const std::string &in, std::vector<char> &out, size_t *len)
{
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char *ip = const_cast<char *>(in.data()), *op = out.data();
    size_t il = in.size(), ol = out.size();
    if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1))
        return false;
    *len = static_cast<size_t>(op - out.data());
    return true;
}

double seconds_now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

unsigned long sink;

// Median and best MB/s of convert(), which converts `bytes` input bytes.
template <class F> void measure(F convert, size_t bytes, double *median, double *best)
{
    long reps = 1;
    for (;;) {
        double t0 = seconds_now();
        for (long i = 0; i < reps; i++)
            sink += convert();
        if (seconds_now() - t0 >= run_seconds)
            break;
        reps *= 2;
    }
    std::vector<double> rates;
    for (int r = 0; r < runs; r++) {
        double t0 = seconds_now();
        for (long i = 0; i < reps; i++)
            sink += convert();
        rates.push_back(static_cast<double>(bytes) * reps / (seconds_now() - t0) / 1e6);
    }
    std::sort(rates.begin(), rates.end());
    *median = rates[runs / 2];
    *best = rates.back();
}

} // namespace

int main()
{
    iconv_t to_euc = iconv_open("EUC-JP", "SHIFT_JIS"), to_sjis = iconv_open("SHIFT_JIS", "EUC-JP");
    if (to_euc == reinterpret_cast<iconv_t>(-1) || to_sjis == reinterpret_cast<iconv_t>(-1)) {
        std::fprintf(stderr, "iconv lacks SHIFT_JIS or EUC-JP\n");
        return 1;
    }
    const char *names[] = {"ascii", "mixed", "sjis"};
    std::printf("%-6s %-4s %8s %8s  %-18s %-18s %s\n", "input", "way", "in MB", "out MB",
                "ours MB/s [best]", "iconv MB/s [best]", "ours/iconv");
    int status = 0;
    for (int kind = 0; kind < 3; kind++) {
        std::string euc = make_euc(kind), sjis;
        std::vector<char> ref(2 * euc.size() + 1), out(2 * euc.size() + 1);
        size_t len;
        if (!run_iconv(to_sjis, euc, ref, &len)) {
            std::fprintf(stderr, "iconv rejects the %s text\n", names[kind]);
            return 1;
        }
        sjis.assign(ref.data(), len);

        for (int way = 0; way < 2; way++) {
            const std::string &in = way == 0 ? sjis : euc;
            iconv_t cd = way == 0 ? to_euc : to_sjis;
            std::vector<char> ours(2 * in.size() + 1);
            auto convert = [&]() -> unsigned long {
                int n = way == 0
                            ? JConvForDataInFromNetwork(in.c_str(), ours.data(), ours.size(), 1)
                            : JConvForDataOutToNetwork(in.c_str(), ours.data(), ours.size(), 1);
                return static_cast<unsigned long>(n);
            };
            auto reference = [&]() -> unsigned long {
                size_t n = 0;
                run_iconv(cd, in, ref, &n);
                return n;
            };
            // Both must do the same work: compare the results first.
            size_t n = convert();
            if (!run_iconv(cd, in, ref, &len) || len != n || memcmp(ours.data(), ref.data(), n)) {
                std::fprintf(stderr, "%s %s: result differs from iconv\n", names[kind],
                             way == 0 ? "In" : "Out");
                status = 1;
            }
            double ours_med, ours_best, ref_med, ref_best;
            measure(convert, in.size(), &ours_med, &ours_best);
            measure(reference, in.size(), &ref_med, &ref_best);
            char a[32], b[32];
            std::snprintf(a, sizeof a, "%.0f [%.0f]", ours_med, ours_best);
            std::snprintf(b, sizeof b, "%.0f [%.0f]", ref_med, ref_best);
            std::printf("%-6s %-4s %8.3f %8.3f  %-18s %-18s %.1fx\n", names[kind],
                        way == 0 ? "In" : "Out", in.size() / 1e6, n / 1e6, a, b,
                        ours_med / ref_med);
        }
    }
    iconv_close(to_euc);
    iconv_close(to_sjis);
    return sink == 0 ? 1 : status;
}

#include "timeline.h"

#include <algorithm>
#include <cctype>
#include <ctime>

namespace firedrill
{

namespace
{

int64_t clock_ns(clockid_t id)
{
    struct timespec ts;
    clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Digits only, at most width of them; -1 otherwise.
int digits(const std::string &s, size_t width)
{
    if (s.empty() || s.size() > width)
        return -1;
    int v = 0;
    for (char c : s) {
        if (!isdigit(static_cast<unsigned char>(c)))
            return -1;
        v = v * 10 + (c - '0');
    }
    return v;
}

} // namespace

int64_t timeline_mono_ns(void)
{
    return clock_ns(CLOCK_MONOTONIC);
}

void timeline_init(Timeline *t)
{
    *t = Timeline{};
    t->t0_mono = clock_ns(CLOCK_MONOTONIC);
    t->t0_real = clock_ns(CLOCK_REALTIME);
}

int timeline_add(Timeline *t, int64_t at_ns, Kind kind, const std::string &text)
{
    t->items.push_back(Item{at_ns, kind, text});
    return 0;
}

int timeline_merge(Timeline *t, int64_t at_ns, Kind kind, const std::string &text)
{
    constexpr int64_t window = 5000000000LL;
    for (size_t i = t->items.size(); i-- > 0;) {
        Item &it = t->items[i];
        if (it.kind == kind && it.text == text && at_ns - it.at_ns <= window) {
            it.count++;
            return 0;
        }
    }
    return timeline_add(t, at_ns, kind, text);
}

std::string timeline_stamp(const Timeline *t, int64_t at_ns)
{
    int64_t rel = at_ns - t->t0_mono;
    const char *sign = rel < 0 ? "-" : "+";
    int64_t a = rel < 0 ? -rel : rel;
    int64_t tenths = a / 100000000;
    int64_t real = t->t0_real + rel;
    time_t secs = static_cast<time_t>(real / 1000000000);
    struct tm tm;
    localtime_r(&secs, &tm);
    char buf[64];
    snprintf(buf, sizeof buf, "%s%lld:%02lld.%lld  %02d:%02d:%02d.%lld", sign,
             static_cast<long long>(tenths / 600), static_cast<long long>(tenths / 10 % 60),
             static_cast<long long>(tenths % 10), tm.tm_hour, tm.tm_min, tm.tm_sec,
             static_cast<long long>(real / 100000000 % 10));
    return buf;
}

void timeline_stream(Timeline *t, FILE *out)
{
    for (; t->printed < t->items.size(); t->printed++) {
        const Item &i = t->items[t->printed];
        fprintf(out, "  %s  %s\n", timeline_stamp(t, i.at_ns).c_str(), i.text.c_str());
    }
    fflush(out);
}

void timeline_print(Timeline *t, FILE *out)
{
    std::stable_sort(t->items.begin(), t->items.end(),
                     [](const Item &a, const Item &b) { return a.at_ns < b.at_ns; });
    fprintf(out, "Timeline (time from the mains failure, then clock time):\n");
    for (const Item &i : t->items) {
        std::string times = i.count > 1 ? " (" + std::to_string(i.count) + " times)" : "";
        fprintf(out, "  %s  %s%s\n", timeline_stamp(t, i.at_ns).c_str(), i.text.c_str(),
                times.c_str());
    }
    t->printed = t->items.size();
}

const Item *timeline_first(const Timeline *t, Kind kind)
{
    const Item *best = nullptr;
    for (const Item &i : t->items)
        if (i.kind == kind && i.at_ns >= t->t0_mono && (best == nullptr || i.at_ns < best->at_ns))
            best = &i;
    return best;
}

int timeline_count(const Timeline *t, Kind kind)
{
    int n = 0;
    for (const Item &i : t->items)
        n += i.kind == kind ? i.count : 0;
    return n;
}

std::string decode_switch_off(const std::string &cmd_in, int *delay_s, int *restore_min)
{
    std::string cmd = cmd_in;
    while (!cmd.empty() && (cmd.back() == '\r' || cmd.back() == '\n'))
        cmd.pop_back();
    if (cmd.size() < 2 || cmd[0] != 'S')
        return "";
    size_t i = 1;
    if (cmd[i] == 'f')
        i++;
    std::string rest = cmd.substr(i);
    std::string delay_part = rest, restore_part;
    size_t r = rest.find('R');
    if (r != std::string::npos) {
        delay_part = rest.substr(0, r);
        restore_part = rest.substr(r + 1);
    }
    int delay;
    if (delay_part.size() == 2 && delay_part[0] == '.') {
        // Tenths of a minute: the form for delays under a minute.
        int d = digits(delay_part.substr(1), 1);
        if (d < 0)
            return "";
        delay = d * 6;
    } else {
        int d = digits(delay_part, 2);
        if (d < 0 || delay_part.size() != 2)
            return "";
        delay = d * 60;
    }
    int restore = -1;
    if (r != std::string::npos) {
        restore = digits(restore_part, 5);
        if (restore < 0 || restore_part.size() < 4)
            return "";
    }
    if (delay_s != nullptr)
        *delay_s = delay;
    if (restore_min != nullptr)
        *restore_min = restore;
    std::string words = "switch off after " + std::to_string(delay) + " s, ";
    if (restore < 0)
        words += "stays off (no automatic power-on)";
    else
        words += "on again " + std::to_string(restore) + " min after the off";
    return words;
}

std::string span_text(double seconds)
{
    long s = static_cast<long>(seconds + 0.5);
    char buf[32];
    snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

} // namespace firedrill

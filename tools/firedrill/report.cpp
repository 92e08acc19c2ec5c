#include "report.h"

#include "fake.h"

#include <algorithm>
#include <string>

namespace firedrill
{

namespace
{

// The seconds the UPS is really given: under a minute the command counts
// tenths of a minute, above it whole minutes.
int delay_as_sent(int seconds)
{
    return seconds < 60 ? (seconds % 60) / 6 * 6 : seconds / 60 * 60;
}

} // namespace

void report_settings(const Options *o, const Settings *s, FILE *out)
{
    int sent = delay_as_sent(s->turnoffdelay);
    fprintf(out, "Fire drill of %s\n", o->config.c_str());
    fprintf(out,
            "  battery time allowed (EXPECTBLIFE): %d s: the deadline comes %s after the "
            "mains fail\n",
            s->battlife, span_text(s->battlife).c_str());
    if (s->firstwarn > s->battlife)
        fprintf(out, "  warnings to users: none before the deadline (FIRSTWARN %d s is past it)\n",
                s->firstwarn);
    else
        fprintf(out,
                "  warnings to users: from %s after the failure (FIRSTWARN %d s), every %d s "
                "(INTERVAL)\n",
                span_text(s->firstwarn < 0 ? 0 : s->firstwarn).c_str(), s->firstwarn, s->interval);
    fprintf(out, "  agent type %d (AgentType): grace %d s before the system's shutdown%s\n",
            s->agenttype, settings_grace(s),
            s->ignore != 0 && s->agenttype != 4 ? " (IgnoreOtherAgentDown 1 skips the type's grace)"
                                                : "");
    fprintf(out, "  UPS switch-off delay (TurnOffDelay): %d s", s->turnoffdelay);
    if (sent != s->turnoffdelay)
        fprintf(out, ", sent to the UPS as %d s (%s)", sent,
                s->turnoffdelay < 60 ? "tenths of a minute" : "whole minutes");
    fprintf(out, "\n  restore: after a mains-failure shutdown the UPS stays off (no automatic "
                 "power-on)\n");
    fprintf(out, "  serial port: ComSet %d -> /dev/ttyS%d; group \"%s\"\n", s->comset, s->port,
            s->group);
    if (o->restore_after > 0)
        fprintf(out, "  the drill: mains fail at +0:00 and return at +%s\n",
                span_text(o->restore_after).c_str());
    else
        fprintf(out, "  the drill: mains fail at +0:00 and stay off\n");
    fprintf(out, "  time-out: %d s after the failure\n\n",
            settings_timeout(s) + (o->restore_after > 0 ? o->restore_after : 0));
    fflush(out);
}

int report_verdict(const Options *o, const Settings *s, bool restore_seen, Timeline *t, int rc,
                   FILE *out)
{
    auto rel = [&](const Item *i) { return (i->at_ns - t->t0_mono) / 1e9; };
    const Item *deadline = timeline_first(t, Kind::Deadline);
    const Item *ups = timeline_first(t, Kind::UpsOff);
    const Item *down = timeline_first(t, Kind::Shutdown);
    fprintf(out, "\nSummary:\n");
    fprintf(out,
            "  texts to users: %d, to monitors: %d; going-down notices to other agents: %d, "
            "to monitors: %d\n",
            timeline_count(t, Kind::Users), timeline_count(t, Kind::Told),
            timeline_count(t, Kind::Agents), timeline_count(t, Kind::Monitors));
    if (deadline != nullptr)
        fprintf(out, "  deadline (\"Time is up!\") at +%s, expected +%s\n",
                span_text(rel(deadline)).c_str(), span_text(s->battlife).c_str());
    if (deadline != nullptr && ups != nullptr)
        fprintf(out,
                "  grace wait: %s between the deadline and the UPS command (configured %d s)\n",
                span_text(std::max(0.0, rel(ups) - rel(deadline))).c_str(), settings_grace(s));

    std::string verdict;
    int delay = -1, restore = -1;
    if (ups != nullptr) {
        // The item quotes the command as received, escaped: "S.5\r".
        std::string cmd = ups->text.substr(ups->text.find('"') + 1);
        decode_switch_off(unescape_bytes(cmd.substr(0, cmd.find('"'))), &delay, &restore);
    }
    if (rc == 2) {
        verdict = "the drill was interrupted; what it saw is above";
    } else if (down != nullptr) {
        verdict = "the host would have been shut down " + span_text(rel(down)) +
                  " after the mains failed; ";
        if (ups == nullptr)
            verdict += "the UPS was NOT told to switch off";
        else
            verdict += "the UPS switches off " + std::to_string(delay) + " s later" +
                       (restore < 0 ? " and stays off"
                                    : " and on again " + std::to_string(restore) + " min after");
        if (o->restore_after > 0 && o->restore_after < s->battlife)
            verdict += " -- DESPITE the mains returning at +" + span_text(o->restore_after);
        else if (o->restore_after > 0)
            verdict += " (the deadline came before the mains' return planned for +" +
                       span_text(o->restore_after) + ")";
    } else if (o->restore_after > 0 && restore_seen) {
        verdict = "mains returned at +" + span_text(o->restore_after) +
                  "; the shutdown was called off; no shutdown command was run";
    } else if (o->restore_after > 0) {
        verdict = "mains returned at +" + span_text(o->restore_after) +
                  "; the agent did not log the return and did not shut down within the time-out";
    } else {
        verdict = "NO shutdown command within " + span_text(settings_timeout(s)) +
                  " of the failure (battery time " + std::to_string(s->battlife) + " s)";
    }
    if (rc == 0 && o->restore_after <= 0 && ups == nullptr)
        rc = 1;
    fprintf(out, "\nVerdict: %s%s\n", verdict.c_str(), rc == 1 ? " [UNEXPECTED]" : "");
    return rc;
}

} // namespace firedrill

#include "keys.h"

namespace vtop
{

namespace
{

const KeyAction KEYS[] = {
    {'l', "login", "user: ", "login", false, nullptr},
    {'e', "eventlog", nullptr, "evlog", true, nullptr},
    {'d', "datalog", nullptr, "datalog", true, nullptr},
    {'c', "config", nullptr, "config", true, nullptr},
    {'s', "config-set", "set (KEY=VALUE): ", "set", false, nullptr},
    {'v', "events", nullptr, "events", true, nullptr},
    {'E', "event-set", "event (ID record=yes|no shutdown=yes|no broadcast=all|users|none ...): ",
     "edit-ev", false, nullptr},
    {'h', "schedules", nullptr, "sched", true, nullptr},
    {'a', "schedule-add", "add (e.g. shutdown weekly 30 22 * * 5 to 0 7 * * 1): ", "add", true,
     nullptr},
    {'x', "schedule-del", "delete schedule number: ", "del", true, nullptr},
    {'t', "selftest", "self-test minutes: ", "test", false, nullptr},
    {'S', "shutdown", "shutdown delay in seconds: ", "shutdown", false,
     "shut the system down in %s s? (y/n) "},
    {'k', "cancel", nullptr, "cancel", false, nullptr},
    {'b', "buzzer=on", nullptr, "buzz-on", false, nullptr},
    {'B', "buzzer=off", nullptr, "buzz-off", false, nullptr},
};

} // namespace

const KeyAction *key_action(char key)
{
    for (const KeyAction &k : KEYS)
        if (k.key == key)
            return &k;
    return nullptr;
}

std::string help_line()
{
    // Keys of one subject share a label, so that the line fits 80 columns:
    // e event log, d data log; c show, s set; v show, E edit; h list, a add,
    // x delete; S shutdown, k its cancel; b buzzer on, B off.
    return "l:login e/d:logs c/s:conf v/E:events h/a/x:sched t:test S/k:shut b/B:buzz q:quit";
}

int edit_line(std::string &line, unsigned char byte)
{
    if (byte == '\r' || byte == '\n')
        return 1;
    if (byte == 0x1B || byte == 0x03)
        return -1;
    if (byte == 0x7F || byte == 0x08) {
        // Back over continuation bytes to the start of the character.
        while (!line.empty() && (static_cast<unsigned char>(line.back()) & 0xC0) == 0x80)
            line.pop_back();
        if (!line.empty())
            line.pop_back();
        return 0;
    }
    if (byte >= 0x20 && line.size() < 512)
        line += static_cast<char>(byte);
    return 0;
}

} // namespace vtop

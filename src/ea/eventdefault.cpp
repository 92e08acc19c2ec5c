// The event catalogue: every event id the agent knows, its English text
// (also the message key of its translations) and its default actions, in
// the order of the event array in memory and on the wire.
#include "ea/ea_events.h"
#include "ea/ea_state.h"

namespace
{

struct eventrow {
    UPS_EVENTINFO info;
    const char *text;
};

// Record 1, no users, no command in every row; only the shutdown switch and
// the kind of message differ.  BroadcastType 0 tells every terminal, 3 tells
// nobody.
constexpr eventrow row(int id, int shutdown, unsigned btype, const char *text)
{
    return eventrow{{static_cast<uint16_t>(id), 0, 1, shutdown, btype, 0, 0, ""}, text};
}

const eventrow eventdefault[EA_NEVENTROWS] = {
    // Shutdown reasons.
    row(128, 1, 0, "UPS Battery Low"),
    row(129, 1, 0, "UPS AC Fail Delay Run out"),
    row(130, 1, 0, "specified date to turn off UPS is arrived at"),
    row(131, 1, 0, "weekly time to turn off UPS is arrived at"),
    row(132, 1, 0, "monthly time to turn off UPS is arrived at"),
    row(133, 1, 0, "Shutdown Time Initiated by Users is arrived at"),
    row(134, 1, 0, "Shut Down Time Initiated by other Agent is arrived at"),
    // Faults and warnings.
    row(64, 0, 3, "UPS communication Lost"),
    row(65, 0, 0, "UPS Ac fail"),
    row(66, 0, 3, "UPS Battery Disconnect"),
    row(67, 0, 3, "UPS is Bypass"),
    row(68, 0, 3, "UPS Battery is weak"),
    row(69, 0, 3, "UPS SelfTest by User Failed"),
    row(70, 0, 3, "UPS Special Day SelfTest Failed"),
    row(71, 0, 3, "UPS Weekly SelfTest Failed"),
    row(72, 0, 3, "UPS Monthly SelfTest Failed"),
    row(73, 0, 3, "Battery SelfTest Failed"),
    row(74, 0, 0, "System begin specially turn off UPS warning"),
    row(75, 0, 0, "System begin weekly turn off UPS Warning"),
    row(76, 0, 0, "System begin monthly turn off UPS Warning"),
    row(77, 0, 3, "UPS abnormal"),
    row(78, 0, 3, "UPS overload"),
    row(79, 0, 0, "Receive shutdown Command From Users on %s"),
    row(80, 0, 0, "Network Shutdown Triggered by Other Agent"),
    // Recoveries and information.
    row(0, 0, 0, "UPS AC Restore"),
    row(1, 0, 3, "UPS Communication established"),
    row(2, 0, 3, "SelfTest by User succeeded"),
    row(3, 0, 3, "Special Day Selftest succeeded"),
    row(4, 0, 3, "Weekly SelfTest succeeded"),
    row(5, 0, 3, "Monthly Selftest succeeded"),
    row(6, 0, 3, "UPS Battery Selftest succeeded"),
    row(7, 0, 3, "UPS Agent Start up"),
    row(8, 0, 3, "UPS Agent stop"),
    row(9, 0, 3, "UPS Working SetParameters is changed"),
    row(10, 0, 3, "UPS Schedule Setparameters is changed"),
    row(11, 0, 3, "UPS Smart Event Setparameters is changed"),
    row(12, 0, 3, "Disable UPS Automatic Selftest Timer"),
    row(13, 0, 3, "Enable UPS Automatic Selftest Timer"),
    // The monitors show these two in this order.
    row(15, 0, 3, "Enable the Buzzer"),
    row(14, 0, 3, "Disable the Buzzer"),
    row(16, 0, 3, "The Battery is Changed"),
    row(17, 0, 3, "Set up to output voltage 100V standard sensitivity"),
    row(18, 0, 3, "Set up to output voltage 100V low sensitivity"),
    row(19, 0, 3, "Set up to output voltage 115V standard sensitivity"),
    row(20, 0, 3, "Set up to output voltage 115V low sensitivity"),
    row(21, 0, 3, "The Shutdown is Canceled by Users on %s"),
    row(22, 0, 3, "System is shutdown"),
    row(255, 0, 3, "No event"),
    // The protector's events.
    row(48, 0, 0, "Protector start"),
    row(49, 0, 0, "Protector stop"),
    row(50, 0, 0, "Protector not find Agent"),
    row(51, 0, 0, "Protector find Agent"),
    row(52, 0, 0, "Protector's parameters is set"),
    row(53, 0, 0, "Protector shutdown to Agent"),
};

int position_of(int id)
{
    for (int n = 0; n < EA_NEVENTROWS; n++) {
        if (eventdefault[n].info.EventID == id)
            return n;
    }
    return -1;
}

} // namespace

const char *EventMsg(int id)
{
    int n = position_of(id);
    return n < 0 ? nullptr : eventdefault[n].text;
}

const UPS_EVENTINFO *eventdefault_row(int id)
{
    int n = position_of(id);
    return n < 0 ? nullptr : &eventdefault[n].info;
}

const UPS_EVENTINFO *eventdefault_at(int n)
{
    return n < 0 || n >= EA_NEVENTROWS ? nullptr : &eventdefault[n].info;
}

// Telling people about an event.  Names from the network and from the user
// list reach wall, write and mail only as arguments or as text on their
// standard input, never through a shell; a word that a program could take
// for an option is not passed at all.
#include "ea/ea_notify.h"

#include "agent/strings.h"
#include "agent/sysroot.h"
#include "ea/ea_events.h"
#include "ea/ea_log.h"
#include "ea/ea_spawn.h"
#include "ea/ea_state.h"
#include "jconv/jconv.h"

#include <cstdio>
#include <cstring>
#include <libintl.h>

namespace
{

enum {
    EV_CANCEL = 21,
    EV_USERDOWN = 79,
    EV_PFAIL = 65, // the countdown's own event: its warnings go to users already
    EV_SCH_FIRST = 130,
    EV_SCH_LAST = 132,
};

constexpr size_t WHO_MAX = 64 * 1024; // who's output read at most
constexpr size_t WHO_LINE = 512;      // a line of it, end included
constexpr int USERLIST_MAX = 63;      // terminals kept, before the empty end
constexpr size_t COMMAND_MAX = 256;   // an event's command: 255 characters
constexpr size_t TEXT_MAX = 2 * EA_MSGLEN;
constexpr size_t NAME_CONV = 2 * EA_NAMELEN + 1; // room the conversion wants

struct notify_module {
    char who[WHO_MAX + 1];
    size_t wholen;
    // Within one event who runs once for all its users: 0 not yet, 1 its
    // output is held, -1 it failed.  Outside an event (batch 0) every
    // UpdateUserList runs it.
    int batch;
    int whostate;
};

notify_module nm;

static_assert(sizeof ea_st.gszUserList[0] == 32);
static_assert(sizeof ea_st.gszUserList / sizeof ea_st.gszUserList[0] > USERLIST_MAX);

int is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// A word starting with '-' would be read as an option by the program it is
// given to; such a word is left out, and the sink hears of it.  A mail
// program also takes a recipient starting with '|', '/' or '+' for a
// command or a file to write, never an address.
int refused(const char *word, const char *what, const char *firsts = "-")
{
    if (word[0] == '\0' || strchr(firsts, word[0]) == nullptr)
        return 0;
    char msg[128];
    snprintf(msg, sizeof msg, "ea_notify: skipped a %s starting with '%c'", what, word[0]);
    Ea_log(msg);
    return 1;
}

// fmt with its first "%s" replaced by name.  A translation is data, not a
// format: nothing else in it is interpreted.
void fill_name(char *dst, size_t size, const char *fmt, const char *name)
{
    const char *at = strstr(fmt, "%s");
    if (at == nullptr) {
        wp_strlcpy(dst, fmt, size);
        return;
    }
    snprintf(dst, size, "%.*s%s%s", static_cast<int>(at - fmt), fmt, name, at + 2);
}

// What a program reads on its standard input: text as one line.  Control
// characters (a line break, a terminal escape) that a name brought along
// become '?', so a name can neither forge a line of its own nor steer a
// terminal or the mail program.
void input_of(char *dst, size_t size, const char *text)
{
    size_t n = 0;
    for (; text[n] != '\0' && n + 2 < size; n++) {
        unsigned char c = static_cast<unsigned char>(text[n]);
        dst[n] = c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c);
    }
    dst[n++] = '\n';
    dst[n] = '\0';
}

int run(sysroot_path_id id, const char *const argv[], const char *text)
{
    char input[TEXT_MAX + 2];
    if (text != nullptr)
        input_of(input, sizeof input, text);
    return ea_spawn()->run(sysroot_path(id), argv, text != nullptr ? input : nullptr);
}

void send_wall(const char *text)
{
    const char *const argv[] = {"wall", nullptr};
    run(SP_WALL, argv, text);
}

// write to every terminal at which user is logged in; name is how write is
// told who it is.
void send_write(const char *user, const char *name, const char *text)
{
    if (refused(name, "user name") || UpdateUserList(user) < 0)
        return;
    for (int i = 0; ea_st.gszUserList[i][0] != '\0'; i++) {
        const char *tty = ea_st.gszUserList[i];
        if (refused(tty, "terminal"))
            continue;
        const char *const argv[] = {"write", name, tty, nullptr};
        run(SP_WRITE, argv, text);
    }
}

void send_mail(const char *address, const char *text)
{
    if (refused(address, "mail address", "-|/+"))
        return;
    const char *const argv[] = {"mail", address, nullptr};
    run(SP_MAIL, argv, text);
}

// The name a user entry holds (its field need not be ended) and, as write
// is told it, converted for the network.
void user_names(const USERSDATA *u, char *raw, size_t rawsize, char *conv, size_t convsize)
{
    wp_strlcpy(raw, u->UserName, rawsize);
    if (JConvForDataOutToNetwork(raw, conv, convsize, 1) < 0)
        conv[0] = '\0';
}

void users_of(const UPS_USERSINFO *uip, const UPS_EVENTINFO *ev, int eventid, const char *text,
              const char *mailtext)
{
    if (uip == nullptr || uip->udp == nullptr)
        return;
    for (int n = 0; n < AGENT_NUSERS; n++) {
        const USERSDATA *u = &uip->udp[n];
        uint32_t bit = 1u << n;
        char raw[sizeof u->UserName + 1];
        char conv[2 * sizeof raw + 1];
        user_names(u, raw, sizeof raw, conv, sizeof conv);
        if ((ev->BroadcastUser & bit) != 0 && ev->BroadcastType == 2 && raw[0] != '\0' &&
            eventid != EV_PFAIL)
            send_write(raw, conv, text);
        char addr[sizeof u->Email + 1];
        wp_strlcpy(addr, u->Email, sizeof addr);
        if ((ev->MailUser & bit) != 0 && addr[0] != '\0')
            send_mail(addr, mailtext);
    }
}

// While a schedule counts down, users hear of its deadline alone.
int wall_allowed(int eventid)
{
    if (ea_st.downreason >= SPECIAL && ea_st.downreason <= MONTHLY)
        return eventid >= EV_SCH_FIRST && eventid <= EV_SCH_LAST;
    return eventid != EV_PFAIL;
}

const UPS_EVENTINFO *settings_of(const UPS_EVENTINFO *eap, int eventid)
{
    for (int i = 0; eap != nullptr && i < EA_NEVENTROWS; i++) {
        if (eap[i].EventID == eventid)
            return &eap[i];
    }
    return nullptr;
}

// who's output into nm.who, or the one held for this event.  1 or -1.
int read_who(void)
{
    if (nm.batch && nm.whostate != 0)
        return nm.whostate;
    const char *const argv[] = {"who", nullptr};
    int got = ea_spawn()->capture(sysroot_path(SP_WHO), argv, nm.who, sizeof nm.who);
    if (got < 0)
        Ea_log("UpdateUserList:Cannot run who");
    nm.wholen = got < 0 ? 0 : static_cast<size_t>(got);
    nm.whostate = got < 0 ? -1 : 1;
    return nm.whostate;
}

void begin_event(void)
{
    nm.batch = 1;
    nm.whostate = 0;
}

} // namespace

int ea_notify(int eventid, const UPS_EVENTINFO *ev, const UPS_USERSINFO *uip)
{
    const char *english = EventMsg(eventid);
    if (ev == nullptr || english == nullptr)
        return -1;

    const char *const mesg[] = {"mesg", "y", nullptr};
    run(SP_MESG, mesg, nullptr);

    // Users read the English text, the monitor's name as it goes out to the
    // network; mail gets the translated text.
    char name[NAME_CONV];
    if (JConvForDataOutToNetwork(ea_st.monitorname, name, sizeof name, 1) < 0)
        name[0] = '\0';
    char text[TEXT_MAX];
    char mailtext[TEXT_MAX];
    if (eventid == EV_CANCEL || eventid == EV_USERDOWN) {
        fill_name(text, sizeof text, english, name);
        fill_name(mailtext, sizeof mailtext, gettext(english), ea_st.monitorname);
    } else {
        wp_strlcpy(text, english, sizeof text);
        wp_strlcpy(mailtext, gettext(english), sizeof mailtext);
    }

    if (ev->BroadcastType <= 1 && wall_allowed(eventid))
        send_wall(text);
    begin_event();
    users_of(uip, ev, eventid, text, mailtext);
    nm.batch = 0;

    char cmd[COMMAND_MAX];
    wp_strlcpy(cmd, ev->Command, sizeof cmd);
    if (cmd[0] != '\0')
        ea_spawn()->shell(cmd);
    return 0;
}

int wallornot(int eventid, const char *msg, UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    (void)out;
    const UPS_EVENTINFO *ev = settings_of(in != nullptr ? in->DATA.eu.eap : nullptr, eventid);
    if (ev == nullptr || msg == nullptr)
        return -1;
    if (ev->BroadcastType <= 1)
        send_wall(msg);
    const UPS_USERSINFO *uip = in->DATA.eu.uip;
    if (ev->BroadcastType != 2 || uip == nullptr || uip->udp == nullptr)
        return 0;
    begin_event();
    for (int n = 0; n < AGENT_NUSERS; n++) {
        char raw[sizeof uip->udp[n].UserName + 1];
        char conv[2 * sizeof raw + 1];
        user_names(&uip->udp[n], raw, sizeof raw, conv, sizeof conv);
        if ((ev->BroadcastUser & (1u << n)) != 0 && raw[0] != '\0')
            send_write(raw, conv, msg);
    }
    nm.batch = 0;
    return 0;
}

int UpdateUserList(const char *username)
{
    ea_st.gszUserList[0][0] = '\0';
    if (wp_isnull(username))
        return 1;
    if (read_who() < 0)
        return -1;
    size_t len = nm.wholen;
    int k = 0;
    for (size_t pos = 0; pos < len && k < USERLIST_MAX;) {
        const char *start = nm.who + pos;
        const char *nl = static_cast<const char *>(memchr(start, '\n', len - pos));
        size_t linelen = nl != nullptr ? static_cast<size_t>(nl - start) : len - pos;
        pos += linelen + 1;
        // Only the start of an overlong line counts; its rest is no line
        // of its own.
        char line[WHO_LINE];
        wp_strlcpy(line, start, linelen + 1 < sizeof line ? linelen + 1 : sizeof line);
        char name[32], tty[32];
        ParseWho(line, name, tty);
        if (tty[0] != '\0' && strcmp(name, username) == 0)
            wp_strlcpy(ea_st.gszUserList[k++], tty, sizeof ea_st.gszUserList[0]);
    }
    ea_st.gszUserList[k][0] = '\0';
    return 1;
}

namespace
{

// Length of the word at s: up to a blank or the line's end.
size_t word_len(const char *s)
{
    size_t n = 0;
    while (s[n] != '\0' && !is_blank(s[n]) && s[n] != '\r' && s[n] != '\n')
        n++;
    return n;
}

} // namespace

void ParseWho(const char *line, char *name, char *tty)
{
    name[0] = tty[0] = '\0';
    if (line == nullptr)
        return;
    size_t n = word_len(line);
    if (n > 31)
        return;
    memcpy(name, line, n);
    name[n] = '\0';
    const char *t = line + n;
    while (is_blank(*t))
        t++;
    size_t m = word_len(t);
    // A cut terminal name would name another terminal.
    if (m > 31)
        return;
    memcpy(tty, t, m);
    tty[m] = '\0';
}

int intercepthost(char *name)
{
    (void)name;
    return 0;
}

// The per-event action settings and the notification users, between the
// configuration file and the records the monitors read and edit.  The user
// list and its items have fixed bounds; whatever lies beyond them is cut at
// an item's edge, never written past a buffer.
#include "ea/ea_events.h"

#include "agent/strings.h"
#include "ea/ea_action.h"
#include "ea/ea_config.h"
#include "ea/ea_log.h"
#include "ea/ea_state.h"
#include "ea/filehandle.h"

#include <cstdio>
#include <cstring>
#include <libintl.h>
#include <unistd.h>

namespace
{

const char *const S_USERINFO = "UserInfo";
const char *const K_USERID = "UserID";

struct events_module {
    char item[EA_USERLIST_MAX]; // nextitem's result
};

events_module em;

int is_blank(char c)
{
    return c == ' ' || c == '\t';
}

int is_separator(char c)
{
    return c == ',' || is_blank(c);
}

void section_of(char *dst, size_t size, unsigned id)
{
    snprintf(dst, size, "Event%u", id);
}

void load_event(UPS_EVENTINFO *e, const UPS_EVENTINFO *def)
{
    char sect[16];
    section_of(sect, sizeof sect, def->EventID);
    if (readparam(sect, nullptr) == nullptr) {
        *e = *def;
        return;
    }
    e->EventID = def->EventID;
    char text[FILEHANDLE_LINE_MAX];
    e->Record =
        ea_readstr(sect, "Record", text, sizeof text, "") && strncmp(text, "No", 2) == 0 ? 0 : 1;
    e->Shutdown = ea_readint(sect, "ShutDown", def->Shutdown);
    e->BroadcastType = static_cast<uint32_t>(
        ea_readint(sect, "BroadcastType", static_cast<int>(def->BroadcastType)));
    e->BroadcastUser = ea_readstr(sect, "BroadcastUser", text, sizeof text, nullptr)
                           ? wp_uatoi(text)
                           : def->BroadcastUser;
    e->MailUser =
        ea_readstr(sect, "MailUser", text, sizeof text, nullptr) ? wp_uatoi(text) : def->MailUser;
    ea_readstr(sect, "Command", e->Command, sizeof e->Command, "");
}

// The stored list held to its buffer; an item the cut would split is
// dropped whole, so no number is read shorter than it was stored.
void cut_list(char *list, size_t len)
{
    if (len < EA_USERLIST_MAX)
        return;
    size_t end = EA_USERLIST_MAX - 1;
    if (!is_separator(list[end]))
        while (end > 0 && !is_separator(list[end - 1]))
            end--;
    list[end] = '\0';
}

void load_user(USERSDATA *u, const char *item)
{
    u->UserID = static_cast<int8_t>(wp_atoi(item));
    u->Reserved = 0;
    ea_readstr(item, "Name", u->UserName, EA_USERNAME_MAX + 1, "");
    // The users are reached on this host, whatever the file says.
    if (gethostname(u->Address, sizeof u->Address) != 0)
        u->Address[0] = '\0';
    u->Address[sizeof u->Address - 1] = '\0';
    ea_readstr(item, "Email", u->Email, sizeof u->Email, "");
}

int load_users(UPS_USERSINFO *uip)
{
    for (int n = 0; n < AGENT_NUSERS; n++)
        uip->udp[n].UserID = USERID_UNUSED;
    char list[FILEHANDLE_LINE_MAX];
    if (!ea_readstr(S_USERINFO, K_USERID, list, sizeof list, nullptr)) {
        Ea_log(gettext("Missing User Info in config file"));
        uip->nusers = 0;
        return 0;
    }
    cut_list(list, strlen(list));
    int cursor = 0;
    int filled = 0;
    const char *p;
    while (filled < AGENT_NUSERS && (p = nextitem(list, &cursor)) != nullptr) {
        char item[EA_USERITEM_MAX];
        wp_strlcpy(item, p, sizeof item);
        load_user(&uip->udp[filled++], item);
    }
    uip->nusers = filled;
    return 0;
}

// Each adds to w and returns the number of changes refused.
int queue_text(EA_WRITES *w, const char *sect, const char *key, const char *field, size_t fieldsize)
{
    // The monitor's field need not be ended: the copy stops at its edge.
    char text[FILEHANDLE_LINE_MAX];
    wp_strlcpy(text, field, fieldsize < sizeof text ? fieldsize : sizeof text);
    return ea_queuestr(w, sect, key, text) == 0 ? 0 : 1;
}

int queue_event(EA_WRITES *w, const UPS_EVENTINFO *e)
{
    char sect[16];
    section_of(sect, sizeof sect, e->EventID);
    int errors = 0;
    errors += ea_queuestr(w, sect, "Record", e->Record != 0 ? "Yes" : "No") == 0 ? 0 : 1;
    errors += ea_queuenum(w, sect, "ShutDown", e->Shutdown);
    errors += ea_queuenum(w, sect, "BroadcastType", e->BroadcastType);
    errors += ea_queuenum(w, sect, "BroadcastUser", e->BroadcastUser);
    errors += ea_queuenum(w, sect, "MailUser", e->MailUser);
    errors += queue_text(w, sect, "Command", e->Command, sizeof e->Command);
    return errors;
}

// The listed users' sections and their list.
int queue_users(EA_WRITES *w, const UPS_USERSINFO *uip)
{
    char list[EA_USERLIST_MAX] = "";
    int errors = 0;
    int n = uip != nullptr && uip->udp != nullptr ? uip->nusers : 0;
    if (n > AGENT_NUSERS)
        n = AGENT_NUSERS;
    for (int i = 0; i < n; i++) {
        const USERSDATA &u = uip->udp[i];
        if (u.UserID == USERID_UNUSED)
            continue;
        char num[EA_USERITEM_MAX];
        snprintf(num, sizeof num, "%d", u.UserID);
        size_t len = strlen(list);
        if (len + strlen(num) + 1 >= sizeof list)
            break;
        snprintf(list + len, sizeof list - len, "%s,", num);
        errors += queue_text(w, num, "Name", u.UserName, EA_USERNAME_MAX + 1);
        errors += queue_text(w, num, "Address", u.Address, sizeof u.Address);
        errors += queue_text(w, num, "Email", u.Email, sizeof u.Email);
    }
    size_t len = strlen(list);
    if (len > 0)
        list[len - 1] = '\0';
    errors += ea_queuestr(w, S_USERINFO, K_USERID, list) == 0 ? 0 : 1;
    return errors;
}

} // namespace

char *nextitem(const char *list, int *cursor)
{
    if (list == nullptr || cursor == nullptr || *cursor < 0)
        return nullptr;
    size_t pos = static_cast<size_t>(*cursor);
    if (pos >= strlen(list))
        return nullptr;
    while (is_blank(list[pos]))
        pos++;
    size_t start = pos;
    while (list[pos] != '\0' && !is_separator(list[pos]))
        pos++;
    if (pos == start)
        return nullptr;
    size_t n = pos - start + 1;
    wp_strlcpy(em.item, list + start, n < sizeof em.item ? n : sizeof em.item);
    while (is_separator(list[pos]))
        pos++;
    *cursor = static_cast<int>(pos);
    return em.item;
}

int getevent(UPS_EVENTINFO *eap, UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    (void)in;
    // Some four hundred lookups: one read of the file serves them all.
    FilehandleHold hold;
    if (eap != nullptr) {
        for (int n = 0; n < EA_NEVENTROWS; n++)
            load_event(&eap[n], eventdefault_at(n));
    }
    if (out != nullptr && out->DATA.eu.uip != nullptr && out->DATA.eu.uip->udp != nullptr)
        load_users(out->DATA.eu.uip);
    return 0;
}

int setevent(UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    if (in == nullptr || in->DATA.eu.eap == nullptr || ea_configready() != 0)
        return -1;
    // One rewrite of the file for all of it: a write per key would hold the
    // daemon's loop, and a shutdown countdown with it, for seconds of syncs;
    // and one read of it for the lookups that leave unchanged keys alone.
    FilehandleHold hold;
    EA_WRITES w;
    int errors = 0;
    for (int n = 0; n < EA_NEVENTROWS; n++)
        errors += queue_event(&w, &in->DATA.eu.eap[n]);
    errors += queue_users(&w, in->DATA.eu.uip);
    errors += ea_flush(&w);
    if (errors != 0)
        return -1;
    if (ea_st.CURRENTCMD == EA_SETEVENT)
        eventaction(11, in, out);
    return 0;
}

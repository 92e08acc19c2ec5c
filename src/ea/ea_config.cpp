// The agent's working settings between the configuration file, the
// configuration record the monitors edit, the live record they watch and the
// engine's own copies.  A missing key is never an error: its default stands
// in.
#include "ea/ea_config.h"

#include "agent/fdutil.h"
#include "agent/strings.h"
#include "agent/sysclock.h"
#include "agent/sysroot.h"
#include "ea/ea_action.h"
#include "ea/ea_batt.h"
#include "ea/ea_events.h"
#include "ea/ea_history.h"
#include "ea/ea_log.h"
#include "ea/ea_schlist.h"
#include "ea/ea_state.h"
#include "ea/ea_time.h"
#include "ea/filehandle.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <libintl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace
{

const char *const S_UPS = "UPS";
const char *const S_SHUTDOWN = "ShutDown";
const char *const S_EVENTLOG = "EventLog";
const char *const S_DATALOG = "DataLog";

const char *const DEFAULT_GROUP = "Group A";

enum { COMSET_MIN = -2, COMSET_MAX = 4 };
enum { COMMSTATUS_NOUPS = 6 };
enum { UDINFO_AUTOREBOOT = 1 }; // the live record's restart switch wins

// The names on the wire hold 15 characters and their end.
enum { WIRE_NAME_MAX = 15 };

int uname_nodename(char *dst, size_t size)
{
    struct utsname u;
    if (uname(&u) != 0)
        return -1;
    wp_strlcpy(dst, u.nodename, size);
    return 0;
}

struct config_module {
    ea_nodename_fn nodename;
};

config_module cm = {uname_nodename};

void log_missing(const char *msgid)
{
    Ea_log(gettext(msgid));
}

// Sets the one role flag of a valid agent type; 0 for an invalid type.
int set_role(long type)
{
    ea_st.ISPROTECTOR = 0;
    ea_st.ISSERVERAGLOW = 0;
    ea_st.ISSERVERAGNORMAL = 0;
    ea_st.ISSERVERAGHIGH = 0;
    switch (type) {
    case AGTYPE_PROTECTOR:
        ea_st.ISPROTECTOR = 1;
        return 1;
    case AGTYPE_LOW:
        ea_st.ISSERVERAGLOW = 1;
        return 1;
    case AGTYPE_NORMAL:
        ea_st.ISSERVERAGNORMAL = 1;
        return 1;
    case AGTYPE_HIGH:
        ea_st.ISSERVERAGHIGH = 1;
        return 1;
    default:
        return 0;
    }
}

// The configured agent type with its role flag set; def (logged as missing)
// for a missing key and def for an invalid type.
int read_role(int def)
{
    int found = 0;
    int type = ea_readint(S_UPS, "AgentType", def, &found);
    if (!found)
        log_missing("Cannot read AgentType from config file");
    if (!set_role(type)) {
        type = def;
        set_role(type);
    }
    return type;
}

// The agent's name is the node name; a long one loses its domain and is
// then held to what a name on the wire can carry.
int agent_name(char *dst, size_t size)
{
    char node[EA_MSGLEN];
    if (cm.nodename(node, sizeof node) != 0)
        return -1;
    if (strlen(node) > WIRE_NAME_MAX) {
        if (char *dot = strchr(node, '.'))
            *dot = '\0';
        node[WIRE_NAME_MAX] = '\0';
    }
    wp_strlcpy(dst, node, size);
    return 0;
}

const char *or_empty(const char *p)
{
    return p != nullptr ? p : "";
}

// Adds one change to w and returns the number refused, 0 or 1.
int queue_unsigned(EA_WRITES *w, const char *sect, const char *key, unsigned v)
{
    return ea_queuestr(w, sect, key, itoc(static_cast<int>(v))) == 0 ? 0 : 1;
}

// Tells the monitors and then the network that the agent changed.
void announce(void)
{
    ea_callback(CB_DOWN2MONITOR, nullptr, 0, 0);
    ea_callback(CB_ANNOUNCE, nullptr, 0, 0);
}

void tell_autoboot(int on)
{
    ea_callback(on ? CB_AUTOBOOTON : CB_AUTOBOOTOFF, nullptr, 0, 0);
}

UPS_UPSINFO *live_of(UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    if (in != nullptr && in->DATA.upsinfop != nullptr)
        return in->DATA.upsinfop;
    return out != nullptr ? out->DATA.upsinfop : nullptr;
}

// The stored date, or an all-zero one.
UPS_TIMEINFO stored_batt(void)
{
    UPS_TIMEINFO t;
    getbattime(&t);
    return t;
}

UPS_TIMEINFO asked_batt(void)
{
    BATTCHGTIME b;
    memset(&b, 0, sizeof b);
    UPS_TIMEINFO t;
    memset(&t, 0, sizeof t);
    if (ea_callback(CB_GETBATTDATE, reinterpret_cast<char *>(&b), 0, 0) != 0) {
        Ea_log("Cannot get change battery time");
        return t;
    }
    t.year = b.BattTime.year;
    t.month = b.BattTime.month;
    t.day = b.BattTime.day;
    return t;
}

int model_is(const char *model, const char *prefix)
{
    return strncmp(model, prefix, strlen(prefix)) == 0;
}

// The battery-change date of the live record, from where the model keeps it.
UPS_TIMEINFO battery_date(const UPS_UPSINFO *ui)
{
    char model[sizeof ui->upsmodel];
    wp_strlcpy(model, ui->upsmodel, sizeof model);
    if (model_is(model, "QE200ZA") || model_is(model, "QE400ZA") || model_is(model, "QA"))
        return stored_batt();
    if (model_is(model, "QR") || model_is(model, "QE"))
        return asked_batt();
    return stored_batt();
}

} // namespace

int ea_hostname(char *dst, size_t size)
{
    return cm.nodename(dst, size);
}

void ea_config_setnodename(ea_nodename_fn fn)
{
    cm.nodename = fn != nullptr ? fn : uname_nodename;
}

int ea_readint(const char *sect, const char *key, int def, int *found)
{
    const char *p = readparam(sect, key);
    if (found != nullptr)
        *found = p != nullptr;
    return p != nullptr ? wp_atoi(p) : def;
}

int ea_readstr(const char *sect, const char *key, char *dst, size_t size, const char *def)
{
    const char *p = readparam(sect, key);
    if (dst != nullptr && size > 0)
        wp_strlcpy(dst, p != nullptr ? p : def, size);
    return p != nullptr;
}

int ea_writestr(const char *sect, const char *key, const char *value)
{
    EA_WRITES w;
    if (ea_queuestr(&w, sect, key, value) != 0)
        return -1;
    return ea_flush(&w) == 0 ? 0 : -1;
}

int ea_queuestr(EA_WRITES *w, const char *sect, const char *key, const char *value)
{
    if (value == nullptr)
        value = "";
    // A key this batch already changes is changed again without asking the
    // file: the new value then starts where the one before it is read from,
    // so the file ends as the two writes one after the other leave it.
    bool pending = false;
    for (size_t i = 0; i + 2 < w->text.size() && !pending; i += 3)
        pending = w->text[i] == or_empty(sect) && w->text[i + 1] == or_empty(key);
    if (!pending) {
        const char *old = readparam(sect, key);
        if (old != nullptr && strcmp(old, value) == 0)
            return 0;
    }
    if (checkparam(sect, key, value) != 0)
        return -1;
    w->text.emplace_back(sect);
    w->text.emplace_back(or_empty(key));
    w->text.emplace_back(value);
    return 0;
}

int ea_queuenum(EA_WRITES *w, const char *sect, const char *key, long v)
{
    char text[24];
    snprintf(text, sizeof text, "%ld", v);
    return ea_queuestr(w, sect, key, text) == 0 ? 0 : 1;
}

int ea_flush(EA_WRITES *w)
{
    size_t n = w->text.size() / 3;
    std::vector<PARAMWRITE> items(n);
    for (size_t i = 0; i < n; i++)
        items[i] = {w->text[3 * i].c_str(), w->text[3 * i + 1].c_str(), w->text[3 * i + 2].c_str()};
    int rc = writeparams(items.data(), static_cast<int>(n));
    w->text.clear();
    return rc == 0 ? 0 : static_cast<int>(n);
}

int ea_configready(void)
{
    const char *path = sysroot_path(SP_CONFIG);
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd >= 0) {
        Fd made(fd);
        // The file holds the agent's settings: root's, readable by nobody else.
        if (fchown(fd, 0, 1) != 0) {
            // Only root can give the file to root; anyone else keeps it.
        }
        if (fchmod(fd, 0600) != 0)
            return -1;
    } else if (errno != EEXIST) {
        return -1;
    }
    // Both openings for update must succeed, and only a plain file will do:
    // a FIFO or device there would hang or swallow the settings.
    struct stat st;
    Fd a(fd_openregular(path, O_RDWR, &st));
    Fd b(open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC));
    return a.get() < 0 || b.get() < 0 ? -1 : 0;
}

int getconfig(UPS_EOUT_DATA *out)
{
    if (out == nullptr || out->DATA.upsconfigp == nullptr || out->DATA.upsinfop == nullptr)
        return -1;
    UPS_WORKPARAM &wp = out->DATA.upsconfigp->workparam;
    UPS_LOGPARAM &lp = out->DATA.upsconfigp->logparam;
    UPS_COMMPARAM &cp = out->DATA.upsconfigp->commparam;
    UPS_UPSINFO *ui = out->DATA.upsinfop;
    FilehandleHold hold; // one read of the file for all the keys

    if (agent_name(cp.Agent, sizeof cp.Agent) != 0)
        return -1;
    long udinfo = agent.aip != nullptr ? agent.aip->udinfo : 0;

    cp.AgentType = static_cast<uint32_t>(read_role(AGTYPE_LOW));
    ui->AgentType = cp.AgentType;
    wp.ComSet = ea_readint(S_UPS, "ComSet", 0);

    if (ea_st.ISPROTECTOR) {
        lp.EnableEventLog = 1;
        lp.MaxEventRec = 200;
        return 0;
    }

    wp.BattLife = static_cast<uint32_t>(ea_readint(S_SHUTDOWN, "EXPECTBLIFE", 60));
    ea_st.EXPBLIFE = wp.BattLife;
    wp.TurnOffDelay = static_cast<uint32_t>(ea_readint(S_SHUTDOWN, "TurnOffDelay", 600));
    ea_st.TURNOFFDELAY = wp.TurnOffDelay;
    wp.FirstWarningTime = static_cast<uint32_t>(ea_readint(S_SHUTDOWN, "FIRSTWARN", 30));
    ea_st.PFAILCOUNT = static_cast<long>(wp.BattLife) - static_cast<long>(wp.FirstWarningTime);
    wp.WarningBeforeSchel = static_cast<uint32_t>(ea_readint(S_SHUTDOWN, "WARNBEFORESCHE", 600));
    ea_st.SCHCOUNT = wp.WarningBeforeSchel;
    wp.CountDownTime = static_cast<uint32_t>(ea_readint(S_SHUTDOWN, "INTERVAL", 30));
    ea_st.INTERVAL = wp.CountDownTime;
    wp.BSuspend = ea_st.BSUSPEND;
    wp.nCloseAppTime =
        static_cast<uint32_t>(ea_readint(S_SHUTDOWN, "CloseAppTime", ea_st.CLOSEAPPTIME));
    lp.EnableEventLog = ea_readint(S_EVENTLOG, "EventLogEnabled", 1);
    ea_st.EVENTLOGENABLED = lp.EnableEventLog;
    lp.EnableDataLog = ea_readint(S_DATALOG, "DataLogEnabled", 1);
    ea_st.DATALOGENABLED = lp.EnableDataLog;
    lp.DataLogInterval = static_cast<uint32_t>(ea_readint(S_DATALOG, "DataLogInterval", 60));
    ea_st.DLOGINTERVAL = lp.DataLogInterval;
    lp.MaxEventRec = static_cast<uint32_t>(ea_readint(S_EVENTLOG, "EventLogMaxSize", 200));
    lp.MaxDataRec = static_cast<uint32_t>(ea_readint(S_DATALOG, "DataLogMaxSize", 200));
    cp.bIgnore = ea_readint(S_UPS, "IgnoreOtherAgentDown", 1);
    ui->bIgnoreDown = cp.bIgnore;

    ea_readstr(S_UPS, "Group", cp.Group, WIRE_NAME_MAX + 1, DEFAULT_GROUP);
    wp_strlcpy(ui->Group, cp.Group, WIRE_NAME_MAX + 1);

    wp.AutoReboot = ea_readint(S_UPS, "AutoBoot", 1);
    tell_autoboot(wp.AutoReboot != 0);
    if (CheckBit(udinfo, UDINFO_AUTOREBOOT))
        wp.AutoReboot = ui->bAutoReboot;
    else
        ui->bAutoReboot = wp.AutoReboot;

    UPS_TIMEINFO batt;
    if (getbattime(&batt) == 0)
        ui->PreChangeBatt = batt;
    return 0;
}

int setconfig(UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    if (in == nullptr || in->DATA.upsconfigp == nullptr)
        return -1;
    UPS_WORKPARAM &wp = in->DATA.upsconfigp->workparam;
    UPS_LOGPARAM &lp = in->DATA.upsconfigp->logparam;
    UPS_COMMPARAM &cp = in->DATA.upsconfigp->commparam;
    UPS_UPSINFO *ui = live_of(in, out);
    if (ui == nullptr || ea_configready() != 0)
        return -1;
    FilehandleHold hold; // one read of the file for all the keys

    if (ea_st.ISPROTECTOR) {
        char name[sizeof cp.Agent];
        wp_strlcpy(name, cp.Agent, sizeof name);
        return ea_writestr(S_UPS, "AgentName", name);
    }

    // The settings go to the file in one rewrite at the end.  Keys are read
    // before they are changed and no key is changed twice, so every read
    // below sees what it saw when each key was written at once.  The
    // announcements on the way carry what the records hold, not the file.
    EA_WRITES w;
    int errors = 0;
    // A running failure countdown moves with the new battery life.
    if (ea_st.ACFAIL_off != 0)
        ea_st.ACFAIL_off -= ea_st.EXPBLIFE;
    errors += queue_unsigned(&w, S_SHUTDOWN, "EXPECTBLIFE", wp.BattLife);
    ea_st.EXPBLIFE = wp.BattLife;
    if (ea_st.ACFAIL_off != 0)
        ea_st.ACFAIL_off += ea_st.EXPBLIFE;

    errors += queue_unsigned(&w, S_SHUTDOWN, "TurnOffDelay", wp.TurnOffDelay);
    ea_st.TURNOFFDELAY = wp.TurnOffDelay;
    errors += queue_unsigned(&w, S_SHUTDOWN, "FIRSTWARN", wp.FirstWarningTime);
    ea_st.PFAILCOUNT = ea_st.EXPBLIFE - static_cast<long>(wp.FirstWarningTime);
    errors += queue_unsigned(&w, S_SHUTDOWN, "WARNBEFORESCHE", wp.WarningBeforeSchel);
    ea_st.SCHCOUNT = wp.WarningBeforeSchel;
    errors += queue_unsigned(&w, S_SHUTDOWN, "INTERVAL", wp.CountDownTime);
    ea_st.INTERVAL = wp.CountDownTime;
    wp.BSuspend = ea_st.BSUSPEND;
    errors += ea_queuenum(&w, S_SHUTDOWN, "BSUSPEND", ea_st.BSUSPEND);
    errors += queue_unsigned(&w, S_SHUTDOWN, "CloseAppTime", wp.nCloseAppTime);
    errors += ea_queuenum(&w, S_EVENTLOG, "EventLogEnabled", lp.EnableEventLog);
    ea_st.EVENTLOGENABLED = lp.EnableEventLog;
    errors += queue_unsigned(&w, S_EVENTLOG, "EventLogMaxSize", lp.MaxEventRec);
    errors += ea_queuenum(&w, S_DATALOG, "DataLogEnabled", lp.EnableDataLog);
    ea_st.DATALOGENABLED = lp.EnableDataLog;

    int found = 0;
    long oldinterval = ea_readint(S_DATALOG, "DataLogInterval", 0, &found);
    if (!found || oldinterval != static_cast<long>(lp.DataLogInterval)) {
        errors += queue_unsigned(&w, S_DATALOG, "DataLogInterval", lp.DataLogInterval);
        ea_st.DLOGINTERVAL = lp.DataLogInterval;
        // The data log starts its new interval with a record at once.
        ea_st.lastdatalog = 0;
    }
    errors += queue_unsigned(&w, S_DATALOG, "DataLogMaxSize", lp.MaxDataRec);
    errors += ea_queuenum(&w, S_UPS, "IgnoreOtherAgentDown", cp.bIgnore);
    ui->bIgnoreDown = cp.bIgnore;

    char old[FILEHANDLE_LINE_MAX];
    cp.Group[WIRE_NAME_MAX] = '\0';
    ea_readstr(S_UPS, "Group", old, sizeof old, "");
    if (strncmp(cp.Group, old, WIRE_NAME_MAX) != 0) {
        errors += ea_queuestr(&w, S_UPS, "Group", cp.Group) == 0 ? 0 : 1;
        announce();
    }
    wp_strlcpy(ui->Group, cp.Group, WIRE_NAME_MAX + 1);

    int autoboot = ea_readint(S_UPS, "AutoBoot", 0, &found);
    if (!found || autoboot != wp.AutoReboot) {
        errors += ea_queuenum(&w, S_UPS, "AutoBoot", wp.AutoReboot);
        ui->bAutoReboot = wp.AutoReboot;
        tell_autoboot(wp.AutoReboot != 0);
    }

    int comset = ea_readint(S_UPS, "ComSet", 0, &found);
    if (!found || comset != wp.ComSet) {
        if (wp.ComSet > COMSET_MAX || wp.ComSet < COMSET_MIN)
            wp.ComSet = found ? comset : 0;
        // Signed: -1 and -2 must read back as themselves.
        errors += ea_queuenum(&w, S_UPS, "ComSet", wp.ComSet);
        announce();
    }

    int type = ea_readint(S_UPS, "AgentType", 0, &found);
    if (!found || type != static_cast<long>(cp.AgentType)) {
        errors += queue_unsigned(&w, S_UPS, "AgentType", cp.AgentType);
        ui->AgentType = cp.AgentType;
        announce();
    }

    errors += ea_flush(&w);
    if (errors != 0)
        return -1;
    eventaction(9, in, out);
    return 0;
}

int ea_readrole(int def)
{
    return read_role(def);
}

void ea_readgroup(char *dst, size_t size)
{
    if (!ea_readstr(S_UPS, "Group", dst, size, DEFAULT_GROUP)) {
        log_missing("Cannot read Group from config file");
        writeparam(S_UPS, "Group", DEFAULT_GROUP);
    }
}

int getupsstatus(UPS_UPSINFO *ui)
{
    if (ui == nullptr)
        return -1;
    FilehandleHold hold; // one read of the file for all the keys
    // The live record of an agent without a valid type starts as the most
    // cautious one.
    ui->AgentType = static_cast<uint32_t>(read_role(AGTYPE_HIGH));

    char text[FILEHANDLE_LINE_MAX];
    if (ea_readstr(S_UPS, "BuzzerCan", text, sizeof text, nullptr))
        ui->BuzzerCan = strncmp(text, "off", 3) == 0 ? 0 : 1;
    else
        log_missing("Cannot read BuzzerCan from config file");
    if (ea_readstr(S_UPS, "AutoTestCan", text, sizeof text, nullptr)) {
        if (strncmp(text, "off", 3) == 0)
            ui->AutoTestCan = 0;
        else if (strncmp(text, "on", 2) == 0)
            ui->AutoTestCan = 1;
    } else {
        log_missing("Cannot read AutoTestCan from config file");
    }

    if (ui->ComId >= 0)
        ui->PreChangeBatt = battery_date(ui);

    ea_readgroup(ui->Group, WIRE_NAME_MAX + 1);

    getlasttwoevents(ui->events);
    ui->bACPI = 0;

    int rc = 0;
    rc |= gettime(sysclock_time(), &ui->timeinfo);
    rc |= gettime(ea_st.SCH_off, &ui->nextdown);
    rc |= gettime(ea_st.SCH_boot, &ui->nextboot);
    return rc != 0 ? -1 : 0;
}

int initial(UPS_EIN_DATA *in, UPS_EOUT_DATA *out)
{
    if (in == nullptr || out == nullptr || out->DATA.upsinfop == nullptr)
        return -1;
    int rc = getconfig(out);
    if (rc == 0 && out->DATA.upsconfigp->workparam.ComSet == COMSET_MIN)
        out->DATA.upsinfop->CommStatus = COMMSTATUS_NOUPS;

    ea_putschlist(out, getschlist());

    UPS_EVENTINFO *eap = out->DATA.eu.eap != nullptr ? out->DATA.eu.eap : in->DATA.eu.eap;
    if (eap == nullptr || getevent(eap, in, out) != 0)
        rc = -1;
    if (getupsstatus(out->DATA.upsinfop) != 0)
        rc = -1;

    UPS_UPSINFO *live = live_of(in, out);
    live->sftResBattery.Result = 2;
    live->sftResUPS.Result = 2;

    if (rc != 0)
        return -1;
    eventaction(7, in, out);
    ea_callback(CB_ANNOUNCE, nullptr, 0, 0);
    return 0;
}

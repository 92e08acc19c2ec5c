#include "agent/agent_lang.h"
#include "agent/sysroot.h"

#include <clocale>
#include <cstdlib>
#include <libintl.h>

const char lang_daemon_domain[] = "voltmirad";
const char lang_manager_domain[] = "voltmiractl";

namespace
{

// The agent keeps its Japanese text in EUC-JP: the monitors' conversions and
// the texts it writes to terminals and mail all expect it.
const char daemon_codeset[] = "EUC-JP";

} // namespace

int lang_setlocale(void)
{
    if (setlocale(LC_ALL, "") != nullptr)
        return 0;
    // Most servers have no Japanese locale installed.  gettext ignores
    // LANGUAGE in the plain "C" locale, but not in C.UTF-8, which every
    // current C library has built in; the catalogue is then still found
    // through LANGUAGE, and the codeset is set per domain anyway.
    if (setlocale(LC_ALL, "C.UTF-8") != nullptr)
        return 1;
    return -1;
}

int lang_binddomain(const char *domain, const char *codeset)
{
    if (domain == nullptr || domain[0] == '\0')
        return -1;
    if (bindtextdomain(domain, sysroot_path(SP_LOCALE)) == nullptr)
        return -1;
    if (codeset != nullptr && bind_textdomain_codeset(domain, codeset) == nullptr)
        return -1;
    if (textdomain(domain) == nullptr)
        return -1;
    return 0;
}

int daemon_setlang(void)
{
    // Overwritten, not defaulted: the daemon speaks Japanese whoever started
    // it, and the UPS channel process and the shell commands it runs inherit
    // the same setting.
    static const char *const names[] = {"LANG", "LANGUAGE", "KDE_LANG", "LC_ALL"};
    for (const char *name : names) {
        if (setenv(name, "ja", 1) != 0)
            return -1;
    }
    // Without any usable locale the texts stay English; that is no reason to
    // refuse to start.
    lang_setlocale();
    return lang_binddomain(lang_daemon_domain, daemon_codeset);
}

// The password request (kind 23): a user of the system's user database,
// checked against its shadow hash, earns user rights, the owner of the
// configuration file administrator rights.
//
// Guessing is kept slow from every side: a source address that fails too
// often is refused for a while, whatever connection it comes on; a name that
// is no user costs a hash like a real one, so the answer's timing does not
// tell which users exist; and the daemon computes only a few hashes a second,
// so a flood of requests cannot hold its loop (and the shutdown countdown)
// in the hashing.
#include "agent/agent_daemon.h"

#include "agent/agent_log.h"
#include "agent/agent_net.h"
#include "agent/strings.h"
#include "agent/sysclock.h"
#include "agent/sysroot.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace
{

// Failures from one address before it is refused, and the first refusal
// period; every further period lasts twice the one before, up to the cap.
constexpr int budget_fails = 5;
constexpr double budget_block_s = 60;
constexpr double budget_block_max_s = 3600;
// An address that has not failed for this long (and is not refused) starts
// afresh.
constexpr double budget_forget_s = 3600;

// Hashes computed within one second at most.  A pass of the loop lasts
// about a second, so this bounds the hashing of a pass to a few of them.
constexpr int crypt_per_second = 3;

constexpr long seconds_per_day = 86400;

enum check_result { CHECK_ADMIN, CHECK_USER, CHECK_FAILED, CHECK_BUSY };

bool same_text(const char *a, const char *b)
{
    size_t la = strlen(a), lb = strlen(b);
    unsigned char diff = la == lb ? 0 : 1;
    for (size_t i = 0; i < la && i < lb; i++)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

// --- the budget of failures per source address ------------------------------

bool forgotten(const daemon_pwbudget *b, double now)
{
    return !b->used || (now >= b->until && now - b->last > budget_forget_s);
}

// The record of addr, or null when it has none.
daemon_pwbudget *budget_find(uint32_t addr, double now)
{
    for (daemon_pwbudget &b : daemon_st.pwbudget) {
        if (b.used && b.addr == addr && !forgotten(&b, now))
            return &b;
    }
    return nullptr;
}

// Which of two records to give up first: one that is not refused now before
// one that is; among those not refused the one that failed longest ago,
// among refused ones the one whose refusal ends first.
bool evict_before(const daemon_pwbudget *a, const daemon_pwbudget *b, double now)
{
    bool a_free = now >= a->until, b_free = now >= b->until;
    if (a_free != b_free)
        return a_free;
    return a_free ? a->last < b->last : a->until < b->until;
}

// A record for addr, taken from a forgotten address if there is one.
daemon_pwbudget *budget_take(uint32_t addr, double now)
{
    daemon_pwbudget *best = nullptr;
    for (daemon_pwbudget &b : daemon_st.pwbudget) {
        if (forgotten(&b, now)) {
            best = &b;
            break;
        }
        if (best == nullptr || evict_before(&b, best, now))
            best = &b;
    }
    *best = daemon_pwbudget{};
    best->used = 1;
    best->addr = addr;
    return best;
}

void budget_fail(uint32_t addr, double now)
{
    daemon_pwbudget *b = budget_find(addr, now);
    if (b == nullptr)
        b = budget_take(addr, now);
    b->last = now;
    if (++b->fails < budget_fails)
        return;
    double block = budget_block_s;
    for (int i = 0; i < b->level && block < budget_block_max_s; i++)
        block *= 2;
    if (block > budget_block_max_s)
        block = budget_block_max_s;
    b->until = now + block;
    b->level++;
    b->fails = 0;
    char text[INET_ADDRSTRLEN] = "";
    struct in_addr in = {addr};
    inet_ntop(AF_INET, &in, text, sizeof text);
    char msg[128];
    snprintf(msg, sizeof msg, "daemon_password: too many failures from %s, refused for %d s\n",
             text, static_cast<int>(block));
    printf0(msg);
}

bool budget_refused(uint32_t addr, double now)
{
    const daemon_pwbudget *b = budget_find(addr, now);
    return b != nullptr && now < b->until;
}

// Takes one hash from the budget of the current second; false when it is
// spent.
bool crypt_allowed(double now)
{
    if (now - daemon_st.cryptwindow >= 1.0 || now < daemon_st.cryptwindow) {
        daemon_st.cryptwindow = now;
        daemon_st.cryptruns = 0;
    }
    if (daemon_st.cryptruns >= crypt_per_second)
        return false;
    daemon_st.cryptruns++;
    return true;
}

// --- the check itself -------------------------------------------------------

// A setting of the system's usual method and cost, for names that are no
// user: hashing against it costs what a real check costs.
void dummy_setting(char *buf, size_t size)
{
    if (crypt_gensalt_rn(nullptr, 0, nullptr, 0, buf, static_cast<int>(size)) == nullptr)
        wp_strlcpy(buf, "$6$voltmiradummysalt$", size);
}

// Whether pass hashes to stored.  A stored value that is no hash at all (a
// locked account's "!" or "*") costs a hash all the same, so that the
// answer's timing tells locked accounts from missing ones as little as it
// tells them from real ones.  The work area holds what the hashing derived
// from the password: it is wiped before the stack is reused.
bool hash_matches(const char *pass, const char *stored)
{
    struct crypt_data work;
    memset(&work, 0, sizeof work);
    const char *hash = crypt_rn(pass, stored, &work, sizeof work);
    bool ok = hash != nullptr && hash[0] != '*' && same_text(hash, stored);
    if (hash == nullptr || hash[0] == '*') {
        char dummy[CRYPT_GENSALT_OUTPUT_SIZE];
        dummy_setting(dummy, sizeof dummy);
        crypt_rn(pass, dummy, &work, sizeof work);
    }
    explicit_bzero(&work, sizeof work);
    return ok;
}

bool expired(const struct spwd *sp)
{
    // As the login programs read it: 0 and -1 mean no expiry date.
    return sp != nullptr && sp->sp_expire > 0 &&
           static_cast<long>(sysclock_time() / seconds_per_day) >= sp->sp_expire;
}

check_result check_password(const char *name, const char *pass, double now)
{
    struct passwd *pw = daemon_st.getpwnam(name);
    char stored[512] = "";
    uid_t uid = 0;
    bool known = pw != nullptr;
    bool usable = true;
    if (known) {
        uid = pw->pw_uid;
        wp_strlcpy(stored, pw->pw_passwd, sizeof stored);
        struct spwd *sp = daemon_st.getspnam(name);
        if (sp != nullptr) {
            wp_strlcpy(stored, sp->sp_pwdp, sizeof stored);
            usable = !expired(sp);
        }
        if (daemon_st.getspnam == getspnam)
            endspent();
    }

    bool ok;
    if (known && stored[0] == '\0') {
        // No password at all takes only an empty one; nothing to hash.
        ok = pass[0] == '\0';
    } else {
        if (!crypt_allowed(now)) {
            explicit_bzero(stored, sizeof stored);
            return CHECK_BUSY;
        }
        // A name that is no user is checked against a setting that no
        // password matches.
        if (!known)
            wp_strlcpy(stored, "*", sizeof stored);
        ok = hash_matches(pass, stored) && known;
    }
    explicit_bzero(stored, sizeof stored);
    if (!ok || !usable)
        return CHECK_FAILED;
    struct stat sb;
    if (stat(sysroot_path(SP_CONFIG), &sb) != 0)
        return CHECK_FAILED;
    return sb.st_uid == uid ? CHECK_ADMIN : CHECK_USER;
}

// The connected client the request came from, or -1 for a datagram.
int request_client(void)
{
    const UPS_CLIADDR *ca = daemon_cliaddr();
    int slot = daemon_findclient(ca->sockfd);
    if (slot < 0)
        return -1;
    const NETCLI *c = &net_client_p[slot];
    if (c->addr.sin_addr.s_addr != ca->addr.sin_addr.s_addr ||
        c->addr.sin_port != ca->addr.sin_port)
        return -1;
    return slot;
}

int32_t rights_of(check_result r)
{
    return r == CHECK_ADMIN ? AUTH_ADMIN : r == CHECK_USER ? AUTH_USER : AUTH_REJECTED;
}

} // namespace

int daemon_password(AGENT *ap)
{
    const uint32_t length = sizeof(UPS_PACKET_HEAD) + sizeof(UPS_PASSWORD);
    if (daemon_head()->Length != length) {
        // Not a password request one can trust the layout of: nothing of
        // it stays in the buffer.
        explicit_bzero(daemon_data(), daemon_head()->Length - sizeof(UPS_PACKET_HEAD));
        return -1;
    }
    UPS_PASSWORD *req = reinterpret_cast<UPS_PASSWORD *>(daemon_data());
    // The fields need not be terminated.
    char name[sizeof req->username + 1];
    char pass[sizeof req->password + 1];
    memcpy(name, req->username, sizeof req->username);
    name[sizeof req->username] = '\0';
    memcpy(pass, req->password, sizeof req->password);
    pass[sizeof req->password] = '\0';
    explicit_bzero(req->password, sizeof req->password);

    uint32_t from = daemon_cliaddr()->addr.sin_addr.s_addr;
    double now = sysclock_mono();
    check_result r = CHECK_FAILED;
    if (budget_refused(from, now)) {
        // Not even a right password counts now: a guess must not be
        // confirmed while the address is refused.
    } else {
        r = check_password(name, pass, now);
        if (r == CHECK_FAILED)
            budget_fail(from, now);
        else if (r == CHECK_BUSY)
            printf0("daemon_password: too many password requests at once, one refused\n");
    }
    explicit_bzero(pass, sizeof pass);
    int32_t right = rights_of(r);

    int slot = request_client();
    if (slot >= 0) {
        NETCLI *c = &net_client_p[slot];
        if (right == AUTH_ADMIN || right == AUTH_USER) {
            c->auth = right;
        } else if (++daemon_st.pwfail[slot] >= DAEMON_MAXPWFAIL) {
            // Failures are counted over the connection's life, successes
            // aside, so one known password cannot open endless guessing.
            printf0("daemon_password: too many failed password requests, connection closed\n");
            daemon_st.dropfd = c->sockfd;
        }
    }
    daemon_replyhead(ap, PK_PASSWORDANS, sizeof(UPS_PACKET_HEAD) + sizeof right);
    memcpy(daemon_data(), &right, sizeof right);
    return net_sendpacketout(ap);
}

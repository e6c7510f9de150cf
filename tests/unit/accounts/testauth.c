/* An external authentication library for the tests. It accepts:
 *   extuser / extpass    home from $ORVYN_TESTAUTH_HOME, else "/tmp/ext-home/";
 *   acctuser / acctpass  naming the local account $ORVYN_TESTAUTH_ACCOUNT as
 *                        the session's credentials;
 *   longhome / any       filling the whole home buffer with no terminator;
 *   conn / any           home "/conn/<connection number>";
 *   gated / gatepass     like extuser, once the file $ORVYN_TESTAUTH_GATE
 *                        exists (a directory server that is slow to answer);
 * and refuses everyone else. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "platform/accounts/OrvynAuth.h"

#define EXPORT __attribute__((visibility("default")))

static char account[300];

EXPORT int ORVYN_AuthenticateA(int connection, const char* user, const char* password, void** token, char* home) {
    if (strcmp(user, "extuser") == 0 && strcmp(password, "extpass") == 0) {
        const char* h = getenv("ORVYN_TESTAUTH_HOME");
        snprintf(home, ORVYN_HOME_SIZE, "%s", h != NULL ? h : "/tmp/ext-home/");
        return 1;
    }
    if (strcmp(user, "acctuser") == 0 && strcmp(password, "acctpass") == 0) {
        const char* a = getenv("ORVYN_TESTAUTH_ACCOUNT");
        snprintf(account, sizeof account, "%s", a != NULL ? a : "");
        *token = account;
        snprintf(home, ORVYN_HOME_SIZE, "/tmp/acct-home/");
        return 1;
    }
    if (strcmp(user, "longhome") == 0) {
        memset(home, 'h', ORVYN_HOME_SIZE);
        home[0] = '/';
        return 1;
    }
    if (strcmp(user, "gated") == 0 && strcmp(password, "gatepass") == 0) {
        const char* gate = getenv("ORVYN_TESTAUTH_GATE");
        const struct timespec tick = {0, 10 * 1000 * 1000};
        for (int i = 0; gate != NULL && access(gate, F_OK) != 0 && i < 3000; ++i) nanosleep(&tick, NULL);
        const char* h = getenv("ORVYN_TESTAUTH_HOME");
        snprintf(home, ORVYN_HOME_SIZE, "%s", h != NULL ? h : "/tmp/ext-home/");
        return 1;
    }
    if (strcmp(user, "conn") == 0) {
        snprintf(home, ORVYN_HOME_SIZE, "/conn/%d", connection);
        return 1;
    }
    return 0;
}

EXPORT int ORVYN_ApproveA(void) { return 1; }

EXPORT void ORVYN_FinishedA(void) {}

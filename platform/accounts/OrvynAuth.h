/*
 * Interface of an external authentication library for ORVYN Pro.
 *
 * An instance whose ExternalDLL value names a shared object loads it when the
 * instance is created and then asks it about every login instead of its own
 * password store or the system accounts. The library exports the C function
 * ORVYN_AuthenticateA below. The names ORVYN_ApproveA and ORVYN_FinishedA are
 * reserved: the service looks them up when it loads the library but never
 * calls them, so a library need not export them.
 *
 * ORVYN_AuthenticateA is called on the service's network thread, so it should
 * answer quickly. Its arguments:
 *   connection  the connection number of the session (1..9999), for logging;
 *   user        the name the client gave, NUL-terminated, at most 50 bytes;
 *   password    the password the client gave, NUL-terminated;
 *   token       the library may store here a pointer to the NUL-terminated name
 *               of a local account (at most 256 bytes); the session then acts
 *               with that account's credentials on the file system and takes
 *               its name. The text must stay valid until the function has
 *               returned and the service has read it, i.e. until the next call
 *               on the same thread (a static or thread-local buffer will do).
 *               Leave it null to log the user in without a system account. A
 *               name with no entry in the password database fails the login;
 *   home        a buffer of ORVYN_HOME_SIZE bytes, all zero on entry, for the
 *               user's home directory (an absolute path). The service
 *               applies no home of its own to a login the library accepted:
 *               left empty, the user has no home and the login fails there.
 *               Whatever is written, the last byte is forced to zero.
 * It returns nonzero to accept the login, zero to refuse it.
 */
#ifndef ORVYN_PLATFORM_ACCOUNTS_ORVYNAUTH_H
#define ORVYN_PLATFORM_ACCOUNTS_ORVYNAUTH_H

#ifdef __cplusplus
extern "C" {
#endif

#define ORVYN_HOME_SIZE 261

int ORVYN_AuthenticateA(int connection, const char* user, const char* password, void** token, char* home);

typedef int (*ORVYN_AuthenticateA_fn)(int, const char*, const char*, void**, char*);

#ifdef __cplusplus
}
#endif

#endif

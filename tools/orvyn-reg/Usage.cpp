#include "tools/orvyn-reg/Usage.h"

namespace orvyn::regtool {

std::string_view UsageText() {
    return R"USAGE(Usage:
  orvyn-reg query   KEY [/v NAME | /ve] [/s]
  orvyn-reg add     KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]
  orvyn-reg delete  KEY [/v NAME | /ve | /va] [/f]
  orvyn-reg save    KEY FILE [/y]
  orvyn-reg restore KEY FILE
  orvyn-reg passwd  SERVER USER
  orvyn-reg cert    list
  orvyn-reg cert    use SERVER HASH
  orvyn-reg serve
  orvyn-reg --help

Reads and changes the ORVYN Pro configuration store.

  KEY       HKLM\path or HKEY_LOCAL_MACHINE\path (any letter case); HKLM alone
            is the root of the store.
  /v NAME   the value NAME.
  /ve       the unnamed value, shown as "(Default)".
  /va       (delete) every value of the key; its subkeys are kept.
  /s        (query) every subkey below KEY as well; with /v, every key below
            KEY that holds the value.
  /t TYPE   (add) REG_SZ (the default), REG_EXPAND_SZ, REG_MULTI_SZ,
            REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_QWORD, REG_BINARY, REG_NONE.
  /d DATA   (add) the data, taken as it stands even when it starts with "/":
              REG_SZ, REG_EXPAND_SZ  text (none: the empty string)
              REG_MULTI_SZ           items separated by the two characters \0;
                                     empty items are refused
              REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_QWORD
                                     a decimal number or 0x and hex digits
              REG_BINARY, REG_NONE   an even number of hex digits (none: no data)
  /f        add: overwrite a value that already exists; without /f add refuses
            to overwrite. delete: delete without asking; without /f delete asks
            when standard input is a terminal and refuses otherwise.
  /y        (save) overwrite FILE when it exists; without /y save refuses.
  --store FILE
            use the store FILE instead of $ORVYN_REGISTRY
            (default /var/lib/orvyn/registry.db); may stand anywhere.

Options may also be written with "-" instead of "/", in any letter case.
add without /v or /ve creates the key only. delete without /v, /ve or /va
deletes the key with all its subkeys. restore replaces the whole content of
KEY (values and subkeys) by what FILE, written by save, holds.

passwd sets the password of USER on the server instance SERVER: it stores
the password's hash, with a new salt, as the value Passwd of the key
HKLM\Software\Brandmoor\ORVYNPro\Servers\SERVER\Users\USER (created when
missing; a domain account DOMAIN\NAME is kept one level deeper). On a
terminal the password is asked twice without echo; otherwise the first line
of standard input is the password. Empty passwords, passwords longer than
1024 characters and the pseudo-user "default" are refused.

cert list shows the certificates of both certificate stores (folders of PEM
files under $ORVYN_CERTDIR, default /etc/orvyn/certs: "service" is store 0,
"machine" store 1): for each file its SHA-1 hash, expiry, subject and file
name; files whose key others may read are marked, as the server refuses
them, and files without a certificate are named as not used. cert use makes the server instance SERVER use the certificate with
that hash (40 hex digits, colons allowed): it sets TLS\CertificateHash and
TLS\CertificateStore of the instance.

serve answers the administration applet of another computer, which runs it
through ssh: one request per line on standard input, one answer per request
on standard output, until standard input ends. It reads and writes the store,
controls the service (svc open, state, start, stop, reread) and lists folders
and certificates of this computer.

query prints the key, one line per value (four blanks, name, four blanks,
type, four blanks, data), a blank line, then the subkeys.

Exit status: 0 on success; 1 with "ERROR: ..." on standard error otherwise.
Nothing is changed when the command line or the data is not valid.
)USAGE";
}

}  // namespace orvyn::regtool

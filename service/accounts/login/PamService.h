// The PAM service "orvyn" that system-account logins go through: its file is
// shipped beside the programs (pam.d/orvyn) and put in place when the
// service is installed.
#pragma once

#include <string>

namespace orvyn {

struct PamServiceInstall {
    enum class Outcome {
        Installed,       // the file was written
        AlreadyPresent,  // a file of that name exists and was left alone
        NotWanted,       // a private installation: the system's PAM folder is not touched
        NoSource,        // the shipped file was not found beside the program
        Failed,          // the file could not be written (error says why)
    };
    Outcome outcome = Outcome::NotWanted;
    std::string path;   // the file written or found
    std::string error;
};

// The folder the PAM service file goes to: $ORVYN_PAM_DIR when set; else
// /etc/pam.d, unless the store in use is not the system's own
// ($ORVYN_REGISTRY names another), as for tests and trial installations,
// which must not change the system's PAM set-up (empty then).
std::string PamServiceDir();

// Copies the shipped PAM service file (found beside programPath, in
// pam.d/orvyn or ../share/orvyn/pam.d/orvyn) to PamServiceDir()/orvyn when
// no file of that name exists there; an existing file is never replaced
// (the administrator may have adapted it).
PamServiceInstall InstallPamService(const std::string& programPath);

}  // namespace orvyn

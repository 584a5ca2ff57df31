// Who may change what the board trusts. As OpenSSH's StrictModes does: a
// file or folder that someone else could write (its own owner aside, who
// must be the caller or root) could have been written by them, so nothing
// in it is trusted. A security decision made on such a file fails closed.
#ifndef KOVA_HOST_PERMISSIONS_H
#define KOVA_HOST_PERMISSIONS_H

#include <string>

#include "error.h"

// Nothing when `path` is missing, or is owned by the caller or root and
// writable by neither its group nor others. Otherwise exitcode::USAGE naming
// `path`, what is wrong, and the chown or chmod that mends it. Links are
// not followed: a link is refused as such by whoever opens the file.
// On Windows: owned by Administrators, SYSTEM or TrustedInstaller, and
// writable by no one else (an administrator who owns what it creates,
// where a machine's policy makes it so, counts as Administrators); the
// message gives the icacls lines that mend it.
Status check_private(const std::string& path);
// Whether check_private checks (on from the start). kovaflash.exe turns it
// off for a simulated board, which is a test's folder, not a board's.
void set_permission_checks(bool on);

// Whether this process may make files in `dir` (or, while it does not
// exist, in the folder that would hold it).
bool folder_writable(const std::string& dir);

#endif

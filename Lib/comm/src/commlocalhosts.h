// The unit's host interfaces as the task manager publishes them, for the
// comm client and server, which answer from and file requests under them.
#ifndef COMMLOCALHOSTS_H
#define COMMLOCALHOSTS_H

#include "itmgr.h"

// False when the task manager's configuration cannot be read. Otherwise
// fills the address of every host entry it lists (0 where none) and tells
// through `anyHost` whether there was at least one.
inline bool ReadLocalHosts(unsigned long (&ipa)[3], bool& anyHost) {
    T_TMGRIF_cfg cfg;
    if (ITMGR::Getsize(&cfg) != 0) return false;
    anyHost = false;
    for (unsigned short i = 0; i < 3; ++i) {
        T_TMGRIF_HostInfo info;
        if (ITMGR::Gethost(i, &info) == 0) {
            ipa[i] = info.if_ipa;
            anyHost = true;
        }
    }
    return true;
}

#endif

// Installation-wide limits.
#ifndef SYSTUNE_H
#define SYSTUNE_H

#define SYS_NUNIT 64          // units in an installation
#define SYS_NCAM 2048         // cameras
#define SYS_NMON 1024         // monitors
#define SYS_NNUVAKS 256       // group tours
#define SYS_NGPRESET 256      // group presets
#define SYS_NGPRESETELM 128   // elements per group preset
#define SYS_MAXDWELL 999      // longest dwell time of a tour step, seconds

#endif

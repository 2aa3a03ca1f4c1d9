// Where the installation's database lives and what its tables are called.
#ifndef DATABASE_H
#define DATABASE_H

// Directory of the installation's dBASE tables.
#define DBPATH "/opt/cctv/database"

// File names of the four tables the tour service reads (no extension: the
// data file is NAME.dbf, its production index NAME.mdx).
#define DBFILE_NUVAK "nuvak"    // group tours, one record per step
#define DBFILE_GROUP "grppre"   // group presets, one record per element
#define DBFILE_CAM "cam"        // cameras
#define DBFILE_MON "mon"        // monitors

// The dBASE layer's database type used by the interface.
#define DBIF_DBTYPE 1

// Longest record the interface reads (its shared record buffer holds one
// record and a terminator).
#define DBIF_MAXRECLEN 1024

#endif

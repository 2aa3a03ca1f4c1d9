// `walk FILE.dbf TAG [--json]`: prints a data file's records in the order of
// one tag of its production index.
#ifndef NUVAK_DBTOOL_WALK_H
#define NUVAK_DBTOOL_WALK_H

// argv[0] is "walk". Returns the process exit code: 0 done, 1 the files
// could not be read (one line on stderr naming the failed call and the
// layer's code), 2 bad arguments (one line with the reason).
int RunWalk(int argc, char** argv);

#endif

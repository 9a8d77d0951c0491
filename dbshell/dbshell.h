// The database client's whole run, apart from main: the fuzz target calls it
// in-process with argument vectors of its own.
#pragma once

// Runs dbshell with its command line (argv[1] the database file, argv[2] the
// SQL), prints the one JSON answer on standard output and gives the exit
// status: 0, or 1 after an error answer.
int dbshell_main(int argc, char *argv[]);

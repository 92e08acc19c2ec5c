// voltmiracfg, the configuration helper for installation scripts and
// graphical front ends: it reads or changes one key of the configuration
// file, counts or lists processes by name, and reads or stores the
// battery-replacement date kept in the UPS.  It shares nothing with the
// running agent but the configuration file and the serial line.
#ifndef VOLTMIRA_CFGTOOL_CFGTOOL_H
#define VOLTMIRA_CFGTOOL_CFGTOOL_H

// The whole command line (argv[0] the program name); returns the exit
// status, 0..255.  Answers go to standard output, failures of the file
// operations to standard error.
//
// The first option letter chooses the form: g or G gets, anything else sets.
//
//   -g KEY | -g SECTION KEY     print KEY's value with its line end (in
//                               SECTION when a section head begins so)
//   -g pr NAME | -g prid NAME   count / list this user's processes
//   -g batt PORT                read the UPS's battery date
//   -s SECTION KEY VALUE        set KEY in SECTION
//   -s batt YYYY/MM/DD PORT     store the battery date in the UPS
int cfgtool_main(int argc, char **argv);

#endif

// The helper's own access to the configuration file.  It works on whole
// lines with simpler tests than the agent's store: a key is found anywhere in
// the file by its name followed by a blank, and a set finds its section by the
// beginning of the head line as written (for example "[ UPS ]").
#ifndef VOLTMIRA_CFGTOOL_CFG_FILE_H
#define VOLTMIRA_CFGTOOL_CFG_FILE_H

#include <cstdio>

// 1 when line begins with str, byte for byte from the first column, else 0.
// Null arguments give 0.
int be_exist(const char *str, const char *line);

// 1 when line begins with str and the character after it is a blank.
int xbe_exist(const char *str, const char *line);

// The key test of both forms: after any leading blanks the line holds key
// and a blank, as the agent writes its entries (" key = value").  Returns
// the position in line right after the key, or null.
const char *key_exist(const char *key, const char *line);

// Prints to out the value of the first line that holds key: the text from
// three characters after the key (past " = ") up to and including the line
// end.  The line is looked for in the section whose head line (a line
// beginning with '[') begins with section, up to the next head written
// with a blank after '[' (the section as the set form sees it); when no head
// matches (or section is null or empty), anywhere in the file.  Returns 0,
// or -1 when the file or the key is missing (silently) or the file cannot be
// read ("open file error\n" on standard error).
int get_config_key(const char *section, const char *key, FILE *out);

// Replaces key's line in section by "key = value", or adds the entry at the
// end of the section, or the section at the end of the file.  The file is
// replaced whole under a lock, keeping its owner and mode, so that neither a
// crash nor a concurrent run leaves it torn or loses an update.  Returns 0
// once the new file is on disk.  Returns -1 with the file unchanged for
// refused arguments (empty section or key, a line feed anywhere, a line too
// long for the agent to read back; nothing is printed) and when the file
// cannot be read or written or the configuration lock stays busy for about
// 2 s ("open file error\n" on standard error); and -1
// with the new file in place, reported the same way, when its directory
// could not be synced, so that it may not outlive a power cut.
int set_config_file(const char *section, const char *key, const char *value);

#endif

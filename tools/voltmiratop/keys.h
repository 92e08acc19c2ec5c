// The keys of the live screen: which action each one runs, what it asks
// for on the prompt line, and the editing of that line.  Nothing here
// touches the terminal.
#ifndef VOLTMIRA_TOOLS_VOLTMIRATOP_KEYS_H
#define VOLTMIRA_TOOLS_VOLTMIRATOP_KEYS_H

#include <string>

namespace vtop
{

struct KeyAction {
    char key;
    const char *action;  // as run_action takes it, without its argument; "login" logs in
    const char *prompt;  // null: no argument is asked for
    const char *label;   // its name in the notes about it
    bool listing;        // its lines replace the status until a key
    const char *confirm; // null, or the question asked before it is sent ("%s": the argument)
};

// The action of a key; null for a key that has none.
const KeyAction *key_action(char key);

// The one-line help: every key, within 80 columns.
std::string help_line();

// Takes one byte typed on the prompt line into line: printable bytes are
// added, backspace takes back one character (a whole UTF-8 sequence).
// 1: Enter finished the line; -1: Esc or Ctrl-C cancelled it; 0: go on.
int edit_line(std::string &line, unsigned char byte);

} // namespace vtop

#endif

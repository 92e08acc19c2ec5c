// The configuration file store: every persistent setting lives in one
// sectioned text file, read one key at a time and changed one key or one
// batch of keys at a time.
//
// Syntax, as the reader sees it: lines end in a line feed and are read into a
// buffer of FILEHANDLE_LINE_MAX bytes, so a line fits only when it holds at
// most FILEHANDLE_LINE_MAX - 1 characters with its line feed; a longer line
// is read as several pieces, the first of which counts as too long.  A
// section head starts in column 1 with '[', then blanks (spaces only), the
// name, blanks and ']'; the rest of the line is ignored.  An entry is leading
// blanks, the key, a run of blanks and '=' holding at least one '=', and the
// value up to the line feed, untrimmed.  The first section of a name and the
// first entry of a key count.
//
// Not reentrant: the buffers are process-wide.  No threads use this module.
#ifndef VOLTMIRA_EA_FILEHANDLE_H
#define VOLTMIRA_EA_FILEHANDLE_H

enum { FILEHANDLE_LINE_MAX = 512 };

// Clears the module's buffers and edit state.  Returns 0.
int filehandle_init(void);

// Releases what the module holds and clears it; readparam results die here.
void filehandle_fini(void);

// While the file is held (holds nest), readparam answers from one copy of
// it read at the first lookup, so a run of lookups reads the file once and
// sees one state of it; a writeparams of this process drops the copy, and a
// file that cannot be read or is empty is read at each lookup as without a
// hold.  The last release frees the copy.
void filehandle_hold(void);
void filehandle_release(void);

// Holds the file for a scope.
class FilehandleHold
{
  public:
    FilehandleHold() { filehandle_hold(); }
    ~FilehandleHold() { filehandle_release(); }
    FilehandleHold(const FilehandleHold &) = delete;
    FilehandleHold &operator=(const FilehandleHold &) = delete;
};

// Looks up section (null counts as empty), and key cp in it.  cp null: a
// non-null pointer when the section exists; cp "": the section's head line;
// otherwise the key's value (possibly "").  Null when the file cannot be
// opened or the section or key is missing.  The result points into the
// module's read buffer and is valid only until the next readparam.
char *readparam(const char *section, const char *cp);

// One change for writeparams: writeparam's three arguments.
typedef struct {
    const char *section;
    const char *cp;
    const char *content;
} PARAMWRITE, *PARAMWRITEP;

// Sets key cp of section to content (null counts as ""), adding the entry or
// the section when missing; cp null or "" only makes sure the section
// exists.  The file is replaced whole, so readers and a crash see either the
// old or the new file.  Returns 0 once the new file is on disk.  Returns -1
// with the file unchanged when the input is refused (no section, a line feed
// in any argument, a line that would be too long to read back), when the
// configuration lock stays busy (about 2 s) or the file cannot be read or
// replaced; and -1 with the new file in place when its
// directory could not be synced, so it may not outlive a power cut.
int writeparam(const char *section, const char *cp, const char *content);

// The n changes of items as n writeparam calls in a row would make them, put
// on disk by one replacement of the file under one lock.  Returns 0 (n 0:
// nothing touched), or -1 as writeparam does; a refused change refuses the
// whole batch and leaves the file unchanged.
int writeparams(const PARAMWRITE *items, int n);

// Whether writeparam would take these arguments: -1 (logged as writeparam
// logs it) for no section or a line feed in any of them, else 0.  Lines too
// long to read back depend on the file and are found only by the write.
int checkparam(const char *section, const char *cp, const char *content);

// The editing step of writeparam, on its in-memory copy of the file: moves
// the edit position by back (0 stays, negative goes back over text already
// read), and from there on the copy becomes s followed by the old text from
// that point, less its first line when back is not 0.  The position ends at
// the end of the copy.  Returns 0, or -1 when the move leaves the copy, when
// back is not 0 and no line starts there, or memory runs short.  Only
// writeparams puts the copy into the file.
int insert(long back, const char *s);

#endif

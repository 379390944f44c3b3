// Key = value configuration files, read and written against a caller's list
// of known keys, and configuration file names built from a name, a default
// name and a directory (a leading ~ stands for the home directory).
//
// Every text handed out is allocated with ctlMalloc; the caller releases it
// with ctlFree.
#pragma once

// Message texts for callers that report configuration problems.
extern const char* file_error_msg;      // "could not open file "
extern const char* unknown_option_msg;  // "unknown option "
extern const char* illegal_format_msg;  // "line without '='.\n"

// Reads `filename` line by line (lines longer than 1023 characters continue as
// a further line). '#' starts a comment anywhere in a line; a line is
// "key = value", both sides trimmed of blanks and tabs (a CR at the end of a
// value is kept). Lines without '=' and unknown keys are skipped silently.
//
// keys: null-terminated list, compared exactly. values: parallel to keys; the
// value of each known key is stored as a new text. When a key occurs in
// several lines the last one wins and the texts of the earlier lines are
// released. An entry that holds a text before the call is replaced without
// being released: it stays the caller's to release (so it may be a literal).
//
// Returns the number of lines that set a known key, -1 when the file cannot be
// opened (or, rarely, when out of memory before reading).
int read_config_file(const char* filename, const char* const* keys, char** values);

// One line as read_config_file sees it. number counts the reads (a line
// longer than 1023 characters counts as several). For a "key = value" line
// key and value are trimmed as above and text is null; for a line without '='
// key and value are null and text is what is left of it once its comment is
// cut off, trimmed.
struct ConfigLine {
    int number;
    const char* key;
    const char* value;
    const char* text;
};
// Calls visit(line, context) for every line of the file in order until visit
// returns false. Returns the number of lines visited, -1 when the file cannot
// be opened. For callers that want to hear of the lines read_config_file
// skips.
int visit_config_file(const char* filename, bool (*visit)(const ConfigLine& line, void* context),
                      void* context);

// Writes the optional header line(s) ("%s\n") and then "key = value" for each
// key in list order whose value is not null. Returns null on success, else a
// new message text "could not open file <filename>." (or "could not write
// file <filename>." when writing fails) that the caller releases.
char* write_config_file(const char* filename, const char* const* keys, char* const* values,
                        const char* header);

// A configuration path: name (or defaultName when name is null) with a
// leading ~ expanded; when that is not absolute and dir is given, dir (with ~
// expanded and one trailing '/' removed), "/" and the name. Null when both
// names are null or out of memory.
char* make_conf_filename(const char* name, const char* defaultName, const char* dir);

// first, second and third joined (second and third may be null and are then
// skipped; a null first counts as empty). Null when out of memory.
char* rconfig_make_message(const char* first, const char* second, const char* third);

// parser.h - parsing of single UCM lines: mapping lines and the lead-byte line (internal).
#ifndef NOXUNICODE_PARSER_H
#define NOXUNICODE_PARSER_H

#include "NoxUCharMapping.h"

#include <cstddef>

// Parses one mapping line "<UXXXX> \xHH... |P" into *uChar. Returns 1 when accepted, else 0
// (a comment, precision 2, or any malformed line). The record is cleared first unless the
// line is null, starts with '#', or uChar is null.
int parse_ucm_line(const char* line, NoxUCharMapping* uChar);

// The usual mapping line, as code-page files write nearly all of them: "<UXXXX> \xHH... |P"
// with one blank on each side of the bytes, every byte written with two digits and none 0,
// and precision 0, 1 or 3. Reads it into *uChar exactly as parse_ucm_line would and returns
// the position after the precision marker; for every other line returns null and leaves
// *uChar as it was. The line need not end where its newline is: nothing after the marker
// is read.
const char* parse_usual_ucm_line(const char* line, NoxUCharMapping* uChar);

// Reads the usual mapping line exactly as parse_usual_ucm_line does, the most common form of
// it, a character of two bytes, several characters at a time: the line ends with a newline or
// a 0, and at least `s_usualLineReach` bytes from `line` on are readable (what they hold after
// the line's end does not change the result).
const size_t s_usualLineReach = 24;
const char* parse_usual_ucm_line_padded(const char* line, NoxUCharMapping* uChar);

// Applies a "<nox_lead_bytes> XX-YY:N XX:N ..." line to *leadBytes. Returns the number of
// byte slots assigned; 0 for any other line.
int parse_lead_bytes(const char* line, NoxLeadByteTable* leadBytes);

#endif

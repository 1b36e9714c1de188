// parser.h - parsing of single UCM lines: mapping lines and the lead-byte line (internal).
#ifndef NOXUNICODE_PARSER_H
#define NOXUNICODE_PARSER_H

#include "NoxUCharMapping.h"

// Parses one mapping line "<UXXXX> \xHH... |P" into *uChar. Returns 1 when accepted, else 0
// (a comment, precision 2, or any malformed line). The record is cleared first unless the
// line is null, starts with '#', or uChar is null.
int parse_ucm_line(const char* line, NoxUCharMapping* uChar);

// Applies a "<nox_lead_bytes> XX-YY:N XX:N ..." line to *leadBytes. Returns the number of
// byte slots assigned; 0 for any other line.
int parse_lead_bytes(const char* line, NoxLeadByteTable* leadBytes);

#endif

// The INI parser interface the settings reader uses, for systems that have no
// INI library package (Windows). It behaves as the library's stream parser
// does in Debian's build: ';' and '#' start comment lines, ';' after white
// space starts an inline comment, "name=value" and "name:value" pairs under
// "[section]" lines, indented lines continue the value before them, and
// lines are read through a buffer of kIniMaxLine bytes.
#pragma once

using ini_reader = char* (*)(char* buffer, int size, void* stream);
using ini_handler = int (*)(void* user, const char* section, const char* name, const char* value);

// Calls handler for every pair; returns 0, or the number of the first line
// that did not parse or whose handler returned 0. Parsing goes on past such
// lines.
int ini_parse_stream(ini_reader reader, void* stream, ini_handler handler, void* user);

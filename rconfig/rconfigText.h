// Text helpers of the configuration module, used only inside it (declared
// here so that its tests can reach them).
#pragma once

// Removes leading blanks and tabs and trailing blanks, tabs and line feeds in
// place (a carriage return is kept).
void trim_blanks(char* text);

// A new copy of path with a leading ~ replaced by the HOME directory (~/x is
// HOME/x, ~x is HOMEx; an empty HOME leaves the path without its ~). When
// HOME is unset the path is copied unchanged.
// Null for a null path or when out of memory.
char* expand_tilde(const char* path);

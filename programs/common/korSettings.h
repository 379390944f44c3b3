// The settings file of the programs: key = value lines (# starts a comment),
// read with the system's own configuration reader, checked key by key.
#pragma once

#include <string>

#include "vcSettings.h"

namespace kor {

// Fills *settings from the file at path, starting from the defaults; a null
// path leaves the defaults. False with *error naming the file, the line or
// key and what is wrong: the file cannot be read, a line without '=', an
// unknown key, or a bad value. A relative path given in the file (state,
// jobs, com1, com2, tls_ca) is taken relative to the file's folder.
bool loadSettings(const char* path, vc::Settings* settings, std::string* error);

// One line per key of the settings table: "  key  default (allowed values)",
// then what the key does, indented by six spaces.
std::string describeSettings();
// What a key does in a sentence or two; null for a key without one.
const char* settingMeaning(const char* key);

}  // namespace kor

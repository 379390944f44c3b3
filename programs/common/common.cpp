// Code shared by the programs (settings file, state file location).

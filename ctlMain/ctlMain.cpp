// Placeholder entry point until the launcher is built.
#include "korApp.h"

void ctlUsrRoot(CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg) {}

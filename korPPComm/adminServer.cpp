// Placeholder until the admin server is built: the task ends at once.
#include "korApp.h"

void kor_startAdminTCPServer(CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg, CtlArg,
                             CtlArg) {
    ctlDeleteTask(0);
}

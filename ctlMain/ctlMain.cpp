// Entry point: the controller calls ctlUsrRoot once; it starts the launcher as
// a task of its own and ends.
#include "korApp.h"
#include "korPPComm.h"

void ctlUsrRoot(CtlArg a1, CtlArg a2, CtlArg a3, CtlArg a4, CtlArg a5, CtlArg a6, CtlArg a7,
                CtlArg a8, CtlArg a9, CtlArg a10) {
    korLauncherServe(kor_startAdminTCPServer, KOR_ADMIN_PORT);
    ctlCreateTask(3, 0, korLauncher, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10);
    vx::exit(0);
}

// Program-wide values, set by the launcher before any other task runs.
#include "korApp.h"

int korSysClkRate = 0;
FtpConnection* korFtpHandle = nullptr;
std::int32_t korPosRecHeader[6] = {};

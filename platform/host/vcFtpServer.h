// The controller's own FTP server over the job directory, started and stopped
// with the virtual controller.
#pragma once

#include "vcSettings.h"

namespace vc {

// Starts the server as settings.ftpServer says ("off": nothing). Returns 0, or
// -1 with a message on the console (the controller still runs without it).
int startFtpServer(const Settings& settings);
void stopFtpServer();

}  // namespace vc

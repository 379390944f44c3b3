// Placeholder: the controller's own FTP server is not started yet.
#include "vcFtpServer.h"

int vc::startFtpServer(const Settings&) { return 0; }
void vc::stopFtpServer() {}

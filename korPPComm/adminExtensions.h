// The admin server's extension requests (journal, console, counters, capture).
#pragma once

#include "korPPComm.h"

// When field is one of the extension requests, fills *reply and returns true.
bool kor_adminExtension(const char* field, const char* payload, int payloadLength, char* replyBuf,
                        int replySize, KorAdminReply* reply);

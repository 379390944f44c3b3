// Waits on sockets and a channel's wake-up pipe.
#include "korWait.h"

#include "korSecure.h"

KorWake kor_waitSocketsOrPipe(CtlFdSet* readSet, int width, int pipeFd, int timeoutSec) {
    if (pipeFd != -1) {
        ctlFdSet(pipeFd, readSet);
        if (pipeFd >= width) width = pipeFd + 1;
    }
    CtlTimeval timeout{timeoutSec, 0};
    const int ready = ctlSelect(width, readSet, nullptr, nullptr,
                                timeoutSec == 0 ? nullptr : &timeout);
    if (ready == -1) {
        vx::perror("Error: ctlSelect");
        return KorWake::Failed;
    }
    if (ready == 0) return KorWake::Timeout;
    if (pipeFd != -1 && ctlFdIsSet(pipeFd, readSet)) {
        char discarded;
        vx::read(pipeFd, &discarded, 1);
        return KorWake::CloseRequest;
    }
    return KorWake::Ready;
}

int kor_waitSocket(int sock, KorReadiness what, CtlTimeval* limit) {
    // Bytes a secure stream has already taken from the socket are not seen by
    // the wait.
    if (what == KorReadiness::Read && kor_streamPending(sock) > 0) return 1;
    CtlFdSet set;
    ctlFdZero(&set);
    ctlFdSet(sock, &set);
    const bool writing = what == KorReadiness::Write;
    const int ready = ctlSelect(sock + 1, writing ? nullptr : &set, writing ? &set : nullptr,
                                nullptr, limit);
    if (ready <= 0) return ready < 0 ? -1 : 0;
    return ctlFdIsSet(sock, &set) ? 1 : 0;
}

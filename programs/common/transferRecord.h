// The job transfer record of the admin requests ":ftpg" and ":ftpp", as the
// tools build it (koradmin from its options, kordash from its form).
#pragma once

#include <cstring>
#include <string>

#include "korPPComm.h"

namespace kor {

struct TransferFields {
    std::string server, user, password, dir, job;
};

// Fills *record with each text NUL-padded in its room and returns null; or
// returns the name of the first field that does not fit ("user", "password",
// "dir", "job", "server"), with *room the characters it holds at most.
inline const char* buildTransferRecord(const TransferFields& t, std::string* record, int* room) {
    struct Field {
        const std::string& text;
        int off, size;
        const char* name;
    };
    const Field fields[] = {{t.user, KOR_XFER_USER_OFF, KOR_XFER_USER_SIZE, "user"},
                            {t.password, KOR_XFER_PASS_OFF, KOR_XFER_PASS_SIZE, "password"},
                            {t.dir, KOR_XFER_DIR_OFF, KOR_XFER_DIR_SIZE, "dir"},
                            {t.job, KOR_XFER_JOB_OFF, KOR_XFER_JOB_SIZE, "job"},
                            {t.server, KOR_XFER_ADDR_OFF, KOR_XFER_ADDR_SIZE, "server"}};
    record->assign(KOR_XFER_ADDR_OFF + KOR_XFER_ADDR_SIZE, '\0');
    for (const Field& f : fields) {
        // A NUL inside would end the text early on the controller's side.
        if (f.text.size() >= static_cast<std::size_t>(f.size) ||
            f.text.find('\0') != std::string::npos) {
            *room = f.size - 1;
            return f.name;
        }
        std::memcpy(record->data() + f.off, f.text.data(), f.text.size());
    }
    return nullptr;
}

}  // namespace kor
